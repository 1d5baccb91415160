#ifndef QUORVELIN_LOADTEST_REPORT_LATENCY_JSON_HPP
#define QUORVELIN_LOADTEST_REPORT_LATENCY_JSON_HPP

// Latencies and refusals in the report, written alike for scenario steps,
// whole clients and a population's exchanges.

#include "engine/counts/latency_histogram.hpp"
#include "engine/counts/measurements.hpp"

#include <cstdint>

#include <nlohmann/json.hpp>

namespace zarn {
namespace quorvelin {

// count, min, mean, p50, p90, p99, p999, max: a summary's latency_us.
nlohmann::ordered_json latency_figures(const latency_histogram& h);

// count, p50, p99: a tick's latency_us.
nlohmann::ordered_json latency_quick(const latency_histogram& h);

// The non-empty buckets as [lowest value, count] pairs, with the exact count,
// sum, minimum and maximum: enough to add histograms of several reports.
nlohmann::ordered_json latency_histogram_json(const latency_histogram& h);

// Refusals by status code, `{"2": 20}`, the codes that refused any in
// order; `listed_as_zero` first under "0" when there are any (a
// population's exchanges list their REPLYs without a lease so).
nlohmann::ordered_json refusals_json(const std::array<std::uint64_t, status_slots>& refused,
                                     std::uint64_t listed_as_zero = 0);

} // namespace quorvelin
} // namespace zarn

#endif
