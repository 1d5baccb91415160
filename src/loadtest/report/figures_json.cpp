#include "loadtest/report/figures_json.hpp"

namespace zarn {
namespace quorvelin {

using json = nlohmann::ordered_json;

json latency_figures(const latency_histogram& h)
{
    return {{"count", h.count()},          {"min", h.min()},
            {"mean", h.mean()},            {"p50", h.percentile(50)},
            {"p90", h.percentile(90)},     {"p99", h.percentile(99)},
            {"p999", h.percentile(99.9)},  {"max", h.max()}};
}

json latency_quick(const latency_histogram& h)
{
    return {{"count", h.count()}, {"p50", h.percentile(50)}, {"p99", h.percentile(99)}};
}

json latency_histogram_json(const latency_histogram& h)
{
    json pairs = json::array();
    for (std::size_t i = 0; i < latency_histogram::bucket_count; ++i)
        if (h.bucket(i) != 0)
            pairs.push_back({latency_histogram::bucket_low(i), h.bucket(i)});
    return {{"count", h.count()}, {"sum", h.sum()}, {"min", h.min()}, {"max", h.max()}, {"buckets", pairs}};
}

json refusals_json(const std::array<std::uint64_t, status_slots>& refused, std::uint64_t listed_as_zero)
{
    json by_status = json::object();
    if (listed_as_zero != 0)
        by_status["0"] = listed_as_zero;
    for (std::size_t status = 1; status < refused.size(); ++status)
        if (refused[status] != 0)
            by_status[std::to_string(status)] = refused[status];
    return by_status;
}

} // namespace quorvelin
} // namespace zarn
