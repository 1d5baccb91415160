#ifndef QUORVELIN_LOADTEST_REPORT_POPULATION_REPORT_HPP
#define QUORVELIN_LOADTEST_REPORT_POPULATION_REPORT_HPP

// A population test's figures in the report: per second (a tick's
// "second") and for the whole run (the summary), the subscribers and their
// RENEW and REBIND exchanges.

#include "engine/counts/measurements.hpp"

#include <nlohmann/json.hpp>

namespace zarn {
namespace quorvelin {

// `whole_run`: full latency percentiles and histograms instead of a tick's
// count, p50 and p99.
nlohmann::ordered_json population_record(const population_counts& p, bool whole_run);

} // namespace quorvelin
} // namespace zarn

#endif
