#include "loadtest/modes/ramp_schedule.hpp"

#include <cctype>
#include <stdexcept>

namespace zarn {
namespace quorvelin {

std::vector<std::uint32_t> ramp_schedule::rates() const
{
    std::vector<std::uint32_t> out;
    for (std::uint64_t rate = from; rate < to; rate += step)
        out.push_back(static_cast<std::uint32_t>(rate));
    out.push_back(to);
    return out;
}

namespace {

// Up to 10 digits, so that the value fits 64 bits before it is checked.
bool read_field(const std::string& text, std::size_t& at, std::uint64_t& value, bool last)
{
    const std::size_t end = last ? text.size() : text.find(':', at);
    if (end == std::string::npos || end == at || end - at > 10)
        return false;
    value = 0;
    for (std::size_t i = at; i < end; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    at = end + 1;
    return true;
}

} // namespace

ramp_schedule parse_ramp(const std::string& text, std::uint32_t max_rate, std::uint32_t max_seconds)
{
    std::uint64_t f[4];
    std::size_t at = 0;
    for (int i = 0; i < 4; ++i)
        if (!read_field(text, at, f[i], i == 3))
            throw std::invalid_argument("the argument ('" + text +
                                        "') for option '--ramp' is not FROM:TO:STEP:SECONDS");
    if (f[0] < 1 || f[0] > f[1] || f[1] > max_rate || f[2] < 1 || f[2] > max_rate || f[3] < 1 || f[3] > max_seconds)
        throw std::invalid_argument("the argument ('" + text + "') for option '--ramp' needs 1 <= FROM <= TO <= " +
                                    std::to_string(max_rate) + ", STEP >= 1 and SECONDS 1.." +
                                    std::to_string(max_seconds));
    return ramp_schedule{static_cast<std::uint32_t>(f[0]), static_cast<std::uint32_t>(f[1]),
                         static_cast<std::uint32_t>(f[2]), static_cast<std::uint32_t>(f[3])};
}

} // namespace quorvelin
} // namespace zarn
