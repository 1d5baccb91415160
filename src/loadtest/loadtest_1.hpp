#ifndef QUORVELIN_LOADTEST_LOADTEST_1_HPP
#define QUORVELIN_LOADTEST_LOADTEST_1_HPP

// The "once" test: starts "clients" clients spread over the first second and
// ends at the first tick from the second one on at which none is pending.

#include "loadtest/tick_loop.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>

class loadtest_1 {
public:
    // Throws std::out_of_range unless "clients" is between 1 and max_clients_per_second.
    explicit loadtest_1(boost::asio::io_service& io);

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

    // Exactly "clients" clients, all in the first second.
    std::uint32_t beats_due() const { return loop.ticks() == 0 ? g_opt_minimum : 0; }
    zarn::quorvelin::progress_rates rates() const { return {g_opt_minimum, g_opt_minimum, g_opt_minimum}; }
    // The result, the completed clients, is the recorder's to count.
    zarn::quorvelin::run_outcome findings() const;
    template <class Manager>
    outcome decide(stats const& s, Manager& manager);

    zarn::quorvelin::tick_loop loop;
};

template <class Manager>
loadtest_1::outcome loadtest_1::decide(stats const& s, Manager& manager)
{
    if (loop.ticks() > 1 && s.pending == 0) {
        // The figure is the number of clients that completed, not a rate.
        loop.announce("finished", {{"reported", s.results}}, "Finished and report: ", s.results,
                      " transactions per second.");
        manager.cancel();
        manager.socket.cancel();
        return outcome::finished;
    }
    return outcome::carry_on;
}

#endif
