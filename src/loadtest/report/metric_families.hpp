#ifndef QUORVELIN_LOADTEST_REPORT_METRIC_FAMILIES_HPP
#define QUORVELIN_LOADTEST_REPORT_METRIC_FAMILIES_HPP

// A run's figures as Prometheus metric families, built when a scrape asks
// for them from the counts the engine keeps anyway: counters per scenario
// step and for the clients and the socket, gauges for the clients pending
// and the rate offered, and a histogram of whole-client latency; in a
// population test, the subscribers bound and their RENEWs and REBINDs
// too, with their latency on the same bucket bounds. Nothing
// is counted for Prometheus on the way of a packet.

#include "engine/counts/measurements.hpp"

#include <prometheus/metric_family.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zarn {
namespace quorvelin {

// What one scrape shows.
struct metric_figures {
    const measurements& totals;             // since the run began
    const std::vector<std::string>& steps; // the scenario's message names
    std::uint32_t offered = 0;              // new clients per second this second
    bool finished = false;                  // the test ended and its report is written
};

// The labels every series carries: the test mode and the segment ("1/3").
struct metric_labels {
    std::string mode;
    std::string segment;
};

// The mode label of a population test, whose scrapes also carry the
// population's series (quorvelin_population_*).
constexpr const char* population_mode_label = "population";

std::vector<prometheus::MetricFamily> metric_families(const metric_figures& figures, const metric_labels& labels);

// The whole-client latency histogram's upper bounds in microseconds: four
// per power of two from 16 us to 2^26 us (67 s: latencies above 60 s are
// kept as 60 s, as in the report). Each is a bucket boundary of latency_histogram, so every
// Prometheus bucket is a union of whole report buckets, and a quantile
// Prometheus takes lands in the Prometheus bucket that holds the report's.
const std::vector<std::uint64_t>& latency_bounds_us();

} // namespace quorvelin
} // namespace zarn

#endif
