#ifndef QUORVELIN_LOADTEST_LOADTEST_ENDLESS_HPP
#define QUORVELIN_LOADTEST_LOADTEST_ENDLESS_HPP

// The "endless" test: a constant rate of "clients" new clients per second in
// cycles of g_opt_duration seconds of sending, then a pause until a second
// passes without timeouts. Ends only when the error ratio passes the
// threshold.

#include "loadtest/is_error_over.hpp"
#include "loadtest/tick.hpp"

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstdint>

class loadtest_endless {
public:
    // Throws std::out_of_range unless "clients" is between 1 and 1000000.
    explicit loadtest_endless(boost::asio::io_service& loop);

    template <class Manager>
    void async_loop(boost::system::error_code const& error, Manager& manager);

private:
    using clock = zarn::quorvelin::tick_clock;

    // Sending for g_opt_duration ticks, then pausing until a tick without timeouts.
    template <class Manager>
    void next_cycle_step(unsigned timeouts, Manager& manager);

    boost::asio::io_service& io;
    boost::asio::basic_waitable_timer<clock> timer;
    bool sending = true;
    std::uint32_t tick_count = 0;
    std::uint32_t rate;
    // Ticks since sending last (re)started, counting on through the pause.
    std::uint32_t phase_ticks = 0;
};

template <class Manager>
void loadtest_endless::async_loop(boost::system::error_code const& error, Manager& manager)
{
    if (error) {
        std::cout << error.message() << std::endl;
        return;
    }
    auto const now = clock::now();
    auto const deadline = now + std::chrono::seconds(1);
    if (sending)
        zarn::quorvelin::schedule_beats(manager, now, rate);

    auto const s = zarn::quorvelin::read_stats(manager, now);
    zarn::quorvelin::print_progress(tick_count, s, rate, rate, rate);
    ++tick_count;
    if (is_error_over(static_cast<int>(s.results), static_cast<int>(s.timeouts))) {
        // The beats and the receive are left as they are: the loop stops.
        zarn::quorvelin::announce("Finished and report: ", rate, " transactions per second.");
        io.stop();
        return;
    }
    next_cycle_step(s.timeouts, manager);

    timer.expires_at(deadline);
    timer.async_wait([this, &manager](boost::system::error_code const& e) { async_loop(e, manager); });
}

template <class Manager>
void loadtest_endless::next_cycle_step(unsigned timeouts, Manager& manager)
{
    if (!sending && timeouts == 0) {
        // The pause ends at the first quiet second; the counters start afresh.
        sending = true;
        manager.clear_results();
        phase_ticks = 0;
        return;
    }
    if (++phase_ticks >= g_opt_duration)
        sending = false;
}

#endif
