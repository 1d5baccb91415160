#ifndef QUORVELIN_LOADTEST_TICK_LOOP_HPP
#define QUORVELIN_LOADTEST_TICK_LOOP_HPP

// The once-a-second tick that every test driver runs: wait for the timer,
// start the coming second's clients, read the counters, print the progress
// line, let the mode decide, re-arm. A driver (the Mode below) keeps only its
// own decisions and gives them to the loop through these members, which the
// loop may call (make it a friend):
//
//   std::uint32_t beats_due() const
//       clients to start in the coming second; 0 starts none.
//   progress_rates rates() const
//       the three middle columns of the progress line.
//   template <class Manager> tick_outcome decide(tick_stats const&, Manager&)
//       the mode's decision, taken once ticks() counts this tick. On
//       `finished` the mode has written its last line (through announce) and
//       cancelled what it cancels; the loop then ends the test.
//   template <class Manager> void async_loop(error_code const&, Manager&)
//       public; every timer wait completes into it, and it hands the tick
//       straight to run().
//   zarn::quorvelin::run_outcome findings() const
//       what the mode found so far: its result and rates, for the summary.
//
// The loop also hands what the run measured to a run_recorder, when one is
// given: a record per tick, an event per decision (every decision line goes
// through announce), and the outcome at the end. And it winds a test down
// when asked to (interrupt).

#include "loadtest/run_recorder.hpp"
#include "loadtest/tick.hpp"

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/error_code.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <sstream>

namespace zarn {
namespace quorvelin {

enum class tick_outcome { carry_on, finished };

class tick_loop {
public:
    // Only the highload mode reports ticks that start late.
    enum class lateness { ignored, reported };

    tick_loop(boost::asio::io_service& io, lateness late);

    // One tick for `mode`. A failed wait (the timer destroyed or cancelled)
    // prints its message and ends the chain without stopping the event loop.
    template <class Mode, class Manager>
    void run(boost::system::error_code const& error, Mode& mode, Manager& manager);

    // Ticks so far; during a decision, this tick included.
    std::uint32_t ticks() const { return tick_count; }

    // Where the ticks, decisions and the outcome go.
    void record_to(run_recorder& recorder) { this->recorder = &recorder; }

    // A decision: its line, printed unless quiet, and the event the recorder
    // gets whether quiet or not, with the decision's figures by name.
    template <class... Parts>
    void announce(const char* event, run_event::figure_list figures, Parts const&... parts);
    // A decision that prints nothing.
    void record(const char* event, run_event::figure_list figures = {});

    // SIGINT or SIGTERM: no client starts any more; the clients on their way
    // get up to g_opt_timeout seconds (polled every 50 ms) to finish; then
    // the progress line of that last, partial second, and the outcome,
    // marked interrupted. A second call ends the wait at once. Safe from any
    // thread once the first tick has run.
    template <class Mode, class Manager>
    void interrupt(int signal, Mode& mode, Manager& manager);

private:
    template <class Manager>
    void record_tick(Manager& manager, tick_clock::time_point now, tick_stats const& s, progress_rates const& r);
    template <class Mode, class Manager>
    void wind_down(boost::system::error_code const& error, Mode& mode, Manager& manager);
    template <class Mode, class Manager>
    void wait_then(tick_clock::time_point at, Mode& mode, Manager& manager, bool for_tick);
    template <class Mode, class Manager>
    void finish(Mode& mode, Manager& manager);
    void report_lateness(tick_clock::time_point now);
    void end_test();

