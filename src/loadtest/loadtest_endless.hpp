#ifndef QUORVELIN_LOADTEST_LOADTEST_ENDLESS_HPP
#define QUORVELIN_LOADTEST_LOADTEST_ENDLESS_HPP

// The "endless" test: a constant rate of "clients" new clients per second in
// cycles of g_opt_duration seconds of sending, then a pause until none of
// the cycle's clients is pending any more. Ends only when the error ratio
// passes the threshold.

#include "loadtest/is_error_over.hpp"
#include "loadtest/tick_loop.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>

class loadtest_endless {
public:
    // Throws std::out_of_range unless "clients" is between 1 and max_clients_per_second.
    explicit loadtest_endless(boost::asio::io_service& io);

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

    std::uint32_t beats_due() const { return sending ? rate : 0; }
    zarn::quorvelin::progress_rates rates() const { return {rate, rate, rate}; }
    // The result, the served rate, is the recorder's to work out.
    zarn::quorvelin::run_outcome findings() const;
    template <class Manager>
    outcome decide(stats const& s, Manager& manager);
    // Sending for g_opt_duration ticks, then pausing until nothing is pending.
    template <class Manager>
    void next_cycle_step(unsigned pending, Manager& manager);

    zarn::quorvelin::tick_loop loop;
    bool sending = true;
    std::uint32_t rate;
    // Ticks since sending last (re)started, counting on through the pause.
    std::uint32_t phase_ticks = 0;
};

template <class Manager>
loadtest_endless::outcome loadtest_endless::decide(stats const& s, Manager& manager)
{
    if (is_error_over(static_cast<int>(s.results), static_cast<int>(s.timeouts))) {
        // The beats and the receive are left as they are: the loop stops.
        loop.announce("finished", {{"reported", rate}}, "Finished and report: ", rate, " transactions per second.");
        return outcome::finished;
    }
    next_cycle_step(s.pending, manager);
    return outcome::carry_on;
}

template <class Manager>
void loadtest_endless::next_cycle_step(unsigned pending, Manager& manager)
{
    if (!sending && pending == 0) {
        // Every client of the cycle has completed or been counted as timed
        // out (and judged by the error test above), so clearing loses none;
        // a server that stopped answering is caught before the next cycle.
        sending = true;
        manager.clear_results();
        phase_ticks = 0;
        loop.record("resume");
        return;
    }
    if (++phase_ticks >= g_opt_duration && sending) {
        sending = false;
        loop.record("pause");
    }
}

#endif
