#ifndef QUORVELIN_LOADTEST_LOADTEST_DEFAULT_HPP
#define QUORVELIN_LOADTEST_LOADTEST_DEFAULT_HPP

// The "highload" test: probes upward through the rates that divide a second
// evenly until the error ratio passes the threshold (the high-water mark),
// then bisects between the highest rate that survived a whole test run (the
// low-water mark) and the high-water mark with timed runs, draining and
// pausing between runs, until the marks are at most 2 apart.

#include "loadtest/tick.hpp"

#include <boost/asio/basic_waitable_timer.hpp>
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
    void async_loop(boost::system::error_code const& error, Manager& manager);

private:
    using clock = zarn::quorvelin::tick_clock;
    using stats = zarn::quorvelin::tick_stats;
    enum : std::uint32_t { probing = 0, waiting = 1, draining = 2, running = 3 };

    void report_lateness(clock::time_point now) const;
    // These return false when the test has ended.
    template <class Manager>
    bool take_decision(stats const& s, Manager& manager);
    bool probe(stats const& s);
    template <class Manager>
    void drain(stats const& s, Manager& manager);
    template <class Manager>
    bool wait_between_runs(Manager& manager);
    void start_run();
    void check_run(stats const& s);
    void stop_sending_and_drain();

    boost::asio::io_service& io;
    std::uint32_t phase = probing;
    boost::asio::basic_waitable_timer<clock> timer;
    // Planned time of the next tick plus the lateness allowance.
    clock::time_point next_tick = clock::time_point::max();
    bool sending = true;
    std::vector<std::chrono::microseconds> steps;
    std::vector<std::chrono::microseconds>::iterator step;
    std::uint32_t tick_count = 0;
    std::uint32_t low_water = 0;
    std::uint32_t rate = 0;
    std::uint32_t high_water = 0;
    std::uint32_t run_timeouts = 0;
    std::uint32_t last_results = 0;
    std::uint32_t prior_results = 0;
    std::uint32_t phase_ticks = 0;
};

template <class Manager>
void loadtest_default::async_loop(boost::system::error_code const& error, Manager& manager)
{
    if (error) {
        std::cout << error.message() << std::endl;
        return;
    }
    auto const now = clock::now();
    report_lateness(now);
    next_tick = now + std::chrono::seconds(1);
    if (sending)
        zarn::quorvelin::schedule_beats(manager, now, rate);

    auto const s = zarn::quorvelin::read_stats(manager, now);
    run_timeouts += s.timeouts;
    zarn::quorvelin::print_progress(tick_count, s, low_water, rate, high_water);
    ++tick_count;
    if (!take_decision(s, manager))
        return;

    timer.expires_at(next_tick);
    next_tick += std::chrono::milliseconds(10);
    timer.async_wait([this, &manager](boost::system::error_code const& e) { async_loop(e, manager); });
}

template <class Manager>
bool loadtest_default::take_decision(stats const& s, Manager& manager)
{
    switch (phase) {
    case probing:
        return probe(s);
    case draining:
        drain(s, manager);
        return true;
    case waiting:
        return wait_between_runs(manager);
    case running:
        check_run(s);
        return true;
    }
    return true;
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
    zarn::quorvelin::announce("Preparing for next test run.");
}

template <class Manager>
bool loadtest_default::wait_between_runs(Manager& manager)
{
    if (high_water - low_water <= 2) {
        manager.cancel();
        manager.socket.cancel();
        zarn::quorvelin::announce("Finished and report: ", rate, " transactions per second.");
        io.stop();
        return false;
    }
    // Give late replies g_opt_timeout seconds before the next run.
    if (phase_ticks++ < g_opt_timeout)
        return true;
    start_run();
    return true;
}

#endif
