#include "loadtest/summary_block.hpp"

#include "message/vocabulary.hpp"
#include "main/options.hpp"

#include <boost/format.hpp>

#include <sstream>

#include <string>

namespace zarn {
namespace quorvelin {

namespace {

void print_headline(std::ostream& os, const run_outcome& o)
{
    os << "Summary: " << mode_name(o.mode) << " test";
    switch (o.mode) {
    case opt_mode_highload:
        os << ", " << o.result << " clients/second; low-water mark " << o.low_water << ", high-water mark "
           << o.high_water;
        break;
    case opt_mode_endless:
        os << ", " << o.offered << " clients/second offered, " << boost::format("%.1f") % o.served << " served";
        break;
    case opt_mode_once:
        // A segment started its share of the test's clients.
        os << ", " << o.totals.clients.completed << " of " << g_opt_segment.share_of(o.offered)
           << " clients completed";
        break;
    case opt_mode_ramp:
        os << ", " << o.result << " clients/second; the highest step passed " << o.low_water
           << ", the lowest failed " << o.high_water;
        break;
    }
    if (g_opt_segment.count > 1)
        os << "; segment " << g_opt_segment.index << "/" << g_opt_segment.count;
    os << (o.interrupted ? "; interrupted" : "") << "\n";
}

void print_totals(std::ostream& os, const run_outcome& o)
{
    const client_measurements& c = o.totals.clients;
    os << "Clients: " << c.started << " started, " << c.completed << " completed, " << c.timed_out << " timed out ("
       << c.stalled << " after a refusal or an unbuilt message), " << o.pending << " pending, " << c.cleared
       << " cleared\n"
       << "Datagrams: " << o.totals.received << " received, " << o.totals.unmatched << " unmatched, "
       << o.totals.rcvbuf_drops << " dropped for want of receive buffer\n";
}

std::string step_name(const run_outcome& o, std::size_t step)
{
    return std::to_string(step + 1) + " " + (step < o.messages.size() ? o.messages[step] : "");
}

void print_steps(std::ostream& os, const run_outcome& o)
{
    const char* const row = "%-16s %10s %10s %10s %10s %10s %10s %10s\n";
    os << boost::format(row) % "Step" % "Sent" % "Answered" % "Timed out" % "Refused" % "Duplicates" % "No SID"
              % "Not built";
    for (std::size_t k = 0; k < o.totals.steps.size(); ++k) {
        const step_measurements& s = o.totals.steps[k];
        os << boost::format(row) % step_name(o, k) % s.sent % s.answered % s.timed_out % s.refused_total()
                  % s.duplicates % s.no_server_id % s.unbuildable;
    }
}

void print_latency_row(std::ostream& os, const std::string& name, const latency_histogram& h)
{
    os << boost::format("%-16s %10d %10d %10.1f %10d %10d %10d %10d %10d\n") % name % h.count() % h.min() % h.mean()
              % h.percentile(50) % h.percentile(90) % h.percentile(99) % h.percentile(99.9) % h.max();
}

void print_latencies(std::ostream& os, const run_outcome& o)
{
    os << boost::format("%-16s %10s %10s %10s %10s %10s %10s %10s %10s\n") % "Latency (us)" % "Count" % "Min"
              % "Mean" % "p50" % "p90" % "p99" % "p99.9" % "Max";
    for (std::size_t k = 0; k < o.totals.steps.size(); ++k)
        print_latency_row(os, step_name(o, k), o.totals.steps[k].latency);
    print_latency_row(os, "Whole client", o.totals.clients.latency);
}

// The ramp's steps, one line each.
void print_ramp(std::ostream& os, const run_outcome& o)
{
    for (const ramp_step_result& r : o.ramp_steps)
        os << "Ramp step " << r.step << ": " << r.rate << " clients/second, " << r.started << " started, "
           << r.completed << " completed, " << r.failed << " failed, " << (r.passed ? "passed" : "failed") << "\n";
}

void print_refusals(std::ostream& os, const run_outcome& o)
{
    for (std::size_t k = 0; k < o.totals.steps.size(); ++k) {
        const auto& refused = o.totals.steps[k].refused;
        for (std::size_t status = 1; status < refused.size(); ++status) {
            if (refused[status] == 0)
                continue;
            os << "Refused at step " << step_name(o, k) << ": " << refusal_name(status) << " " << refused[status]
               << "\n";
        }
        if (o.totals.steps[k].no_lease_offered != 0)
            os << "Refused at step " << step_name(o, k) << ": no lease offered " << o.totals.steps[k].no_lease_offered
               << "\n";
    }
}

} // namespace

void print_summary(std::ostream& os, const run_outcome& outcome)
{
    print_headline(os, outcome);
    print_totals(os, outcome);
    print_steps(os, outcome);
    print_latencies(os, outcome);
    print_refusals(os, outcome);
    print_ramp(os, outcome);
    os.flush();
}

std::string refusal_name(std::size_t status)
{
    std::ostringstream name;
    if (status + 1 < status_slots)
        name << static_cast<status_code>(status);
    else
        name << status << " or above";
    return name.str();
}

} // namespace quorvelin
} // namespace zarn
