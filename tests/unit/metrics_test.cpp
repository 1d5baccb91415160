// What --metrics-listen serves: where it listens, and how the run's counts
// read as Prometheus series, the latency histogram above all, whose
// quantiles must agree with the report's.
#include "loadtest/metric_families.hpp"
#include "main/listen_address.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <vector>

using namespace zarn::quorvelin;

TEST(ListenAddress, TakesAnAddressAndAPortAndRefusesTheRest)
{
    for (auto [text, want] : {std::pair{"127.0.0.1:9547", "127.0.0.1:9547"}, {"[::]:9547", "[::]:9547"},
                              {"[2001:db8:1::10]:1", "[2001:db8:1::10]:1"}, {"0.0.0.0:65535", "0.0.0.0:65535"}}) {
        std::ostringstream got;
        got << parse_listen_address(text);
        EXPECT_EQ(got.str(), want);
    }
    for (const char* bad : {"", "9547", "127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536", "::1:9547",
                            "[::1]9547", "[::1]:", "[127.0.0.1]:9547", "localhost:9547", "127.0.0.1:95x7",
                            "[::1]:-1"})
        EXPECT_EQ(wire_bytes::error_of([&] { parse_listen_address(bad); }),
                  "not ADDRESS:PORT (an IPv4 address, or an IPv6 address in brackets, and a port from 1 to 65535: "
                  "127.0.0.1:9547, [::]:9547)")
            << bad;
}

namespace {

const prometheus::ClientMetric::Histogram& latency_of(const std::vector<prometheus::MetricFamily>& families)
{
    for (const auto& f : families)
        if (f.name == "quorvelin_client_latency_seconds")
            return f.metric.at(0).histogram;
    throw std::logic_error("no latency histogram");
}

// PromQL's histogram_quantile: linear between the bounds of the bucket
// where the rank falls.
double histogram_quantile(double q, const prometheus::ClientMetric::Histogram& h)
{
    const double rank = q * double(h.sample_count);
    for (std::size_t i = 0; i + 1 < h.bucket.size(); ++i)
        if (double(h.bucket[i].cumulative_count) >= rank) {
            const double low = i ? h.bucket[i - 1].upper_bound : 0;
            const double below = i ? double(h.bucket[i - 1].cumulative_count) : 0;
            return low + (h.bucket[i].upper_bound - low) * (rank - below) / (double(h.bucket[i].cumulative_count) - below);
        }
    return h.bucket[h.bucket.size() - 2].upper_bound;
}

// The Prometheus bucket that holds `seconds`.
std::size_t bucket_holding(double seconds, const prometheus::ClientMetric::Histogram& h)
{
    std::size_t i = 0;
    while (i + 1 < h.bucket.size() && h.bucket[i].upper_bound < seconds)
        ++i;
    return i;
}

} // namespace

// Each bucket counts exactly the latencies below its bound (kept in whole,
// truncated microseconds), and the p99 Prometheus computes lies in the
// Prometheus bucket that holds the report's p99.
TEST(MetricFamilies, LatencyBucketsCountExactlyAndTheirP99MeetsTheReports)
{
    std::mt19937_64 random(7);
    const std::vector<std::vector<std::uint64_t>> samples = [&] {
        std::vector<std::uint64_t> wide, narrow, edges, tail;
        for (int i = 0; i < 5000; ++i) {
            wide.push_back(std::uniform_int_distribution<std::uint64_t>(1, 90000000)(random));
            narrow.push_back(std::uniform_int_distribution<std::uint64_t>(300, 420)(random));
            tail.push_back(i % 50 == 0 ? 40000 + i : 250 + i % 7);
        }
        for (std::uint64_t bound : latency_bounds_us())
            edges.insert(edges.end(), {bound - 1, bound, bound + 1});
        return std::vector{wide, narrow, edges, tail, std::vector<std::uint64_t>{777}};
    }();
    for (const auto& values : samples) {
        latency_histogram report;
        measurements totals(1);
        for (std::uint64_t v : values)
            totals.clients.latency.record(v), report.record(v);
        const std::vector<std::string> steps{"SOLICIT"};
        const auto families = metric_families({totals, steps}, {"once", "0/1"});
        const auto& h = latency_of(families);

        ASSERT_EQ(h.bucket.size(), latency_bounds_us().size() + 1);
        for (std::size_t i = 0; i < latency_bounds_us().size(); ++i) {
            const std::uint64_t bound = latency_bounds_us()[i];
            const auto below = std::count_if(values.begin(), values.end(), [&](std::uint64_t v) {
                return std::min(v, latency_histogram::highest_us) < bound; // the report keeps 60 s at most
            });
            EXPECT_EQ(h.bucket[i].cumulative_count, std::uint64_t(below)) << "le " << bound << " us";
        }
        EXPECT_EQ(h.bucket.back().cumulative_count, values.size());
        EXPECT_EQ(bucket_holding(histogram_quantile(0.99, h), h), bucket_holding(report.percentile(99) / 1e6, h))
            << values.size() << " values from " << values.front();
    }
}

TEST(MetricFamilies, SeriesCarryModeSegmentStepAndRefusalStatus)
{
    measurements totals(2);
    totals.clients.started = 10, totals.clients.completed = 4, totals.clients.timed_out = 3, totals.clients.cleared = 1;
    totals.steps[1].refused[2] = 5;
    totals.steps[1].refused[status_slots - 1] = 1;
    totals.steps[0].no_lease_offered = 6;
    const std::vector<std::string> steps{"SOLICIT", "REQUEST"};
    const std::string text =
        prometheus::TextSerializer().Serialize(metric_families({totals, steps, 250, true}, {"ramp", "1/3"}));
    for (const char* line :
         {"quorvelin_step_refused_total{mode=\"ramp\",segment=\"1/3\",step=\"2\",message=\"REQUEST\","
          "status=\"2:NoAddrAvail\"} 5\n",
          "status=\"255 or above\"} 1\n",
          "quorvelin_step_refused_total{mode=\"ramp\",segment=\"1/3\",step=\"1\",message=\"SOLICIT\","
          "status=\"no lease offered\"} 6\n",
          "quorvelin_clients_pending{mode=\"ramp\",segment=\"1/3\"} 2\n",
          "quorvelin_offered_clients_per_second{mode=\"ramp\",segment=\"1/3\"} 250\n",
          "quorvelin_finished{mode=\"ramp\",segment=\"1/3\"} 1\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.find("quorvelin_step_refused_total{mode=\"ramp\",segment=\"1/3\",step=\"1\",message=\"SOLICIT\","
                        "status=\"2:"),
              std::string::npos);
}
