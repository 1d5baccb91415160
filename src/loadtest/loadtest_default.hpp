#ifndef QUORVELIN_LOADTEST_LOADTEST_DEFAULT_HPP
#define QUORVELIN_LOADTEST_LOADTEST_DEFAULT_HPP

// The "highload" test: probes upward through the rates that divide a second
// evenly until the error ratio passes the threshold (the high-water mark),
// then bisects between the highest rate that survived a whole test run (the
// low-water mark) and the high-water mark with timed runs, draining and
// pausing between runs, until the marks are at most 2 apart.

#include "loadtest/tick_loop.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstdint>
#include <vector>

class loadtest_default {
public:
    // Throws std::out_of_range when "clients" leaves no rate to probe.
    explicit loadtest_default(boost::asio::io_service& io);

    // One tick: schedules the coming second's beats, reads the counters,
    // takes the phase's decision and re-arms the timer for the next second.
    template <class Manager>
    void async_loop(boost::system::error_code const& error, Manager& manager)
    {
        loop.run(error, *this, manager);
    }

    // SIGINT or SIGTERM: winds the test down (tick_loop::interrupt).
    template <class Manager>
    void interrupt(int signal, Manager& manager)
    {
        loop.interrupt(signal, *this, manager);
    }

    void record_to(zarn::quorvelin::run_recorder& recorder) { loop.record_to(recorder); }

private:
    friend class zarn::quorvelin::tick_loop;
    using outcome = zarn::quorvelin::tick_outcome;
    using stats = zarn::quorvelin::tick_stats;
    enum : std::uint32_t { probing = 0, waiting = 1, draining = 2, running = 3 };

    std::uint32_t beats_due() const { return sending ? rate : 0; }
    zarn::quorvelin::progress_rates rates() const { return {low_water, rate, high_water}; }
    // The reported rate once the search finished, else the low-water mark.
    zarn::quorvelin::run_outcome findings() const;
    template <class Manager>
    outcome decide(stats const& s, Manager& manager);
    outcome probe(stats const& s);
    template <class Manager>
    void drain(stats const& s, Manager& manager);
    template <class Manager>
    outcome wait_between_runs(Manager& manager);
    void start_run();
    void check_run(stats const& s);
    void stop_sending_and_drain();
    void announce_high_water();

    std::uint32_t phase = probing;
    zarn::quorvelin::tick_loop loop;
    bool sending = true;
    std::vector<std::chrono::microseconds> steps;
    std::vector<std::chrono::microseconds>::iterator step;
    std::uint32_t low_water = 0;
    std::uint32_t rate = 0;
    std::uint32_t high_water = 0;
    std::uint32_t run_timeouts = 0;
    std::uint32_t last_results = 0;
    std::uint32_t prior_results = 0;
    std::uint32_t phase_ticks = 0;
    bool reported = false;
};

template <class Manager>
loadtest_default::outcome loadtest_default::decide(stats const& s, Manager& manager)
{
    run_timeouts += s.timeouts;
    switch (phase) {
    case probing:
        return probe(s);
    case draining:
        drain(s, manager);
        break;
    case waiting:
        return wait_between_runs(manager);
    case running:
        check_run(s);
        break;
    }
    return outcome::carry_on;
}

template <class Manager>
void loadtest_default::drain(stats const& s, Manager& manager)
{
    // Late replies of the last run keep timing out until the table is quiet.
    if (s.timeouts != 0)
        return;
    manager.clear_results();
    phase = waiting;
    phase_ticks = 0;
    run_timeouts = 0;
    loop.announce("preparing", {}, "Preparing for next test run.");
}

template <class Manager>
loadtest_default::outcome loadtest_default::wait_between_runs(Manager& manager)
{
    if (high_water - low_water <= 2) {
        manager.cancel();
        manager.socket.cancel();
        reported = true;
        loop.announce("finished", {{"reported", rate}}, "Finished and report: ", rate, " transactions per second.");
        return outcome::finished;
    }
    // Give late replies g_opt_timeout seconds before the next run.
    if (phase_ticks++ < g_opt_timeout)
        return outcome::carry_on;
    start_run();
    return outcome::carry_on;
}

#endif
