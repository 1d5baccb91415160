#include "engine/counts/latency_histogram.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

namespace {

using zarn::quorvelin::latency_histogram;

// The recorded value of nearest rank ceil(p / 100 * n), the definition the
// histogram approximates.
std::uint64_t exact_percentile(std::vector<std::uint64_t> values, double p)
{
    std::sort(values.begin(), values.end());
    auto rank = static_cast<std::size_t>(std::ceil(p / 100 * double(values.size())));
    return values[std::max<std::size_t>(rank, 1) - 1];
}

std::vector<std::uint64_t> draw(std::size_t n, const std::function<double(std::mt19937_64&)>& next)
{
    std::mt19937_64 random(42);
    std::vector<std::uint64_t> out(n);
    for (auto& v : out)
        v = static_cast<std::uint64_t>(std::min(next(random), 60e6));
    return out;
}

// Half a bucket at most: 1/256 of the value, 0.4 % (the goal is 1 %).
TEST(LatencyHistogram, PercentilesWithinHalfABucketOnKnownDistributions)
{
    std::lognormal_distribution<double> lognormal(8, 2);
    const struct {
        const char* name;
        std::vector<std::uint64_t> values;
    } cases[] = {
        {"lognormal, 1 us .. 60 s", draw(200000, [&](std::mt19937_64& r) { return 1 + lognormal(r); })},
        {"constant 1234 us", std::vector<std::uint64_t>(1000, 1234)},
        {"extremes 1 us and 60 s", {1, 1, 60000000, 1, 60000000}},
        {"one value", {777777}},
    };
    for (const auto& c : cases) {
        latency_histogram h;
        for (auto v : c.values)
            h.record(v);
        for (double p : {0.0, 1.0, 50.0, 90.0, 99.0, 99.9, 100.0}) {
            const double want = double(exact_percentile(c.values, p));
            EXPECT_LE(std::abs(double(h.percentile(p)) - want), want / 256) << c.name << " p" << p;
        }
        EXPECT_EQ(h.count(), c.values.size()) << c.name;
        EXPECT_EQ(h.min(), *std::min_element(c.values.begin(), c.values.end())) << c.name;
        EXPECT_EQ(h.max(), *std::max_element(c.values.begin(), c.values.end())) << c.name;
        std::uint64_t sum = 0;
        for (auto v : c.values)
            sum += v;
        EXPECT_EQ(h.sum(), sum) << c.name;
        EXPECT_DOUBLE_EQ(h.mean(), double(sum) / double(c.values.size())) << c.name;
    }
}

TEST(LatencyHistogram, SmallSetsGiveTheValueOfTheNearestRank)
{
    latency_histogram h;
    EXPECT_EQ(h.percentile(50), 0u) << "empty";
    EXPECT_EQ(h.min(), 0u);
    EXPECT_EQ(h.mean(), 0.0);
    for (std::uint64_t v = 1; v <= 10; ++v)
        h.record(v * 10);
    const struct {
        double p;
        std::uint64_t want;
    } ranks[] = {{0, 10}, {10, 10}, {10.5, 20}, {50, 50}, {90, 90}, {90.1, 100}, {99, 100}, {100, 100}};
    for (const auto& r : ranks)
        EXPECT_EQ(h.percentile(r.p), r.want) << "p" << r.p;
}

TEST(LatencyHistogram, BucketsTileTheRangeFinelyEnough)
{
    EXPECT_EQ(latency_histogram::bucket_of(0), 0u);
    for (std::size_t i = 0; i < latency_histogram::bucket_count; ++i) {
        const auto low = latency_histogram::bucket_low(i), high = latency_histogram::bucket_high(i);
        ASSERT_EQ(latency_histogram::bucket_of(low), i);
        if (i + 1 < latency_histogram::bucket_count) {
            ASSERT_EQ(latency_histogram::bucket_of(high), i);
            ASSERT_EQ(latency_histogram::bucket_low(i + 1), high + 1) << "no gaps";
        }
        ASSERT_LE(double(high - low + 1), std::max(1.0, double(low) / 128)) << "bucket " << i;
    }
    // Longer latencies share the top bucket; the exact maximum is kept.
    latency_histogram h;
    h.record(200000000);
    EXPECT_EQ(h.bucket(latency_histogram::bucket_count - 1), 1u);
    EXPECT_EQ(h.max(), 200000000u);
    EXPECT_EQ(h.percentile(50), 200000000u);
}

TEST(LatencyHistogram, AddedHistogramsEqualOneOfEverything)
{
    const auto a = draw(5000, [](std::mt19937_64& r) { return double(r() % 3000000); });
    const auto b = draw(7000, [](std::mt19937_64& r) { return double(r() % 500); });
    latency_histogram ha, hb, both;
    for (auto v : a)
        ha.record(v), both.record(v);
    for (auto v : b)
        hb.record(v), both.record(v);
    ha.add(hb);
    for (std::size_t i = 0; i < latency_histogram::bucket_count; ++i)
        ASSERT_EQ(ha.bucket(i), both.bucket(i)) << i;
    EXPECT_EQ(ha.count(), both.count());
    EXPECT_EQ(ha.sum(), both.sum());
    EXPECT_EQ(ha.min(), both.min());
    EXPECT_EQ(ha.max(), both.max());
    ha.clear();
    EXPECT_EQ(ha.count(), 0u);
    EXPECT_EQ(ha.max(), 0u);
    EXPECT_EQ(ha.bucket(latency_histogram::bucket_of(100)), 0u);
}

} // namespace
