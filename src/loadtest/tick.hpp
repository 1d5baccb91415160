#ifndef QUORVELIN_LOADTEST_TICK_HPP
#define QUORVELIN_LOADTEST_TICK_HPP

// Pieces shared by the once-a-second ticks of the three test drivers.

#include "main/options.hpp"

#include <chrono>
#include <cstdint>
#include <iostream>

namespace zarn {
namespace quorvelin {

using tick_clock = std::chrono::system_clock;

// The manager's counters as one tick sees them.
struct tick_stats {
    unsigned results = 0;
    unsigned timeouts = 0;
    unsigned pending = 0;
    unsigned avg_ms = 0;
    unsigned max_ms = 0;
    unsigned min_ms = 0;
};

// Clients whose last message left before now - g_opt_timeout count as timed out.
template <class Manager>
tick_stats read_stats(Manager& manager, tick_clock::time_point now)
{
    tick_stats s;
    manager.stats(now - std::chrono::seconds(g_opt_timeout), s.results, s.timeouts, s.pending,
                  s.avg_ms, s.max_ms, s.min_ms);
    return s;
}

// One beat (one new client) at `from` and every `interval` after it while
// earlier than `until`. The instants are absolute, so the start rate does not
// depend on how quickly beats are handled.
template <class Manager>
void schedule_beats(Manager& manager, tick_clock::time_point from, tick_clock::time_point until,
                    std::chrono::microseconds interval)
{
    auto at = from;
    do {
        manager.async_run(at);
        at += interval;
    } while (at < until);
}

// How many beats schedule_beats places in one second at this spacing: the
// rate to report, which is one above 1000000 / interval whenever the
// spacing does not divide the second.
std::uint32_t beats_per_second(std::chrono::microseconds interval);

// Beat spacing and rates are derived from "clients"; outside 1..1000000 the
// spacing would divide by zero or round to nothing. Throws std::out_of_range.
void check_client_count(std::uint32_t clients);

// The beat spacing for "clients" new clients per second, rounded down;
// checks the count as above.
std::chrono::microseconds beat_spacing(std::uint32_t clients);

// The progress line, written when progress output is on and quiet is off.
// The three middle columns are the low-water mark, the rate and the
// high-water mark in the highload mode; the other modes repeat their rate.
void print_progress(std::uint32_t tick, tick_stats const& s, std::uint32_t low, std::uint32_t rate,
                    std::uint32_t high);

// A decision or report line, unless quiet.
template <class... Parts>
void announce(Parts const&... parts)
{
    if (g_opt_quiet)
        return;
    (std::cout << ... << parts) << std::endl;
}

} // namespace quorvelin
} // namespace zarn

#endif
