#ifndef QUORVELIN_LOADTEST_MODES_RAMP_MODE_HPP
#define QUORVELIN_LOADTEST_MODES_RAMP_MODE_HPP

// The capacity ramp's decisions: each rate of the schedule (--ramp) sent for
// its seconds, then a pause long enough for every client of the step to
// have completed or timed out, and the step judged on its own counts: passed
// when its failed clients stay within the error threshold. Every step runs,
// whatever the ones before found, and the pause has a fixed length, so
// generators that each run a segment of the test step up together without
// talking to each other, and their merged counts judge each step as one
// generator at the whole rate would. The result, the capacity, is the
// highest rate whose step passed.

#include "loadtest/decision.hpp"
#include "loadtest/modes/ramp_schedule.hpp"
#include "loadtest/run_outcome.hpp"
#include "loadtest/tick.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zarn {
namespace quorvelin {

class ramp_mode {
public:
    static constexpr bool reports_lateness = false;

    // The schedule of --ramp; pauses as long as ramp_pause_ticks gives.
    ramp_mode();
    ramp_mode(const ramp_schedule& schedule, std::uint32_t pause_ticks);

    // Like every step, the first starts sending at the tick after the one
    // that announced it.
    std::uint32_t beats_due(std::uint32_t) const { return sending && announced ? rates_[step_] : 0; }
    // The highest rate passed so far, the step's rate, the lowest failed (0 for none).
    progress_rates rates() const { return {capacity(), rates_[step_], lowest_failed()}; }
    decision decide(const tick_stats& s, std::uint32_t ticks);
    run_outcome findings() const;

private:
    std::uint32_t capacity() const;
    std::uint32_t lowest_failed() const;
    decision& announce_step(decision& d) const;
    decision end_step(const tick_stats& s);

    std::vector<std::uint32_t> rates_;
    std::uint32_t seconds_;
    std::uint32_t pause_ticks_;
    std::size_t step_ = 0;
    bool sending = true;
    bool announced = false;
    // Ticks since the step's sending, or its pause, began.
    std::uint32_t phase_ticks = 0;
    // Clients of the step counted as timed out so far.
    std::uint64_t failed = 0;
    std::vector<ramp_step_result> done;
};

// Ticks of the pause after a step: every message of a client may wait up to
// `timeout` seconds for its answer and up to one tick more to be judged, so
// after messages x (timeout + 1) ticks, and one for the tick that reads it,
// no client of the step is pending.
std::uint32_t ramp_pause_ticks(std::size_t messages, std::uint32_t timeout);

} // namespace quorvelin
} // namespace zarn

#endif
