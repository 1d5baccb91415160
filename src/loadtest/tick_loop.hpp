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

#include "loadtest/tick.hpp"

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstdint>
#include <iostream>

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

private:
    void report_lateness(tick_clock::time_point now) const;
    void end_test();

    boost::asio::io_service& io;
    boost::asio::basic_waitable_timer<tick_clock> timer;
    lateness const late;
    // Planned time of the next tick; between ticks it includes the 10 ms
    // allowance before a tick counts as late.
    tick_clock::time_point next_tick = tick_clock::time_point::max();
    std::uint32_t tick_count = 0;
};

template <class Mode, class Manager>
void tick_loop::run(boost::system::error_code const& error, Mode& mode, Manager& manager)
{
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
    ++tick_count;
    if (mode.decide(s, manager) == tick_outcome::finished) {
        end_test();
        return;
    }

    timer.expires_at(next_tick);
    next_tick += std::chrono::milliseconds(10);
    timer.async_wait([&mode, &manager](boost::system::error_code const& e) { mode.async_loop(e, manager); });
}

} // namespace quorvelin
} // namespace zarn

#endif
