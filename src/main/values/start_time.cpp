#include "main/values/start_time.hpp"

#include <cctype>
#include <ctime>
#include <stdexcept>

namespace zarn {
namespace quorvelin {

namespace {

using clock = std::chrono::system_clock;

// Reads `digits` decimal digits at text[at] into value.
bool digits_at(const std::string& text, std::size_t at, std::size_t digits, int& value)
{
    if (at + digits > text.size())
        return false;
    value = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

bool expect(const std::string& text, std::size_t at, const char* one_of)
{
    return at < text.size() && std::string(one_of).find(text[at]) != std::string::npos;
}

// YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM); false when it is not.
bool parse(const std::string& text, clock::time_point& at)
{
    std::tm t{};
    int offset_h = 0, offset_m = 0;
    if (!digits_at(text, 0, 4, t.tm_year) || !expect(text, 4, "-") || !digits_at(text, 5, 2, t.tm_mon) ||
        !expect(text, 7, "-") || !digits_at(text, 8, 2, t.tm_mday) || !expect(text, 10, "Tt ") ||
        !digits_at(text, 11, 2, t.tm_hour) || !expect(text, 13, ":") || !digits_at(text, 14, 2, t.tm_min) ||
        !expect(text, 16, ":") || !digits_at(text, 17, 2, t.tm_sec))
        return false;
    if (t.tm_mon < 1 || t.tm_mon > 12 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 || t.tm_min > 59 ||
        t.tm_sec > 59)
        return false;
    std::size_t p = 19;
    std::chrono::nanoseconds fraction(0);
    if (expect(text, p, ".")) {
        std::int64_t scale = 100000000;
        std::size_t digits = 0;
        for (++p; p < text.size() && std::isdigit(static_cast<unsigned char>(text[p])); ++p, ++digits) {
            fraction += std::chrono::nanoseconds((text[p] - '0') * scale);
            scale /= 10;
        }
        if (digits == 0)
            return false;
    }
    int sign = 0;
    if (expect(text, p, "Zz") && p + 1 == text.size()) {
        sign = 0;
    } else if (expect(text, p, "+-") && p + 6 == text.size() && digits_at(text, p + 1, 2, offset_h) &&
               expect(text, p + 3, ":") && digits_at(text, p + 4, 2, offset_m) && offset_h < 24 && offset_m < 60) {
        sign = text[p] == '+' ? 1 : -1;
    } else {
        return false;
    }
    const int day = t.tm_mday, month = t.tm_mon;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    const std::time_t seconds = timegm(&t);
    // timegm moves an impossible date such as February 30 on: refuse it.
    if (seconds == std::time_t(-1) || t.tm_mday != day || t.tm_mon != month - 1)
        return false;
    const auto offset = std::chrono::minutes(sign * (offset_h * 60 + offset_m));
    at = clock::from_time_t(seconds) - offset + std::chrono::duration_cast<clock::duration>(fraction);
    return true;
}

} // namespace

clock::time_point parse_start_time(const std::string& text, clock::time_point now)
{
    clock::time_point at;
    const std::string quoted = "the argument ('" + text + "') for option '--start-at' ";
    if (!parse(text, at))
        throw std::invalid_argument(quoted + "is not an RFC 3339 time such as 2026-12-06T22:30:00Z");
    if (at <= now)
        throw std::invalid_argument(quoted + "is in the past");
    if (at - now > std::chrono::hours(24))
        throw std::invalid_argument(quoted + "is more than a day ahead");
    return at;
}

} // namespace quorvelin
} // namespace zarn
