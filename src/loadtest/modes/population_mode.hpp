#ifndef QUORVELIN_LOADTEST_MODES_POPULATION_MODE_HPP
#define QUORVELIN_LOADTEST_MODES_POPULATION_MODE_HPP

// The "population" test's decisions: "clients" new clients per second until
// --population subscribers are bound or on their way to it, and again
// whenever subscribers lose their lease; the engine keeps them renewing.
// After g_opt_duration seconds every subscriber sends RELEASE, and the test
// ends once the releases are answered or g_opt_timeout seconds have passed.
// Segment I/N keeps its share of the population and starts its share of
// the whole test's beats (beat n is segment n mod N's), so that the
// segments together start and release what one generator would.

#include "loadtest/decision.hpp"
#include "loadtest/run_outcome.hpp"
#include "loadtest/tick.hpp"

#include <cstdint>

namespace zarn {
namespace quorvelin {

class population_mode {
public:
    static constexpr bool reports_lateness = false;

    // Throws std::out_of_range unless "clients" is between 1 and max_clients_per_second.
    population_mode();

    // Beats of the whole test for the coming second: those that give this
    // segment the shortfall of its share at the last tick, at most the
    // whole rate; none once releasing.
    std::uint32_t beats_due(std::uint32_t) const;
    // The subscribers this generator keeps: its segment's share.
    std::uint32_t kept() const noexcept { return population; }
    progress_rates rates() const { return {rate, rate, rate}; }
    decision decide(const tick_stats& s, std::uint32_t ticks);
    // SIGINT or SIGTERM: the releases begin now, unless they have, and the
    // test ends once they are answered, as at its planned end.
    decision interrupted(const tick_stats& s, std::uint32_t ticks);
    // The result, the subscribers bound at the end, is the recorder's to count.
    run_outcome findings() const;

private:
    // Starts the releases at tick `ticks`, with `bound` subscribers.
    void release(decision& d, std::uint32_t bound, std::uint32_t ticks);
    // Seconds the releases take to go out at this segment's share of the
    // rate clients started.
    std::uint32_t sending_s() const;

    std::uint32_t rate;
    std::uint32_t segments; // N of --segment I/N
    std::uint32_t population;
    // Bound and on their way at the last tick.
    std::uint32_t held = 0;
    // The tick after which the releases went out; 0 before.
    std::uint32_t released_at = 0;
    std::uint32_t bound_at_end = 0;
};

} // namespace quorvelin
} // namespace zarn

#endif
