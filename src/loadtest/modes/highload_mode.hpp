#ifndef QUORVELIN_LOADTEST_MODES_HIGHLOAD_MODE_HPP
#define QUORVELIN_LOADTEST_MODES_HIGHLOAD_MODE_HPP

// The "highload" test's decisions: probe upward through the rates that
// divide a second evenly until the error ratio passes the threshold (the
// high-water mark), then bisect between the highest rate that survived a
// whole test run (the low-water mark) and the high-water mark with timed
// runs, draining and pausing between runs, until the marks are at most 2
// apart.

#include "loadtest/decision.hpp"
#include "loadtest/run_outcome.hpp"
#include "loadtest/tick.hpp"

#include <chrono>
#include <cstdint>
#include <vector>

namespace zarn {
namespace quorvelin {

class highload_mode {
public:
    // Throws std::out_of_range when "clients" leaves no rate to probe.
    highload_mode();

    // The decision of tick number `ticks` (counting from 1).
    decision decide(const tick_stats& s, std::uint32_t ticks);
    // The reported rate once the search finished, else the low-water mark.
    run_outcome findings() const;
    // The marks and the rate in effect.
    progress_rates rates() const { return {low_water, rate, high_water}; }
    // The rate in effect while probing or running, nothing in between.
    std::uint32_t beats_due(std::uint32_t) const { return sending ? rate : 0; }

    // A tick that starts late means the beats ran late: the search says so.
    static constexpr bool reports_lateness = true;

private:
    enum : std::uint32_t { probing = 0, waiting = 1, draining = 2, running = 3 };

    decision probe(const tick_stats& s);
    decision drain(const tick_stats& s);
    decision wait_between_runs();
    decision check_run(const tick_stats& s, std::uint32_t ticks);
    // The error ratio passed (or the probe ran out of rates) at `rate`.
    void stop_sending_and_drain(bool failed);
    decision high_water_found();

    std::uint32_t phase = probing;
    bool sending = true;
    std::vector<std::chrono::microseconds> steps;
    std::vector<std::chrono::microseconds>::size_type step = 0;
    std::uint32_t low_water = 0;
    std::uint32_t rate = 0;
    std::uint32_t high_water = 0;
    std::uint32_t run_timeouts = 0;
    std::uint32_t last_results = 0;
    std::uint32_t prior_results = 0;
    std::uint32_t phase_ticks = 0;
    bool reported = false;
};

} // namespace quorvelin
} // namespace zarn

#endif
