#ifndef QUORVELIN_LOADTEST_RUN_OUTCOME_HPP
#define QUORVELIN_LOADTEST_RUN_OUTCOME_HPP

// What a test run found, as its summary and the report's last record show it.

#include "engine/counts/measurements.hpp"
#include "main/options/options.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zarn {
namespace quorvelin {

// One step of the capacity ramp: its rate and what became of its clients.
struct ramp_step_result {
    std::uint32_t step = 0; // from 1
    std::uint32_t rate = 0;
    std::uint64_t started = 0;
    std::uint64_t completed = 0;
    std::uint64_t failed = 0; // timed out, or still pending after the pause
    bool passed = false;      // failed within the error threshold
};

struct run_outcome {
    opt_mode_t mode = opt_mode_highload;
    // The figure the run is judged by (--fail-below): highload, the reported
    // rate (when interrupted, the low-water mark reached so far); endless,
    // the served rate; once, the clients that completed; ramp, the highest
    // rate whose step passed.
    double result = 0;
    bool interrupted = false;
    // The signal that interrupted the run (SIGINT, SIGTERM or SIGHUP), or 0.
    int signal = 0;
    // highload: the rate last in effect; endless: the rate; once: the clients.
    std::uint32_t offered = 0;
    // Completions per second of sending (endless; 0 elsewhere).
    double served = 0;
    // highload's marks; ramp: the highest rate passed, the lowest failed.
    std::uint32_t low_water = 0;
    std::uint32_t high_water = 0;
    // The capacity ramp's steps that ended (ramp).
    std::vector<ramp_step_result> ramp_steps;
    // Clients still waiting for a reply when the run ended.
    std::uint32_t pending = 0;
    // The latest any tick started past its second, in whole milliseconds.
    std::uint32_t tick_late_ms_max = 0;
    // This generator, not the server, limited the run (generator_saturated).
    bool generator_saturated = false;
    // One name per scenario message, and what the engine counted in the run.
    std::vector<std::string> messages;
    measurements totals;
    std::chrono::system_clock::time_point start;
    std::chrono::system_clock::time_point end;
};

// Seconds from the run's start to its last completion (0 without one).
inline double seconds_to_last_completion(const run_outcome& o)
{
    const std::int64_t last = o.totals.clients.last_completed;
    if (last == 0)
        return 0;
    const auto start = std::chrono::duration_cast<std::chrono::nanoseconds>(o.start.time_since_epoch()).count();
    return last > start ? double(last - start) / 1e9 : 0;
}

} // namespace quorvelin
} // namespace zarn

#endif
