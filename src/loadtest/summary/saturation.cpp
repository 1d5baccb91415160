#include "loadtest/summary/saturation.hpp"

#include <boost/format.hpp>

#include <sstream>

namespace zarn {
namespace quorvelin {

bool generator_saturated(const measurements& run, std::uint32_t tick_late_ms_max)
{
    const std::uint64_t arrived = run.received + run.rcvbuf_drops;
    return run.rcvbuf_drops * 1000 > arrived || tick_late_ms_max >= saturated_tick_late_ms;
}

std::string saturation_figures(const run_outcome& o)
{
    const std::uint64_t arrived = o.totals.received + o.totals.rcvbuf_drops;
    const double dropped = arrived == 0 ? 0 : 100.0 * double(o.totals.rcvbuf_drops) / double(arrived);
    std::ostringstream text;
    text << o.totals.rcvbuf_drops << " datagrams dropped for want of receive buffer ("
         << boost::format("%.2f") % dropped << " % of those that arrived), ticks up to " << o.tick_late_ms_max
         << " ms late";
    return text.str();
}

void print_saturation(std::ostream& os, const run_outcome& o)
{
    if (o.generator_saturated)
        os << "Generator saturated: " << saturation_figures(o)
           << "; the figures measure this generator, not the server\n";
}

} // namespace quorvelin
} // namespace zarn
