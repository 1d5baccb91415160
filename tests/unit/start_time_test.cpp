// --start-at: the shared start instant of a test's generators.
#include "main/values/start_time.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace zarn::quorvelin;
using clock_type = std::chrono::system_clock;

using wire_bytes::error_of;

// Each row: a text and the nanoseconds after now it names, or why it is refused.
TEST(StartTime, ReadsRfc3339AndRefusesThePastAndMoreThanADayAhead)
{
    const clock_type::time_point now = clock_type::from_time_t(1800000000); // 2027-01-15T08:00:00Z
    const char* const not_rfc3339 = "is not an RFC 3339 time such as 2026-12-06T22:30:00Z";
    const std::pair<const char*, std::int64_t> good[] = {
        {"2027-01-15T08:00:30Z", 30000000000},      {"2027-01-15t08:00:30z", 30000000000},
        {"2027-01-15T09:00:30+01:00", 30000000000}, {"2027-01-15T07:30:30-00:30", 30000000000},
        {"2027-01-15T08:00:01.25Z", 1250000000},    {"2027-01-16T08:00:00Z", 86400000000000}};
    for (const auto& g : good)
        EXPECT_EQ(parse_start_time(g.first, now), now + std::chrono::nanoseconds(g.second)) << g.first;
    const std::pair<const char*, const char*> bad[] = {
        {"2027-01-15T08:00:00Z", "is in the past"},       {"2027-01-15T07:59:59.999Z", "is in the past"},
        {"2027-01-16T08:00:00.001Z", "is more than a day ahead"},
        {"2027-01-15 08:00:30", not_rfc3339},             {"2027-02-30T08:00:30Z", not_rfc3339},
        {"2027-01-15T24:00:30Z", not_rfc3339},            {"2027-01-15T08:00:30.Z", not_rfc3339},
        {"2027-01-15T08:00:30+0100", not_rfc3339},        {"2027-01-15T08:00:30Zjunk", not_rfc3339},
        {"tomorrow", not_rfc3339}};
    for (const auto& b : bad)
        EXPECT_EQ(error_of([&] { parse_start_time(b.first, now); }),
                  std::string("the argument ('") + b.first + "') for option '--start-at' " + b.second);
}
