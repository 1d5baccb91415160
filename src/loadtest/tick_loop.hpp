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

} // namespace quorvelin
} // namespace zarn

#include "loadtest/impl/tick_loop.hpp"

#endif
