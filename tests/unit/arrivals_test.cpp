// Arrivals within a second: even, to the nanosecond, or a Poisson process
// of the same count: exponential gaps, the same mean rate, repeatable.
#include "loadtest/arrivals.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

using zarn::quorvelin::arrival_process;
using zarn::quorvelin::arrivals;

namespace {

// The gaps between 100,000 arrivals at 1,000 a second, seconds apart.
std::vector<double> gaps(arrivals& a)
{
    std::vector<double> out;
    double last = -1;
    for (int second = 0; second < 100; ++second)
        for (std::int64_t at : a.offsets(1000)) {
            const double t = second + double(at) / 1e9;
            if (last >= 0)
                out.push_back(t - last);
            last = t;
        }
    return out;
}

double mean(const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0) / double(v.size()); }

double coefficient_of_variation(const std::vector<double>& v)
{
    const double m = mean(v);
    double squares = 0;
    for (double x : v)
        squares += (x - m) * (x - m);
    return std::sqrt(squares / double(v.size())) / m;
}

} // namespace

TEST(Arrivals, EvenlySpacedToTheNanosecond)
{
    arrivals even;
    EXPECT_EQ(even.offsets(3), (std::vector<std::int64_t>{0, 333333333, 666666666}));
    EXPECT_EQ(coefficient_of_variation(gaps(even)) < 0.001, true);
}

// A Poisson process: gaps of mean 1/rate (within 2 %) whose spread equals
// their mean (exponential: coefficient of variation 1), in order, in the
// second, the same for the same seed and not for another.
TEST(Arrivals, PoissonAtTheSameMeanRateWithExponentialGaps)
{
    arrivals poisson(arrival_process::poisson, 7);
    const std::vector<double> g = gaps(poisson);
    EXPECT_NEAR(mean(g), 0.001, 0.00002);
    EXPECT_NEAR(coefficient_of_variation(g), 1.0, 0.03);
    const auto& one = poisson.offsets(500);
    EXPECT_TRUE(std::is_sorted(one.begin(), one.end()));
    EXPECT_GE(one.front(), 0);
    EXPECT_LT(one.back(), 1000000000);

    arrivals again(arrival_process::poisson, 7), other(arrival_process::poisson, 8);
    EXPECT_EQ(again.offsets(100), arrivals(arrival_process::poisson, 7).offsets(100));
    EXPECT_NE(again.offsets(100), other.offsets(100));
    EXPECT_EQ(arrivals::named("poisson"), arrival_process::poisson);
    EXPECT_THROW(arrivals::named("bursty"), std::runtime_error);
}
