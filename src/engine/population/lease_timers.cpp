#include "engine/population/lease_timers.hpp"

#include <algorithm>
#include <cmath>

namespace zarn {
namespace quorvelin {

namespace {

// Later than any run lasts, and far within the clock's range: about 146
// years in microseconds.
constexpr double latest_micros = double(std::int64_t(1) << 52);

// `lease_seconds` after `granted` on the compressed clock; never when
// infinite or past latest_micros.
std::optional<backoff_time> after(backoff_time granted, double lease_seconds, double compression)
{
    const double micros = lease_seconds * 1e6 / compression;
    if (lease_seconds >= infinite_lifetime || !(micros < latest_micros))
        return std::nullopt;
    return granted + backoff_duration(std::llround(micros));
}

std::optional<backoff_time> first_of(const std::optional<backoff_time>& a, const std::optional<backoff_time>& b)
{
    if (!a)
        return b;
    if (!b)
        return a;
    return std::min(*a, *b);
}

} // namespace

std::optional<lease_timers> lease_timers_for(const ia_times& ia, backoff_time granted, double compression)
{
    if (ia.valid == 0 || (ia.t1 != 0 && ia.t2 != 0 && ia.t1 > ia.t2))
        return std::nullopt;
    // The client's own choice (section 21.4's recommendation); an infinite
    // preferred lifetime leaves both infinite.
    const bool forever = ia.preferred == infinite_lifetime;
    const double own_t1 = forever ? infinite_lifetime : 0.5 * ia.preferred;
    const double own_t2 = forever ? infinite_lifetime : 0.8 * ia.preferred;
    // A time the client picks keeps T1 <= T2 with the one the server gave.
    double t1 = ia.t1 != 0 ? ia.t1 : ia.t2 != 0 ? std::min<double>(own_t1, ia.t2) : own_t1;
    double t2 = ia.t2 != 0 ? ia.t2 : std::max<double>(own_t2, t1);
    lease_timers timers;
    if (ia.t1 == 0 && t1 < least_own_t1) {
        t1 = ia.t2 != 0 ? std::min<double>(least_own_t1, ia.t2) : least_own_t1;
        timers.raised = true;
    }
    if (ia.t2 == 0 && t2 < least_own_t2) {
        t2 = std::max(least_own_t2, t1);
        timers.raised = true;
    }
    timers.lost = after(granted, ia.valid, compression);
    timers.renew = after(granted, t1, compression);
    timers.rebind = after(granted, t2, compression);
    // Past the end of the valid lifetime there is nothing to renew or rebind.
    if (timers.lost && timers.rebind && *timers.rebind >= *timers.lost)
        timers.rebind.reset();
    if (timers.lost && timers.renew && *timers.renew >= *timers.lost)
        timers.renew.reset();
    return timers;
}

lease_timers earliest(const lease_timers& a, const lease_timers& b)
{
    return lease_timers{first_of(a.renew, b.renew), first_of(a.rebind, b.rebind), first_of(a.lost, b.lost),
                        a.raised || b.raised};
}

} // namespace quorvelin
} // namespace zarn
