#include "loadtest/report/population_report.hpp"

#include "loadtest/report/figures_json.hpp"

#include <string>

namespace zarn {
namespace quorvelin {

namespace {

using json = nlohmann::ordered_json;

json exchange(const exchange_counts& e, bool whole_run)
{
    // "0" in "refused" stays what it was before no_lease_offered was written.
    return {{"sent", e.sent},
            {"retransmitted", e.retransmitted},
            {"answered", e.answered},
            {"refused", refusals_json(e.refused, e.no_lease_offered)},
            {"no_lease_offered", e.no_lease_offered},
            {"timed_out", e.timed_out},
            {"duplicate_leases", e.duplicate_leases},
            {"latency_us", whole_run ? latency_figures(e.latency) : latency_quick(e.latency)}};
}

} // namespace

json population_record(const population_counts& p, bool whole_run)
{
    json record = {{"bound_now", p.bound_now},
                   {"bound", p.bound},
                   {"lost", p.lost},
                   {"unbound", p.left},
                   {"released", p.released},
                   {"release_answered", p.release_answered},
                   {"not_bound", p.not_bound},
                   {"timers_raised", p.timers_raised},
                   {"renew", exchange(p.renew, whole_run)},
                   {"rebind", exchange(p.rebind, whole_run)}};
    if (whole_run) {
        record["renew"]["histogram"] = latency_histogram_json(p.renew.latency);
        record["rebind"]["histogram"] = latency_histogram_json(p.rebind.latency);
    }
    return record;
}

} // namespace quorvelin
} // namespace zarn
