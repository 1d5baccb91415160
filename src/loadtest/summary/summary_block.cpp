#include "loadtest/summary/summary_block.hpp"

#include "engine/segment.hpp"
#include "loadtest/summary/population_summary.hpp"
#include "loadtest/summary/saturation.hpp"
#include "main/options/options.hpp"
#include "main/options/population_options.hpp"
#include "message/vocabulary.hpp"

#include <boost/format.hpp>

#include <sstream>

#include <string>
#include <utility>

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
    case opt_mode_population:
        // A segment keeps its share of the population.
        os << ", " << o.low_water << " of " << g_opt_segment.share_of(g_opt_population)
           << " subscribers bound at the end";
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

// With retransmission on: per step, the retransmissions sent and the
// answers that needed one, two, three or more of them; then when the last
// client was served, which ends an avalanche.
void print_retransmissions(std::ostream& os, const run_outcome& o)
{
    if (!g_opt_retransmit)
        return;
    const char* const row = "%-16s %10s %10s %10s %10s\n";
    os << boost::format(row) % "Retransmitted" % "Sent" % "Needed 1" % "Needed 2" % "Needed 3+";
    std::uint64_t total = 0;
    for (std::size_t k = 0; k < o.totals.steps.size(); ++k) {
        const step_measurements& s = o.totals.steps[k];
        total += s.retransmitted;
        os << boost::format(row) % step_name(o, k) % s.retransmitted % s.needed_retransmissions[0]
                  % s.needed_retransmissions[1] % s.needed_retransmissions[2];
    }
    os << "Last client served: ";
    if (o.totals.clients.completed == 0)
        os << "none";
    else
        os << boost::format("%.3f") % seconds_to_last_completion(o) << " s after the test began";
    os << "; " << total << " retransmissions sent\n";
}

// With the lease check on: all duplicate leases, then the steps whose
// answers granted them.
void print_duplicate_leases(std::ostream& os, const run_outcome& o)
{
    if (!g_opt_check_leases)
        return;
    os << "Duplicate leases: " << duplicate_leases(o.totals) << "\n";
    for (std::size_t k = 0; k < o.totals.steps.size(); ++k)
        if (o.totals.steps[k].duplicate_leases != 0)
            os << "Duplicate leases at step " << step_name(o, k) << ": " << o.totals.steps[k].duplicate_leases << "\n";
    const population_counts& p = o.totals.population;
    for (const auto& [name, n] : {std::pair{"RENEW", p.renew.duplicate_leases}, {"REBIND", p.rebind.duplicate_leases}})
        if (n != 0)
            os << "Duplicate leases at " << name << ": " << n << "\n";
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

// Answers that stopped or ended a client for reasons of their own: an
// ADVERTISE where Rapid Commit asked for a REPLY, a NoBinding to a release.
void print_other_endings(std::ostream& os, const run_outcome& o)
{
    for (std::size_t k = 0; k < o.totals.steps.size(); ++k) {
        const step_measurements& s = o.totals.steps[k];
        if (s.rapid_commit_not_honoured != 0)
            os << "Rapid commit not honoured at step " << step_name(o, k) << ": " << s.rapid_commit_not_honoured
               << "\n";
        if (s.released_without_binding != 0)
            os << "Released without a binding at step " << step_name(o, k) << ": " << s.released_without_binding
               << "\n";
        if (s.reservations_checked != 0)
            os << "Reservations at step " << step_name(o, k) << ": " << s.reservations_checked << " checked, "
               << s.reservations_not_honoured << " not honoured\n";
    }
}

} // namespace

void print_summary(std::ostream& os, const run_outcome& outcome)
{
    print_headline(os, outcome);
    print_totals(os, outcome);
    print_steps(os, outcome);
    print_retransmissions(os, outcome);
    print_duplicate_leases(os, outcome);
    print_latencies(os, outcome);
    print_refusals(os, outcome);
    print_other_endings(os, outcome);
    print_ramp(os, outcome);
    if (outcome.mode == opt_mode_population)
        print_population(os, outcome);
    print_saturation(os, outcome);
    os << "Seed: " << g_opt_seed << "\n";
    os.flush();
}

void print_latency_row(std::ostream& os, const std::string& name, const latency_histogram& h)
{
    os << boost::format("%-16s %10d %10d %10.1f %10d %10d %10d %10d %10d\n") % name % h.count() % h.min() % h.mean()
              % h.percentile(50) % h.percentile(90) % h.percentile(99) % h.percentile(99.9) % h.max();
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
