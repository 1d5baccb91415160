#ifndef QUORVELIN_LOADTEST_TICK_HPP
#define QUORVELIN_LOADTEST_TICK_HPP

// Pieces shared by the once-a-second ticks of the three test drivers.

#include "engine/counts/snapshot.hpp"
#include "engine/segment.hpp"
#include "loadtest/arrivals.hpp"
#include "loadtest/progress_rates.hpp"
#include "main/options/options.hpp"

#include <chrono>
#include <cstdint>
#include <iostream>
#include <optional>
#include <vector>

namespace zarn {
namespace quorvelin {

using tick_clock = std::chrono::system_clock;

// Beat intervals are whole microseconds; rates that divide this are exact.
constexpr std::uint32_t microseconds_per_second = 1000000;

// The manager's counters as one tick sees them.
using tick_stats = table_stats;

// One reading of the engine per tick; clients whose last message left
// before now - g_opt_timeout count as timed out.
template <class Manager>
engine_snapshot read_engine(Manager& manager, tick_clock::time_point now)
{
    return manager.snapshot(now - std::chrono::seconds(g_opt_timeout));
}

// How late a tick that was due at `due` starts at `now`, in whole
// milliseconds; nothing when it is not late.
std::optional<std::chrono::milliseconds> lateness(tick_clock::time_point now, tick_clock::time_point due);

// `count` beats (new clients) of the whole test over the second that starts
// at `from`: evenly, placed to the nanosecond so that exactly `count`
// clients start per second whatever the rate, or at the instants `when`
// draws (--arrivals). The instants are absolute, so the start rate does not
// depend on how quickly beats are handled. The test's beats are numbered on
// from `first`; this generator schedules those of its segment `share`, so
// that the segments of a test interleave within each second. Returns the
// number after the last.
template <class Manager>
std::uint64_t schedule_beats(Manager& manager, tick_clock::time_point from, std::uint32_t count,
                             const segment& share = segment{}, std::uint64_t first = 0, arrivals* when = nullptr)
{
    const std::int64_t second = 1000000000;
    const std::vector<std::int64_t>* offsets = when ? &when->offsets(count) : nullptr;
    for (std::uint32_t k = 0; k < count; ++k)
        if (share.owns(first + k))
            manager.async_run(from + std::chrono::duration_cast<tick_clock::duration>(std::chrono::nanoseconds(
                                         offsets ? (*offsets)[k] : std::int64_t(k) * second / count)));
    return first + count;
}

// The rate that a wanted rate of new clients per second is run and reported
// at: one higher when a whole number of microseconds does not space it evenly
// over a second (3 per second run as 4). Every rate a bisection picks is thus
// at most one above its midpoint, which keeps the search converging.
std::uint32_t run_rate(std::uint32_t clients);

// Beat spacing and rates are derived from "clients"; outside
// 1..max_clients_per_second the spacing would divide by zero or round to
// nothing. Throws std::out_of_range.
void check_client_count(std::uint32_t clients);

// The progress line, written when progress output is on and quiet is off.
void print_progress(std::uint32_t tick, tick_stats const& s, progress_rates const& r);
// After it, with the lease check on, a line of the duplicate leases counted
// in the tick's second, when there were any.
void print_duplicate_leases(std::uint32_t tick, measurements const& second);

} // namespace quorvelin
} // namespace zarn

#endif
