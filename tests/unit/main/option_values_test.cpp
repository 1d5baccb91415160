// Option values read from their text: --start-at's instant, --ramp's
// schedule, --metrics-listen's address and port, --local-address's address
// and zone; each refusal names the option and the text.
#include "engine/socket/local_address.hpp"
#include "loadtest/modes/ramp_schedule.hpp"
#include "main/values/listen_address.hpp"
#include "main/values/start_time.hpp"
#include "../support/wire_bytes.hpp"

#include <gtest/gtest.h>

#include <net/if.h>

#include <sstream>
#include <string>
#include <vector>

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

TEST(RampSchedule, StepsFromFromUpToToWhichIsAlwaysTheLast)
{
    EXPECT_EQ(parse_ramp("100:500:100:10", 1000000, 86400).rates(), (std::vector<std::uint32_t>{100, 200, 300, 400, 500}));
    EXPECT_EQ(parse_ramp("100:450:100:10", 1000000, 86400).rates(), (std::vector<std::uint32_t>{100, 200, 300, 400, 450}));
    EXPECT_EQ(parse_ramp("7:7:1:1", 1000000, 86400).rates(), (std::vector<std::uint32_t>{7}));
    EXPECT_EQ(parse_ramp("1:1000000:999999:86400", 1000000, 86400).rates(),
              (std::vector<std::uint32_t>{1, 1000000}));
    EXPECT_EQ(parse_ramp("5:9:2:3", 1000000, 86400).seconds, 3u);

    for (const char* bad : {"100:500:100", "100:500:100:10:1", "a:500:100:10", "100::100:10", "100:500:100:"})
        EXPECT_EQ(error_of([&] { parse_ramp(bad, 1000000, 86400); }),
                  std::string("the argument ('") + bad + "') for option '--ramp' is not FROM:TO:STEP:SECONDS");
    for (const char* bad : {"0:500:100:10", "600:500:100:10", "1:1000001:1:10", "1:5:0:10", "1:5:1:0", "1:5:1:86401",
                            "1:9999999999:1:1"})
        EXPECT_NE(error_of([&] { parse_ramp(bad, 1000000, 86400); }).find("needs 1 <= FROM <= TO <= 1000000"),
                  std::string::npos)
            << bad;
}

// IPv4, or IPv6 in brackets, and a port.
TEST(ListenAddress, TakesAnAddressAndAPortAndRefusesTheRest)
{
    // Printed back as given: the family, the wildcard, a v4-mapped address
    // kept IPv6 and a link-local address's scope (its device) survive.
    for (const char* good : {"127.0.0.1:9547", "[2001:db8:1::10]:1", "0.0.0.0:65535", "[::]:9547", "[::1]:9547",
                             "[::ffff:192.0.2.1]:9547", "[fe80::1%lo]:9547"})
        EXPECT_EQ((std::ostringstream() << parse_listen_address(good)).str(), good);
    for (const char* bad : {"", "9547", "127.0.0.1", "127.0.0.1:0", "127.0.0.1:65536", "::1:9547", "[::1]9547",
                            "[::1]:", "[127.0.0.1]:9547", "localhost:9547", "127.0.0.1:95x7", "[::1]:-1",
                            "[::1]:0", "[::]:65536", "[]:9547", "[::1]]:9547", "[::1:9547", "::]:9547",
                            "[::1]:9547 ", " 0.0.0.0:9547", "0.0.0.0:09547x"})
        EXPECT_EQ(error_of([&] { parse_listen_address(bad); }),
                  "not ADDRESS:PORT (an IPv4 address, or an IPv6 address in brackets, and a port from 1 to 65535: "
                  "127.0.0.1:9547, [::]:9547)")
            << bad;
}

// An IPv6 address, with a zone only when it names a device of this host
// (loopback, "lo", is the one every host has): each row a text and the
// address it names as written back, with its scope, or why it is refused.
TEST(LocalAddress, TakesAnIPv6AddressWhoseZoneNamesADevice)
{
    const std::string lo = std::to_string(::if_nametoindex("lo"));
    ASSERT_NE(lo, "0");
    const std::string not_an_address = "is not an IPv6 address: expected an IPv6 address of this host, such as "
                                       "2001:db8:1::2 or fe80::2%eth0";
    const auto no_device = [](const std::string& zone) {
        return "has the zone '" + zone + "', which is no device of this host: expected a zone that names an "
               "existing device, such as fe80::2%eth0";
    };
    const std::pair<std::string, std::string> rows[] = {
        {"2001:db8:1::2", "2001:db8:1::2 scope 0"},
        {"::", ":: scope 0"},
        {"fe80::2", "fe80::2 scope 0"}, // the device's scope is added at the bind
        {"fe80::2%lo", "fe80::2 scope " + lo},
        {"fe80::2%" + lo, "fe80::2 scope " + lo},
        {"127.0.0.1", not_an_address},
        {"", not_an_address},
        {"%lo", not_an_address},
        // The address library alone would bind these to scope 0, whatever
        // device the kernel then picks.
        {"fe80::2%nosuchdev", no_device("nosuchdev")},
        {"fe80::2%", no_device("")},
        {"fe80::2%0", no_device("0")},
        {"fe80::2%999999", no_device("999999")},
        {"fe80::2%99999999999999999999", no_device("99999999999999999999")},
    };
    for (const auto& r : rows) {
        std::string taken;
        const std::string error = error_of([&] {
            auto address = parse_local_address(r.first);
            const unsigned scope = address.scope_id();
            address.scope_id(0);
            taken = address.to_string() + " scope " + std::to_string(scope);
        });
        const std::string head = "the argument ('" + r.first + "') for option '--local-address' ";
        const bool named = error.compare(0, head.size(), head) == 0;
        EXPECT_EQ(error == "accepted" ? taken : named ? error.substr(head.size()) : error, r.second) << r.first;
    }
}
