#include "loadtest/tick_loop.hpp"

#include "engine/schedule/random_seed.hpp"
#include "main/options/access_options.hpp"

#include <algorithm>
#include <string>

namespace zarn {
namespace quorvelin {

tick_loop::tick_loop(boost::asio::io_service& loop, bool late_ticks_reported)
    : io(loop), strand(loop), timer(loop), reports_lateness(late_ticks_reported),
      arrival(g_opt_arrivals, stream_seed(g_opt_seed, random_stream::arrivals, g_opt_segment.index))
{
}

void tick_loop::report_lateness(tick_clock::time_point now)
{
    const auto delay = lateness(now, next_tick);
    if (!delay)
        return;
    latest = std::max<std::uint32_t>(latest, static_cast<std::uint32_t>(std::min<std::int64_t>(delay->count(), UINT32_MAX)));
    // Written even when quiet: a late tick means the beats ran late too.
    if (!reports_lateness)
        return;
    const std::string line = "# delayd " + std::to_string(delay->count()) + "msec";
    std::cout << line << std::endl;
    recorder->event({now, tick_count, "late_tick", line, {{"late_ms", delay->count()}}});
}

void tick_loop::keep_wind_down_reading(engine_snapshot& reading)
{
    wind_down_timeouts += reading.stats.timeouts;
    if (wind_down_counted.steps.empty())
        wind_down_counted = std::move(reading.counted);
    else
        wind_down_counted.add(reading.counted);
}

void tick_loop::announce(announcement const& line)
{
    if (!line.text.empty() && !g_opt_quiet)
        std::cout << line.text << std::endl;
    recorder->event({tick_clock::now(), tick_count - 1, line.event, line.text, line.figures});
}

void tick_loop::record_tick(tick_clock::time_point now, engine_snapshot reading, progress_rates const& r)
{
    recorder->tick(tick_report{now, tick_count, reading.stats, r}, std::move(reading.counted));
    ++tick_count;
}

} // namespace quorvelin
} // namespace zarn
