#ifndef QUORVELIN_LOADTEST_LOADTEST_1_HPP
#define QUORVELIN_LOADTEST_LOADTEST_1_HPP

// The "once" test: starts "clients" clients spread over the first second and
// ends at the first tick from the second one on at which none is pending.

#include "loadtest/tick.hpp"

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstdint>

class loadtest_1 {
public:
    // Throws std::out_of_range unless "clients" is between 1 and 1000000.
    explicit loadtest_1(boost::asio::io_service& loop);

    template <class Manager>
    void async_loop(boost::system::error_code const& error, Manager& manager);

private:
    using clock = zarn::quorvelin::tick_clock;

    template <class Manager>
    void start_batch(Manager& manager, clock::time_point now) const;

    boost::asio::io_service& io;
    boost::asio::basic_waitable_timer<clock> timer;
    std::uint32_t tick_count = 0;
};

template <class Manager>
void loadtest_1::async_loop(boost::system::error_code const& error, Manager& manager)
{
    if (error) {
        std::cout << error.message() << std::endl;
        return;
    }
    auto const now = clock::now();
    auto const deadline = now + std::chrono::seconds(1);
    if (tick_count == 0)
        start_batch(manager, now);

    auto const s = zarn::quorvelin::read_stats(manager, now);
    zarn::quorvelin::print_progress(tick_count, s, g_opt_minimum, g_opt_minimum, g_opt_minimum);
    ++tick_count;
    if (tick_count > 1 && s.pending == 0) {
        // The figure is the number of clients that completed, not a rate.
        zarn::quorvelin::announce("Finished and report: ", s.results, " transactions per second.");
        manager.cancel();
        manager.socket.cancel();
        io.stop();
        return;
    }

    timer.expires_at(deadline);
    timer.async_wait([this, &manager](boost::system::error_code const& e) { async_loop(e, manager); });
}

template <class Manager>
void loadtest_1::start_batch(Manager& manager, clock::time_point now) const
{
    // Exactly "clients" clients, spread over the first second.
    zarn::quorvelin::schedule_beats(manager, now, g_opt_minimum);
}

#endif
