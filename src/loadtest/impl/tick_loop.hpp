#ifndef QUORVELIN_LOADTEST_IMPL_TICK_LOOP_HPP
#define QUORVELIN_LOADTEST_IMPL_TICK_LOOP_HPP

// The template bodies of tick_loop: a tick, carrying out a decision,
// waiting, the wind-down after a signal, and the end. Included by its
// header only.

#include <type_traits>
#include <utility>

namespace zarn {
namespace quorvelin {

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
