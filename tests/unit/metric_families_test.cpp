// The run's counts as Prometheus series (Prometheus's quantiles meet the
// report's in the end-to-end test).
#include "loadtest/report/metric_families.hpp"

#include <gtest/gtest.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <random>
#include <sstream>

using namespace zarn::quorvelin;

// Each bucket counts exactly the latencies below its bound, as the report
// keeps them (whole microseconds, 60 s at most): then every bound is a
// boundary of the report's buckets.
TEST(MetricFamilies, LatencyBucketsCountExactlyTheLatenciesBelowTheirBound)
{
    std::mt19937_64 random(7);
    std::vector<std::uint64_t> values;
    for (int i = 0; i < 5000; ++i)
        values.push_back(std::uniform_int_distribution<std::uint64_t>(1, 90000000)(random));
    for (std::uint64_t bound : latency_bounds_us())
        values.insert(values.end(), {bound - 1, bound, bound + 1});
    measurements totals(1);
    for (std::uint64_t v : values)
        totals.clients.latency.record(v);
    const std::vector<std::string> steps{"SOLICIT"};
    const auto families = metric_families({totals, steps}, {"once", "0/1"});
    const auto& h = std::find_if(families.begin(), families.end(), [](const auto& f) {
                        return f.name == "quorvelin_client_latency_seconds";
                    })->metric.at(0).histogram;

    ASSERT_EQ(h.bucket.size(), latency_bounds_us().size() + 1);
    for (std::size_t i = 0; i < latency_bounds_us().size(); ++i) {
        const std::uint64_t bound = latency_bounds_us()[i];
        EXPECT_EQ(h.bucket[i].cumulative_count, std::uint64_t(std::count_if(values.begin(), values.end(), [&](auto v) {
                      return std::min(v, latency_histogram::highest_us) < bound;
                  }))) << "le " << bound << " us";
    }
    EXPECT_EQ(h.bucket.back().cumulative_count, values.size());
}

TEST(MetricFamilies, SeriesCarryModeSegmentStepAndRefusalStatus)
{
    measurements totals(2);
    totals.clients.started = 10, totals.clients.completed = 4, totals.clients.timed_out = 3, totals.clients.cleared = 1;
    totals.steps[1].refused[2] = 5, totals.steps[1].refused[status_slots - 1] = 1, totals.steps[0].no_lease_offered = 6;
    const std::vector<std::string> steps{"SOLICIT", "REQUEST"};
    std::string text = prometheus::TextSerializer().Serialize(metric_families({totals, steps, 250}, {"ramp", "1/3"}));
    const std::string labels = "{mode=\"ramp\",segment=\"1/3\"", refused = "quorvelin_step_refused_total" + labels;
    for (const std::string& line : {refused + ",step=\"1\",message=\"SOLICIT\",status=\"no lease offered\"} 6\n" +
                                        refused + ",step=\"2\",message=\"REQUEST\",status=\"2:NoAddrAvail\"} 5\n" +
                                        refused + ",step=\"2\",message=\"REQUEST\",status=\"255 or above\"} 1\n",
                                    "quorvelin_clients_pending" + labels + "} 2\n",
                                    "quorvelin_offered_clients_per_second" + labels + "} 250\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
}
