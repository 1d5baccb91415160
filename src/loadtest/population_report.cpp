#include "loadtest/population_report.hpp"

#include <string>

namespace zarn {
namespace quorvelin {

namespace {

using json = nlohmann::ordered_json;

json latency(const latency_histogram& h, bool whole_run)
{
    if (!whole_run)
        return {{"count", h.count()}, {"p50", h.percentile(50)}, {"p99", h.percentile(99)}};
    return {{"count", h.count()},         {"min", h.min()},
            {"mean", h.mean()},           {"p50", h.percentile(50)},
            {"p90", h.percentile(90)},    {"p99", h.percentile(99)},
            {"p999", h.percentile(99.9)}, {"max", h.max()}};
}

json exchange(const exchange_counts& e, bool whole_run)
{
    json refused = json::object();
    for (std::size_t status = 0; status < e.refused.size(); ++status)
        if (e.refused[status] != 0)
            refused[std::to_string(status)] = e.refused[status];
    return {{"sent", e.sent},
            {"retransmitted", e.retransmitted},
            {"answered", e.answered},
            {"refused", refused},
            {"timed_out", e.timed_out},
            {"duplicate_leases", e.duplicate_leases},
            {"latency_us", latency(e.latency, whole_run)}};
}

} // namespace

json population_record(const population_counts& p, bool whole_run)
{
    return {{"bound_now", p.bound_now},
            {"bound", p.bound},
            {"lost", p.lost},
            {"unbound", p.left},
            {"released", p.released},
            {"release_answered", p.release_answered},
            {"renew", exchange(p.renew, whole_run)},
            {"rebind", exchange(p.rebind, whole_run)}};
}

} // namespace quorvelin
} // namespace zarn
