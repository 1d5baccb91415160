#ifndef QUORVELIN_TESTS_DRIVERS_HPP
#define QUORVELIN_TESTS_DRIVERS_HPP

// Shared by the driver and mode tests: a stand-in for the transaction
// manager that records the beats and calls it gets and answers its readings
// from a script; a fixture that runs ticks with standard output captured
// and the option globals reset; one that records the run; and a mode's
// decisions played tick by tick as the loop plays them.

#include "engine/counts/measurements.hpp"
#include "loadtest/decision.hpp"
#include "loadtest/report/run_recorder.hpp"
#include "loadtest/tick.hpp"
#include "report_samples.hpp"

#include <boost/asio/io_service.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <deque>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using stats = zarn::quorvelin::tick_stats;
using std::chrono::seconds;

struct fake_manager {
    struct fake_socket {
        std::string& calls;
        void cancel() { calls += "socket.cancel "; }
    };
    void async_run(std::chrono::system_clock::time_point at) { beats.push_back(at); }
    void cancel() { calls += "cancel "; }
    void clear_results() { calls += "clear_results "; }
    void release_population() { calls += "release_population "; }
    void offer(std::uint32_t) {}
    zarn::quorvelin::engine_snapshot snapshot(std::chrono::system_clock::time_point cutoff)
    {
        cutoffs.push_back(cutoff);
        const auto s = script.empty() ? zarn::quorvelin::tick_stats{} : script.front();
        if (!script.empty())
            script.pop_front();
        return {s, zarn::quorvelin::measurements()};
    }
    std::string calls; // beat-timer cancels, socket cancels and clears, in order
    fake_socket socket{calls};
    std::vector<std::chrono::system_clock::time_point> beats, cutoffs;
    std::deque<zarn::quorvelin::tick_stats> script;
    void reset() { calls.clear(), beats.clear(), cutoffs.clear(), script.clear(); }
};

struct cout_capture {
    std::ostringstream out;
    std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
    ~cout_capture() { std::cout.rdbuf(saved); }
};

// Runs ticks with standard output captured and the option globals at the
// values a bare command line leaves, restored afterwards.
class drivers : public ::testing::Test {
protected:
    drivers() { defaults(); }
    ~drivers() override { defaults(); }
    static void defaults() { g_opt_verbose = g_opt_quiet = false, g_opt_duration = 120, g_opt_minimum = 1, g_opt_timeout = 3; }

    struct tick_output {
        std::string text;
        std::size_t beats;
    };
    // One tick called directly, as main calls the first one.
    template <class Driver>
    tick_output tick(Driver& driver, stats s = {}, boost::system::error_code error = {})
    {
        manager.script.push_back(s);
        const auto before = manager.beats.size();
        cout_capture capture;
        driver.async_loop(error, manager);
        return {capture.out.str(), manager.beats.size() - before};
    }
    // The ticks that follow on the driver's own timer, until it stops the loop.
    std::string timer_ticks()
    {
        cout_capture capture;
        io.run_for(seconds(10));
        return capture.out.str();
    }
    // The last `count` beats are spread evenly over one second, to the nanosecond.
    void expect_even_beats(std::size_t count)
    {
        ASSERT_GE(manager.beats.size(), count);
        const auto first = manager.beats.end() - count;
        for (std::size_t i = 0; i < count; ++i)
            ASSERT_EQ(first[i] - first[0], std::chrono::nanoseconds(std::int64_t(i) * 1000000000 / std::int64_t(count)));
    }

    boost::asio::io_service io;
    fake_manager manager;
};

// ---- the end of a run, for its recorder ---------------------------------

class run_end : public drivers {
protected:
    // The report's records, the JSON Lines the recorder wrote.
    std::vector<nlohmann::json> records() const { return report_samples::records(report.str()); }
    template <class Driver>
    void record(Driver& driver, opt_mode_t mode)
    {
        driver.record_to(recorder);
        recorder.start(mode);
    }

    std::ostringstream report;
    zarn::quorvelin::run_recorder recorder{&report, false};
};

using zarn::quorvelin::decision;

// A decision as the operator and the loop see it: its printed lines, then
// "clear" when the counters are cleared and "end" or "cancel end" when the
// test ends.
[[maybe_unused]] std::string said(const decision& d)
{
    std::string out;
    for (const auto& line : d.lines)
        out += line.text.empty() ? "" : line.text + "\n";
    out += d.clear_results ? "clear " : "";
    out += d.end == decision::ending::stop ? "end " : d.end == decision::ending::cancel_and_stop ? "cancel end " : "";
    return out;
}

// Plays `ticks` on the mode as the tick loop does: the beats of each second,
// then the decision of that tick.
struct mode_tick {
    std::size_t beats;
    std::string said;
};
template <class Mode>
mode_tick play(Mode& mode, std::uint32_t& ticks, const stats& s)
{
    const std::size_t beats = mode.beats_due(ticks);
    return {beats, said(mode.decide(s, ++ticks))};
}

} // namespace

#endif
