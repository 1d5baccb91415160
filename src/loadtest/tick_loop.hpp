#ifndef QUORVELIN_LOADTEST_TICK_LOOP_HPP
#define QUORVELIN_LOADTEST_TICK_LOOP_HPP

// The once-a-second tick that every test driver runs: wait for the timer,
// start the coming second's clients, read the engine once, print the
// progress line, take the mode's decision and carry it out, re-arm. The
// mode (highload_mode, endless_mode, once_mode) only decides; the loop acts
// on the engine and the recorder. A mode offers:
//
//   static constexpr bool reports_lateness
//   std::uint32_t beats_due(std::uint32_t ticks) const
//       clients to start in the second after `ticks` ticks; 0 starts none.
//   progress_rates rates() const
//       the three middle columns of the progress line.
//   decision decide(tick_stats const&, std::uint32_t ticks)
//       the decision of tick number `ticks` (counting from 1).
//   run_outcome findings() const
//       what the mode found so far: its result and rates, for the summary.
//   decision interrupted(tick_stats const&, std::uint32_t ticks)   (optional)
//       what the first SIGINT or SIGTERM starts besides the wind-down (a
//       population's releases), and how much longer the wind-down may take.
//
// The driver is the face main sees: every timer wait completes into its
// public async_loop, which hands the tick back to run().
//
// Every tick's figures take one route, to the run_recorder (a quiet one of
// its own when none is given): it prints the progress line, records the
// tick and keeps the totals; decisions go to it as events, and the outcome
// at the end. The loop also winds a test down when asked to (interrupt),
// and its last, partial second takes the same route.

#include "engine/segment.hpp"
#include "loadtest/decision.hpp"
#include "loadtest/report/run_recorder.hpp"
#include "loadtest/tick.hpp"

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/error_code.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <type_traits>
#include <utility>

namespace zarn {
namespace quorvelin {

class tick_loop {
public:
    // Only the highload mode reports ticks that start late.
    tick_loop(boost::asio::io_service& io, bool reports_lateness);

    // One tick for `mode`. A failed wait (the timer destroyed or cancelled)
    // prints its message and ends the chain without stopping the event loop.
    template <class Driver, class Mode, class Manager>
    void run(boost::system::error_code const& error, Driver& driver, Mode& mode, Manager& manager);

    // Where the ticks, decisions and the outcome go.
    void record_to(run_recorder& recorder) { this->recorder = &recorder; }

    // SIGINT or SIGTERM: no client starts any more; the clients on their way
    // get up to g_opt_timeout seconds (polled every 50 ms) to finish; then
    // the progress line of that last, partial second, and the outcome,
    // marked interrupted. A second call ends the wait at once. Safe from any
    // thread once the first tick has run.
    template <class Driver, class Mode, class Manager>
    void interrupt(int signal, Driver& driver, Mode& mode, Manager& manager);

private:
    // Carries out the decision; true when the test ended.
    template <class Mode, class Manager>
    bool apply(decision const& d, Mode& mode, Manager& manager);
    void announce(announcement const& line);
    // The tick's one route: to the recorder, then the next tick's number.
    void record_tick(tick_clock::time_point now, engine_snapshot reading, progress_rates const& r);
    template <class Driver, class Mode, class Manager>
    void wind_down(boost::system::error_code const& error, Driver& driver, Mode& mode, Manager& manager);
    template <class Driver, class Mode, class Manager>
    void wait_then(tick_clock::time_point at, Driver& driver, Mode& mode, Manager& manager, bool for_tick);
    template <class Mode>
    void finish(Mode& mode);
    // The first signal: the mode's own wind-down, when it has one. Returns
    // the seconds it adds to the timeout.
    template <class Mode, class Manager>
    std::uint32_t begin_wind_down(Mode& mode, Manager& manager, tick_clock::time_point now);
    // A reading of the wind-down: its timeouts and counts kept for the end.
    void keep_wind_down_reading(engine_snapshot& reading);
    void report_lateness(tick_clock::time_point now);

    boost::asio::io_service& io;
    // Ticks, polls and interruptions run one at a time through it.
    boost::asio::io_service::strand strand;
    boost::asio::basic_waitable_timer<tick_clock> timer;
    bool const reports_lateness;
    // Planned time of the next tick; between ticks it includes the 10 ms
    // allowance before a tick counts as late.
    tick_clock::time_point next_tick = tick_clock::time_point::max();
    std::uint32_t tick_count = 0;
    // When within each second the new clients arrive.
    arrivals arrival;
    // The latest any tick started past its allowance, in milliseconds.
    std::uint32_t latest = 0;
    // The test's beats scheduled so far, this generator's and its other segments'.
    std::uint64_t beats_so_far = 0;
    // Without a recorder of the run's, the ticks still print their lines.
    run_recorder quiet_recorder{nullptr, false};
    run_recorder* recorder = &quiet_recorder;
    bool ended = false;
    // The signal that interrupted the test, the end of its wind-down, and
    // what was read since its last tick.
    int interrupted_by = 0;
    tick_clock::time_point wind_down_end;
    unsigned wind_down_timeouts = 0;
    measurements wind_down_counted;
};

template <class Driver, class Mode, class Manager>
void tick_loop::run(boost::system::error_code const& error, Driver& driver, Mode& mode, Manager& manager)
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
    const std::uint64_t scheduled_before = beats_so_far;
    beats_so_far = schedule_beats(manager, now, mode.beats_due(tick_count), g_opt_segment, beats_so_far, &arrival);
    manager.offer(static_cast<std::uint32_t>(g_opt_segment.share_of(beats_so_far) -
                                             g_opt_segment.share_of(scheduled_before)));

