#include "loadtest/tick_loop.hpp"

namespace zarn {
namespace quorvelin {

tick_loop::tick_loop(boost::asio::io_service& loop, lateness late_ticks)
    : io(loop), strand(loop), timer(loop), late(late_ticks)
{
}

void tick_loop::report_lateness(tick_clock::time_point now)
{
    // Written even when quiet: a late tick means the beats ran late too.
    if (late == lateness::ignored || now <= next_tick)
        return;
    auto const delay = std::chrono::duration_cast<std::chrono::milliseconds>(now - next_tick);
    std::cout << "# delayd " << delay.count() << "msec" << std::endl;
    if (recorder)
        recorder->event({now, tick_count, "late_tick", "# delayd " + std::to_string(delay.count()) + "msec",
                         {{"late_ms", delay.count()}}});
}

void tick_loop::record(const char* event, run_event::figure_list figures)
{
    if (recorder)
        recorder->event({tick_clock::now(), tick_count - 1, event, "", std::move(figures)});
}

void tick_loop::end_test()
{
    io.stop();
}

} // namespace quorvelin
} // namespace zarn
