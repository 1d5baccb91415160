#include "loadtest/modes/population_mode.hpp"

#include "main/options/options.hpp"
#include "main/options/population_options.hpp"

#include <algorithm>
#include <string>

namespace zarn {
namespace quorvelin {

population_mode::population_mode()
    : rate(run_rate(g_opt_minimum)), segments(g_opt_segment.count),
      population(static_cast<std::uint32_t>(g_opt_segment.share_of(g_opt_population)))
{
}

std::uint32_t population_mode::beats_due(std::uint32_t) const
{
    if (released_at != 0 || held >= population)
        return 0;
    // Any N * k consecutive beats of the test hold exactly k of this
    // segment's, wherever they begin; at the whole rate it gets its share.
    const std::uint64_t whole = std::uint64_t(population - held) * segments;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(rate, whole));
}

std::uint32_t population_mode::sending_s() const
{
    // One release every N / rate seconds: the segments together release at
    // the rate, as one generator does.
    return static_cast<std::uint32_t>((std::uint64_t(bound_at_end) * segments + rate - 1) / rate);
}

decision population_mode::decide(const tick_stats& s, std::uint32_t ticks)
{
    decision d;
    if (released_at == 0) {
        // The tick scheduled its clients before the figures were read, so
        // those not yet started are among the unstarted.
        held = s.bound + s.pending + s.unstarted;
        // Tick `ticks` reads the engine ticks - 1 seconds after the first
        // one: the releases begin g_opt_duration seconds after the test did.
        if (ticks > g_opt_duration)
            release(d, s.bound, ticks);
        return d;
    }
    // Releases go out at the rate clients started; clients still walking
    // their scenario time out within the same wait.
    if ((s.releasing == 0 && s.pending == 0) || ticks >= released_at + sending_s() + g_opt_timeout)
        d.say("finished", "Finished and report: " + std::to_string(bound_at_end) + " subscribers bound.",
              {{"reported", bound_at_end}})
            .finish(decision::ending::cancel_and_stop);
    return d;
}

void population_mode::release(decision& d, std::uint32_t bound, std::uint32_t ticks)
{
    released_at = ticks;
    bound_at_end = bound;
    d.release().say("release", "Releasing " + std::to_string(bound) + " bound subscribers.", {{"bound", bound}});
}

decision population_mode::interrupted(const tick_stats& s, std::uint32_t ticks)
{
    decision d;
    if (released_at == 0) {
        release(d, s.bound, ticks);
        d.wind_down_s = sending_s();
    } else {
        const std::uint32_t sent_for = ticks - released_at;
        d.wind_down_s = sending_s() > sent_for ? sending_s() - sent_for : 0;
    }
    return d;
}

run_outcome population_mode::findings() const
{
    run_outcome o = offered_outcome(opt_mode_population, rate);
    o.result = bound_at_end;
    o.low_water = bound_at_end;
    return o;
}

} // namespace quorvelin
} // namespace zarn
