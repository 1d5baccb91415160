#ifndef QUORVELIN_LOADTEST_REPORT_RUN_RECORDER_HPP
#define QUORVELIN_LOADTEST_REPORT_RUN_RECORDER_HPP

// Gathers what a run measured, second by second, and hands it on where the
// command line asked: a tick's progress line (-v) and duplicate-lease line,
// the --report file's records, the --summary block, and the run's totals
// for the metrics endpoint. Every tick of the drivers' tick loop, the
// wind-down's last one included, comes through tick(). Ticks never overlap;
// only the totals are read from another thread, under a lock of their own.

#include "engine/counts/measurements.hpp"
#include "loadtest/report/report_writer.hpp"
#include "loadtest/run_outcome.hpp"
#include "loadtest/thresholds/threshold_eval.hpp"

#include <chrono>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace zarn {
namespace quorvelin {

class run_recorder {
public:
    using clock = std::chrono::system_clock;

    // `report`: where the JSON Lines go, or null; `summary`: whether the
    // block is printed to standard output at the end; `hint`: whether a run
    // that completed no client ends with the line that says why.
    run_recorder(std::ostream* report, bool summary, bool hint = false);

    // --threshold: judged against the summary record when the run finishes,
    // stored in it, and with `print` one line each after the summary block.
    void judge_by(std::vector<threshold> thresholds, bool print);

    // The run starts now in `mode`, with the loaded scenario.
    void start(opt_mode_t mode);

    // A tick has read the engine: its progress line, and what the engine
    // counted in its second. Prints the lines, writes the record, adds the
    // counts to the totals.
    void tick(const tick_report& tick, measurements second);

    // What the ticks counted so far; from any thread.
    measurements totals() const;

    void event(const run_event& event);

    // The run is over: `outcome` holds the mode's figures; the totals, the
    // scenario and the times are added here, then the summary goes out.
    void finish(run_outcome outcome);

    // A signal ended the wait for the start: the run begins and ends now,
    // with nothing counted. The report still gets its start record, the
    // signal's "interrupted" event and the summary of `outcome` (the mode's
    // findings before its first tick) marked interrupted, and the summary
    // block follows, so that the run reads like any interrupted one.
    void finish_before_start(run_outcome outcome, int signal);

    // What the run found, once finished.
    const run_outcome& outcome() const { return outcome_; }
    bool finished() const { return finished_; }
    // The thresholds' verdicts, once finished; empty without --threshold.
    const std::vector<threshold_verdict>& verdicts() const { return verdicts_; }

private:
    void collect(measurements second);
    void judge(nlohmann::ordered_json& summary);

    std::unique_ptr<report_writer> writer_;
    bool summary_;
    bool hint_;
    std::vector<std::string> messages_;
    clock::time_point start_;
    mutable std::mutex totals_mutex_;
    measurements totals_;
    measurements last_second_;
    run_outcome outcome_;
    bool finished_ = false;
    std::vector<threshold> thresholds_;
    bool print_verdicts_ = false;
    std::vector<threshold_verdict> verdicts_;
};

// Completions per second of sending: clients start at `rate` per second
// while sending, so `started` clients took started / rate seconds.
double served_rate(const client_measurements& clients, std::uint32_t rate);

} // namespace quorvelin
} // namespace zarn

#endif