    boost::asio::io_service& io;
    // Ticks, polls and interruptions run one at a time through it.
    boost::asio::io_service::strand strand;
    boost::asio::basic_waitable_timer<tick_clock> timer;
    lateness const late;
    // Planned time of the next tick; between ticks it includes the 10 ms
    // allowance before a tick counts as late.
    tick_clock::time_point next_tick = tick_clock::time_point::max();
    std::uint32_t tick_count = 0;
    run_recorder* recorder = nullptr;
    bool ended = false;
    // The signal that interrupted the test, the end of its wind-down, and the
    // timeouts counted since its last tick.
    int interrupted_by = 0;
    tick_clock::time_point wind_down_end;
    unsigned wind_down_timeouts = 0;
};

template <class Mode, class Manager>
void tick_loop::run(boost::system::error_code const& error, Mode& mode, Manager& manager)
{
    if (interrupted_by != 0 || ended)
        return; // the wind-down has the timer now
    if (error) {
        std::cout << error.message() << std::endl;
        return;
    }
    auto const now = tick_clock::now();
    report_lateness(now);
    next_tick = now + std::chrono::seconds(1);
    schedule_beats(manager, now, mode.beats_due());

    auto const s = read_stats(manager, now);
    print_progress(tick_count, s, mode.rates());
    record_tick(manager, now, s, mode.rates());
    ++tick_count;
    if (mode.decide(s, manager) == tick_outcome::finished) {
        finish(mode, manager);
        return;
    }

    wait_then(next_tick, mode, manager, true);
    next_tick += std::chrono::milliseconds(10);
}

template <class... Parts>
void tick_loop::announce(const char* event, run_event::figure_list figures, Parts const&... parts)
{
    std::ostringstream line;
    (line << ... << parts);
    if (!g_opt_quiet)
        std::cout << line.str() << std::endl;
    if (recorder)
        recorder->event({tick_clock::now(), tick_count - 1, event, line.str(), std::move(figures)});
}

template <class Manager>
void tick_loop::record_tick(Manager& manager, tick_clock::time_point now, tick_stats const& s,
                            progress_rates const& r)
{
    if (!recorder)
        return;
    tick_report t;
    t.at = now;
    t.tick = tick_count;
    t.results = s.results;
    t.timeouts = s.timeouts;
    t.pending = s.pending;
    t.avg_ms = s.avg_ms;
    t.max_ms = s.max_ms;
    t.min_ms = s.min_ms;
    t.low_water = r.low;
    t.rate = r.rate;
    t.high_water = r.high;
    recorder->tick(manager, t);
}

template <class Mode, class Manager>
void tick_loop::wait_then(tick_clock::time_point at, Mode& mode, Manager& manager, bool for_tick)
{
    timer.expires_at(at);
    if (for_tick)
        timer.async_wait(strand.wrap(
            [&mode, &manager](boost::system::error_code const& e) { mode.async_loop(e, manager); }));
    else
        timer.async_wait(strand.wrap(
            [this, &mode, &manager](boost::system::error_code const& e) { wind_down(e, mode, manager); }));
}

template <class Mode, class Manager>
void tick_loop::interrupt(int signal, Mode& mode, Manager& manager)
{
    strand.dispatch([this, signal, &mode, &manager] {
        if (ended)
            return;
        auto const now = tick_clock::now();
        if (interrupted_by == 0) {
            interrupted_by = signal;
            manager.cancel();
            wind_down_end = now + std::chrono::seconds(g_opt_timeout);
            if (recorder)
                recorder->event({now, tick_count, "interrupted", "", {{"signal", signal}}});
        } else {
            wind_down_end = now;
        }
        // Replaces the wait for the next tick or poll, which ends aborted.
        wait_then(now, mode, manager, false);
    });
}

template <class Mode, class Manager>
void tick_loop::wind_down(boost::system::error_code const& error, Mode& mode, Manager& manager)
{
    if (error || ended)
        return; // replaced by a later wait
    auto const now = tick_clock::now();
    auto s = read_stats(manager, now);
    wind_down_timeouts += s.timeouts;
    if (s.pending != 0 && now < wind_down_end) {
        wait_then(std::min(now + std::chrono::milliseconds(50), wind_down_end), mode, manager, false);
        return;
    }
    s.timeouts = wind_down_timeouts;
    print_progress(tick_count, s, mode.rates());
    record_tick(manager, now, s, mode.rates());
    ++tick_count;
    manager.socket.cancel();
    finish(mode, manager);
}

template <class Mode, class Manager>
void tick_loop::finish(Mode& mode, Manager& manager)
{
    ended = true;
    if (recorder) {
        run_outcome outcome = mode.findings();
        outcome.interrupted = interrupted_by != 0;
        outcome.signal = interrupted_by;
        recorder->finish(manager, std::move(outcome));
    }
    end_test();
}

} // namespace quorvelin
} // namespace zarn

#endif
