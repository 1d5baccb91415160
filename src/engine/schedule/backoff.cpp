#include "engine/schedule/backoff.hpp"

#include "message/vocabulary.hpp"
#include "message/wire.hpp"

#include <algorithm>
#include <cmath>

namespace zarn {
namespace quorvelin {

namespace {

using std::chrono::seconds;

constexpr backoff_duration s(long long n)
{
    return std::chrono::duration_cast<backoff_duration>(seconds(n));
}

// d + rand*d, to the microsecond.
backoff_duration spread(backoff_duration d, double rand)
{
    return d + backoff_duration(std::llround(static_cast<double>(d.count()) * rand));
}

} // namespace

std::optional<backoff_params> backoff_for(int message_type)
{
    // RFC 8415 section 7.6.
    switch (message_type) {
    case msg_solicit:
        return backoff_params{s(1), s(3600), 0, s(0), true};
    case msg_request:
        return backoff_params{s(1), s(30), 10, s(0), false};
    case msg_confirm:
        return backoff_params{s(1), s(4), 0, s(10), false};
    case msg_renew:
    case msg_rebind:
        return backoff_params{s(10), s(600), 0, s(0), false};
    case msg_information_request:
        return backoff_params{s(1), s(3600), 0, s(0), false};
    case msg_release:
    case msg_decline:
        return backoff_params{s(1), s(0), 4, s(0), false};
    default:
        return std::nullopt;
    }
}

backoff_params compressed(backoff_params p, double compression)
{
    const auto shrink = [compression](backoff_duration d) {
        return backoff_duration(std::llround(static_cast<double>(d.count()) / compression));
    };
    p.irt = shrink(p.irt);
    p.mrt = shrink(p.mrt);
    p.mrd = shrink(p.mrd);
    return p;
}

backoff_duration first_timeout(const backoff_params& p, double rand)
{
    if (!p.first_above_irt)
        return spread(p.irt, rand);
    // RAND is taken strictly positive: at least a microsecond above IRT.
    return std::max(spread(p.irt, std::fabs(rand)), p.irt + backoff_duration(1));
}

backoff_duration next_timeout(const backoff_params& p, backoff_duration previous, double rand)
{
    const backoff_duration rt = previous + spread(previous, rand);
    if (p.mrt.count() != 0 && rt > p.mrt)
        return spread(p.mrt, rand);
    return rt;
}

std::optional<backoff_time> next_transmission(const backoff_params& p, backoff_time first, backoff_time last,
                                              std::uint32_t transmissions, backoff_duration rt,
                                              backoff_time give_up)
{
    if (p.mrc != 0 && transmissions >= p.mrc)
        return std::nullopt;
    const backoff_time at = last + rt;
    if (p.mrd.count() != 0 && at >= first + p.mrd)
        return std::nullopt;
    if (at >= give_up)
        return std::nullopt;
    return at;
}

std::uint16_t elapsed_hundredths(backoff_time first, backoff_time now)
{
    const auto hundredths = std::chrono::duration_cast<std::chrono::milliseconds>(now - first).count() / 10;
    if (hundredths <= 0)
        return 0;
    return hundredths >= 0xffff ? 0xffff : static_cast<std::uint16_t>(hundredths);
}

void stamp_elapsed_time(char* begin, std::size_t size, backoff_time first, backoff_time now)
{
    const char* const option = wire::find_client_option(begin, begin + size, opt_elapsed_time);
    if (option && wire::get16(option + 2) == 2)
        wire::put16(begin + (option - begin) + wire::option_header, elapsed_hundredths(first, now));
}

double backoff_jitter::operator()()
{
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    const std::uint64_t bits = (state * 0x2545F4914F6CDD1DULL) >> 11; // 53 bits
    const double unit = static_cast<double>(bits) / static_cast<double>(std::uint64_t(1) << 53); // [0, 1)
    return (unit * 2 - 1) * 0.1;
}

} // namespace quorvelin
} // namespace zarn
