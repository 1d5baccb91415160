// When clients start and which: arrivals within a second, even to the
// nanosecond or a Poisson process of the same count (exponential gaps, the
// same mean rate, repeatable); which clients a segment of a test runs, and
// its share of the beats.
#include "engine/segment.hpp"
#include "loadtest/arrivals.hpp"
#include "loadtest/tick.hpp"
#include "../support/wire_bytes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <set>
#include <stdexcept>
#include <vector>

using namespace zarn::quorvelin;
using clock_type = std::chrono::system_clock;

using wire_bytes::error_of;

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

TEST(Segment, ParsesIOfNAndRefusesTheRest)
{
    EXPECT_EQ(parse_segment("0/1"), (segment{0, 1}));
    EXPECT_EQ(parse_segment("2/3"), (segment{2, 3}));
    EXPECT_EQ(parse_segment("1023/1024"), (segment{1023, 1024}));
    for (const char* bad : {"0/0", "3/3", "4/3", "0/1025", "1", "/3", "1/", "-1/3", "1/3/4", "a/3", " 1/3", "1/+3",
                            "00001/3"})
        EXPECT_EQ(error_of([&] { parse_segment(bad); }),
                  std::string("the argument ('") + bad +
                      "') for option '--segment' is not I/N with 0 <= I < N <= 1024")
            << bad;
}

// The segments of one test never share an id, and together they use every
// id the whole test would, each once, until the ids wrap at 24 bits.
TEST(Segment, SegmentsShareOutTheIdsAndKeepThemAcrossTheWrap)
{
    std::set<std::int32_t> seen;
    for (std::uint32_t i = 0; i < 3; ++i) {
        const segment s{i, 3};
        for (std::int32_t id = s.first_id(), n = 0; n < 1000; id = s.next_id(id), ++n) {
            EXPECT_TRUE(seen.insert(id).second) << id;
            EXPECT_TRUE(s.owns(static_cast<std::uint64_t>(id)));
        }
    }
    EXPECT_EQ(seen.size(), 3000u);
    EXPECT_EQ(*seen.rbegin(), 2999);
    // Past 24 bits a segment starts again at its own first id.
    EXPECT_EQ((segment{2, 3}.next_id(0xFFFFFE)), 2);
    EXPECT_EQ((segment{0, 3}.next_id(0xFFFFFD)), 0);
    EXPECT_EQ((segment{0, 1}.next_id(0xFFFFFF)), 0);
    EXPECT_EQ((segment{0, 1}.next_id(41)), 42);
    // The once test's clients 0 .. 9 split three ways: 4, 3, 3.
    EXPECT_EQ((std::vector<std::uint64_t>{segment{0, 3}.share_of(10), segment{1, 3}.share_of(10),
                                          segment{2, 3}.share_of(10), segment{5, 8}.share_of(3)}),
              (std::vector<std::uint64_t>{4, 3, 3, 0}));
}

// The segments of a test share out each second's beats of the whole test:
// each schedules its own at the instants the whole test would, and together
// they schedule every beat once.
TEST(Segment, EachSegmentSchedulesItsShareOfTheSecondsBeats)
{
    struct recorder {
        std::vector<clock_type::time_point> beats;
        void async_run(clock_type::time_point at) { beats.push_back(at); }
    };
    const clock_type::time_point t0 = clock_type::from_time_t(1800000000);
    recorder one;
    EXPECT_EQ(schedule_beats(one, t0, 10, segment{1, 3}, 8), 18u);
    const auto ms = [&](const recorder& r) {
        std::vector<long> out;
        for (auto at : r.beats)
            out.push_back(long(std::chrono::duration_cast<std::chrono::milliseconds>(at - t0).count()));
        return out;
    };
    EXPECT_EQ(ms(one), (std::vector<long>{200, 500, 800}));

    recorder all;
    for (std::uint32_t i = 0; i < 3; ++i)
        schedule_beats(all, t0, 10, segment{i, 3}, 8);
    std::sort(all.beats.begin(), all.beats.end());
    recorder whole;
    schedule_beats(whole, t0, 10);
    EXPECT_EQ(all.beats, whole.beats);
}
