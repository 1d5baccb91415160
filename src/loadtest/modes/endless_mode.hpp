#ifndef QUORVELIN_LOADTEST_MODES_ENDLESS_MODE_HPP
#define QUORVELIN_LOADTEST_MODES_ENDLESS_MODE_HPP

// The "endless" test's decisions: a constant rate of "clients" new clients
// per second in cycles of g_opt_duration seconds of sending, then a pause
// until none of the cycle's clients is pending any more. Ends only when the
// error ratio passes the threshold.

#include "loadtest/decision.hpp"
#include "loadtest/run_outcome.hpp"
#include "loadtest/tick.hpp"

#include <cstdint>

namespace zarn {
namespace quorvelin {

class endless_mode {
public:
    static constexpr bool reports_lateness = false;

    // Throws std::out_of_range unless "clients" is between 1 and max_clients_per_second.
    endless_mode();

    // The rate while sending, nothing while paused.
    std::uint32_t beats_due(std::uint32_t) const { return sending ? rate : 0; }
    // The rate in all three columns.
    progress_rates rates() const { return {rate, rate, rate}; }
    // Ends the test once the error ratio passes the threshold, in either
    // phase; otherwise pauses after g_opt_duration ticks of sending, and
    // clears the counters and resumes once nothing is pending.
    decision decide(const tick_stats& s, std::uint32_t ticks);
    // The result, the served rate, is the recorder's to work out.
    run_outcome findings() const { return offered_outcome(opt_mode_endless, rate); }

private:
    bool sending = true;
    std::uint32_t rate;
    // Ticks since sending last (re)started, counting on through the pause.
    std::uint32_t phase_ticks = 0;
};

} // namespace quorvelin
} // namespace zarn

#endif