    engine_snapshot reading = read_engine(manager, now);
    tick_stats const s = reading.stats;
    record_tick(now, std::move(reading), mode.rates());
    if (apply(mode.decide(s, tick_count), mode, manager))
        return;

    wait_then(next_tick, driver, mode, manager, true);
    next_tick += std::chrono::milliseconds(10);
}

template <class Mode, class Manager>
bool tick_loop::apply(decision const& d, Mode& mode, Manager& manager)
{
    if (d.clear_results)
        manager.clear_results();
    if (d.release_population)
        manager.release_population();
    for (auto const& line : d.lines)
        announce(line);
    if (d.end == decision::ending::none)
        return false;
    manager.offer(0);
    if (d.end == decision::ending::cancel_and_stop) {
        manager.cancel();
        manager.socket.cancel();
    }
    finish(mode);
    return true;
}

template <class Driver, class Mode, class Manager>
void tick_loop::wait_then(tick_clock::time_point at, Driver& driver, Mode& mode, Manager& manager, bool for_tick)
{
    timer.expires_at(at);
    if (for_tick)
        timer.async_wait(strand.wrap(
            [&driver, &manager](boost::system::error_code const& e) { driver.async_loop(e, manager); }));
    else
        timer.async_wait(strand.wrap([this, &driver, &mode, &manager](boost::system::error_code const& e) {
            wind_down(e, driver, mode, manager);
        }));
}

template <class Driver, class Mode, class Manager>
void tick_loop::interrupt(int signal, Driver& driver, Mode& mode, Manager& manager)
{
    strand.dispatch([this, signal, &driver, &mode, &manager] {
        if (ended)
            return;
        auto const now = tick_clock::now();
        if (interrupted_by == 0) {
            interrupted_by = signal;
            manager.cancel();
            manager.offer(0);
            recorder->event({now, tick_count, "interrupted", "", {{"signal", signal}}});
            wind_down_end = now + std::chrono::seconds(g_opt_timeout + begin_wind_down(mode, manager, now));
        } else {
            wind_down_end = now;
        }
        // Replaces the wait for the next tick or poll, which ends aborted.
        wait_then(now, driver, mode, manager, false);
    });
}

template <class Driver, class Mode, class Manager>
void tick_loop::wind_down(boost::system::error_code const& error, Driver& driver, Mode& mode, Manager& manager)
{
    if (error || ended)
        return; // replaced by a later wait
    auto const now = tick_clock::now();
    engine_snapshot reading = read_engine(manager, now);
    keep_wind_down_reading(reading);
    if ((reading.stats.pending != 0 || reading.stats.releasing != 0) && now < wind_down_end) {
        wait_then(std::min(now + std::chrono::milliseconds(50), wind_down_end), driver, mode, manager, false);
        return;
    }
    reading.stats.timeouts = wind_down_timeouts;
    reading.counted = std::move(wind_down_counted);
    record_tick(now, std::move(reading), mode.rates());
    manager.socket.cancel();
    finish(mode);
}

template <class Mode, class = void>
struct winds_down_itself : std::false_type {};
template <class Mode>
struct winds_down_itself<Mode, std::void_t<decltype(std::declval<Mode&>().interrupted(tick_stats{}, 0u))>>
    : std::true_type {};

template <class Mode, class Manager>
std::uint32_t tick_loop::begin_wind_down(Mode& mode, Manager& manager, tick_clock::time_point now)
{
    if constexpr (winds_down_itself<Mode>::value) {
        engine_snapshot reading = read_engine(manager, now);
        keep_wind_down_reading(reading);
        const decision d = mode.interrupted(reading.stats, tick_count);
        if (d.release_population)
            manager.release_population();
        for (auto const& line : d.lines)
            announce(line);
        return d.wind_down_s;
    } else {
        (void)mode, (void)manager, (void)now;
        return 0;
    }
}

template <class Mode>
void tick_loop::finish(Mode& mode)
{
    ended = true;
    run_outcome outcome = mode.findings();
    outcome.interrupted = interrupted_by != 0;
    outcome.signal = interrupted_by;
    outcome.tick_late_ms_max = latest;
    recorder->finish(std::move(outcome));
    io.stop();
}

} // namespace quorvelin
} // namespace zarn

#endif
