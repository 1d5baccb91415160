#ifndef QUORVELIN_LOADTEST_MODES_POPULATION_MODE_HPP
#define QUORVELIN_LOADTEST_MODES_POPULATION_MODE_HPP

// The "population" test's decisions: "clients" new clients per second until
// --population subscribers are bound or on their way to it, and again
// whenever subscribers lose their lease; the engine keeps them renewing.
// After g_opt_duration seconds every subscriber sends RELEASE, and the test
// ends once the releases are answered or g_opt_timeout seconds have passed.

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

    // New clients for the coming second: the shortfall of the population
    // at the last tick, at most the rate; none once releasing.
    std::uint32_t beats_due(std::uint32_t) const;
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
    // Seconds the releases take to go out at the rate clients started.
    std::uint32_t sending_s() const { return (bound_at_end + rate - 1) / rate; }

    std::uint32_t rate;
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
