#include "loadtest/summary/population_summary.hpp"

#include "loadtest/summary/summary_block.hpp"

#include <boost/format.hpp>

namespace zarn {
namespace quorvelin {

namespace {

void print_exchange(std::ostream& os, const char* name, const exchange_counts& e)
{
    os << boost::format("%-16s %10d %10d %10d %10d %10d\n") % name % e.sent % e.retransmitted % e.answered
              % e.refused_total() % e.timed_out;
}

void print_exchange_refusals(std::ostream& os, const char* name, const exchange_counts& e)
{
    if (e.no_lease_offered != 0)
        os << "Refused " << name << ": no lease " << e.no_lease_offered << "\n";
    for (std::size_t status = 1; status < e.refused.size(); ++status)
        if (e.refused[status] != 0)
            os << "Refused " << name << ": " << refusal_name(status) << " " << e.refused[status] << "\n";
}

} // namespace

void print_population(std::ostream& os, const run_outcome& o)
{
    const population_counts& p = o.totals.population;
    os << "Subscribers: " << p.bound << " bound, " << p.lost << " leases lost, " << p.left
       << " unbound by a refusal, " << o.low_water << " bound at the end; " << p.released << " released, "
       << p.release_answered << " answered\n";
    if (p.not_bound != 0)
        os << "Not bound: " << p.not_bound
           << " clients completed with a REPLY that bound nothing a client may keep (T1 above T2, or no valid "
              "lifetime)\n";
    if (p.timers_raised != 0)
        os << "Timers raised: " << p.timers_raised
           << " grants left T1 or T2 to the client and came out shorter than 10 s and 16 s of lease time, the "
              "least a client waits\n";
    os << boost::format("%-16s %10s %10s %10s %10s %10s\n") % "Exchange" % "Sent" % "Resent" % "Answered" % "Refused"
              % "Timed out";
    print_exchange(os, "RENEW", p.renew);
    print_exchange(os, "REBIND", p.rebind);
    print_exchange_refusals(os, "RENEW", p.renew);
    print_exchange_refusals(os, "REBIND", p.rebind);
    print_latency_row(os, "RENEW (us)", p.renew.latency);
    print_latency_row(os, "REBIND (us)", p.rebind.latency);
}

} // namespace quorvelin
} // namespace zarn
