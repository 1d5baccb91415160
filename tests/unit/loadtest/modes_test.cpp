// The test modes' decisions, taken directly from their state machines: the
// highload search, the capacity ramp and the population's share of a segment.
#include "engine/segment.hpp"
#include "loadtest/modes/highload_mode.hpp"
#include "loadtest/modes/population_mode.hpp"
#include "loadtest/modes/ramp_mode.hpp"
#include "main/options/population_options.hpp"

#include "../support/drivers.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using zarn::quorvelin::highload_mode;
using zarn::quorvelin::population_mode;
using zarn::quorvelin::ramp_mode;
using zarn::quorvelin::segment;
using highload = drivers; // for the option globals

// From the first probe to the report with 1 client, a 2 s timeout and 2 s
// runs: probe 1, 2, 4, 5 per second, fail at 5; run at 2 passes; run at mid
// 3 (reported 4) fails; the marks 2 and 4 end the search.
const std::tuple<stats, std::size_t, std::string> full_search[] = {
    {{0, 0, 0}, 1, ""}, // nothing pending: 1 -> 2
    {{1, 0, 1}, 2, ""}, // gained 1 > 0: 2 -> 4
    {{3, 0, 1}, 4, ""}, // gained 2 > 1: 4 -> 5
    {{5, 0, 2}, 5, ""}, // gained 2, not more: hold at 5
    {{6, 3, 2}, 5, "Inital probe complete: High-water mark is 5 clients/second.\n"},
    {{7, 1, 1}, 0, ""}, // still timing out: keep draining
    {{7, 0, 0}, 0, "Preparing for next test run.\nclear "},
    {{0, 0, 0}, 0, ""}, // waiting 1 of 2
    {{0, 0, 0}, 0, ""}, // waiting 2 of 2
    {{0, 0, 0}, 0, "Beginning test run: 2 clients/second for 2 seconds.\n"},
    {{1, 0, 1}, 2, ""},
    {{3, 0, 1}, 2, ""},
    {{5, 0, 1}, 2, "Test run complete: Low-water mark 2 clients/second.\n"},
    {{6, 0, 0}, 0, "Preparing for next test run.\nclear "},
    {{0, 1, 0}, 0, ""}, // a late timeout counts toward the next run
    {{0, 0, 0}, 0, ""},
    {{0, 0, 0}, 0, "Beginning test run: 4 clients/second for 2 seconds.\n"},
    {{2, 3, 1}, 4, "Stopping run after 18 seconds; 3/6 clients failed.\n"},
    {{2, 0, 0}, 0, "Preparing for next test run.\nclear "},
    {{0, 0, 0}, 0, "Finished and report: 4 transactions per second.\ncancel end "},
};

TEST_F(highload, FullSearchTakesEveryDecisionInTurn)
{
    g_opt_timeout = g_opt_duration = 2;
    highload_mode mode;
    std::uint32_t ticks = 0;
    for (const auto& t : full_search) {
        const mode_tick out = play(mode, ticks, std::get<0>(t));
        EXPECT_EQ(out.said, std::get<2>(t)) << "tick " << ticks;
        EXPECT_EQ(out.beats, std::get<1>(t)) << "tick " << ticks;
    }
    EXPECT_EQ(mode.findings().result, 4);
    EXPECT_EQ(mode.findings().low_water, 2u);
    EXPECT_EQ(mode.findings().high_water, 4u);
}

TEST_F(highload, NoAnswerAtAllEndsTheProbeWithoutCancelling)
{
    highload_mode mode;
    std::uint32_t ticks = 0;
    EXPECT_EQ(play(mode, ticks, {0, 0, 1}).said, "");
    EXPECT_EQ(play(mode, ticks, {0, 1, 0}).said, "Unable to continue.\nend ");
    EXPECT_EQ(mode.findings().result, 0) << "no test run passed";
}

TEST_F(highload, TopOfTheRateTableBecomesTheHighWaterMark)
{
    g_opt_minimum = 8;
    g_opt_maximum = 10; // rates 8 and 10
    g_opt_timeout = 2;
    highload_mode mode;
    g_opt_maximum = 1000000;
    std::uint32_t ticks = 0;
    EXPECT_EQ(play(mode, ticks, {}).beats, 8u);
    EXPECT_EQ(play(mode, ticks, {}).said, "Inital probe complete: High-water mark is 10 clients/second.\n");
    EXPECT_EQ(play(mode, ticks, {}).said, "Preparing for next test run.\nclear ");
    play(mode, ticks, {}), play(mode, ticks, {});
    EXPECT_EQ(play(mode, ticks, {}).said, "Beginning test run: 5 clients/second for 120 seconds.\n");
    EXPECT_EQ(play(mode, ticks, {}).beats, 5u);
}

// A server that completes up to `capacity` new clients per second and lets
// the rest time out: the search ends within 2 of the capacity, also where no
// whole number of microseconds spaces the rates it tries.
TEST_F(highload, BisectionConvergesOnRatesThatDoNotDivideASecond)
{
    g_opt_timeout = g_opt_duration = 1;
    g_opt_minimum = 5000;
    for (unsigned capacity : {9435u, 7001u, 12345u}) {
        highload_mode mode;
        std::uint32_t ticks = 0;
        unsigned results = 0;
        std::size_t beats = 0;
        std::string text;
        for (int i = 0; i < 5000 && text.find("end ") == std::string::npos; ++i) {
            const stats s = beats > capacity ? stats{results, unsigned(beats - capacity), 1}
                            : beats > 0      ? stats{results += unsigned(beats), 0, 1}
                                             : stats{results, 0, 0};
            const mode_tick out = play(mode, ticks, s);
            if (out.said.find("clear ") != std::string::npos)
                results = 0;
            beats = mode.beats_due(ticks);
            text += out.said;
        }
        const auto at = text.rfind("Finished and report: ");
        ASSERT_NE(at, std::string::npos) << capacity;
        EXPECT_NEAR(std::stol(text.substr(at + 21)), long(capacity), 2) << capacity;
    }
}

// Rates 100, 200, 300 for 2 s each with pauses of 3 ticks: every step runs
// whatever the one before found; a step is judged on its own counts (the
// counters are cleared between steps), a client still pending after the
// pause counts as failed, and the capacity is the highest rate that passed.
TEST(ramp, EveryStepRunsAndIsJudgedOnItsOwnCounts)
{
    ramp_mode mode(zarn::quorvelin::ramp_schedule{100, 300, 100, 2}, 3);
    std::uint32_t ticks = 0;
    const std::tuple<stats, std::size_t, std::string, std::uint32_t> script[] = {
        {{0, 0, 0}, 0, "Ramp step 1: 100 clients/second for 2 seconds.\n", 0},
        {{0, 0, 5}, 100, "", 0}, {{150, 0, 50}, 100, "", 0},
        {{199, 1, 0}, 0, "", 0}, {{199, 0, 0}, 0, "", 0}, // the pause, 3 ticks
        {{199, 0, 0}, 0,
         "Ramp step 1 failed: 1/200 clients failed at 100 clients/second.\n"
         "Ramp step 2: 200 clients/second for 2 seconds.\nclear ", 100},
        {{100, 0, 100}, 200, "", 100}, {{399, 0, 1}, 200, "", 100},
        {{400, 0, 0}, 0, "", 100}, {{400, 0, 0}, 0, "", 100},
        {{400, 0, 0}, 0,
         "Ramp step 2 passed: 0/400 clients failed at 200 clients/second.\n"
         "Ramp step 3: 300 clients/second for 2 seconds.\nclear ", 100},
        {{0, 0, 300}, 300, "", 100}, {{300, 0, 300}, 300, "", 100},
        {{500, 0, 100}, 0, "", 100}, {{598, 0, 2}, 0, "", 100},
        {{598, 0, 2}, 0,
         "Ramp step 3 failed: 2/600 clients failed at 300 clients/second.\n"
         "Finished and report: 200 transactions per second.\ncancel end ", 100},
    };
    for (const auto& t : script) {
        const mode_tick out = play(mode, ticks, std::get<0>(t));
        EXPECT_EQ(out.beats, std::get<1>(t)) << ticks;
        EXPECT_EQ(out.said, std::get<2>(t)) << ticks;
        EXPECT_EQ(mode.rates().high, std::get<3>(t)) << ticks;
    }
    const auto found = mode.findings();
    EXPECT_EQ(found.result, 200);
    EXPECT_EQ((std::vector<std::uint32_t>{mode.rates().low, found.low_water, found.high_water}),
              (std::vector<std::uint32_t>{200, 200, 100}));
    ASSERT_EQ(found.ramp_steps.size(), 3u);
    EXPECT_EQ((std::vector<std::uint64_t>{found.ramp_steps[2].started, found.ramp_steps[0].passed,
                                          found.ramp_steps[1].passed}),
              (std::vector<std::uint64_t>{600, false, true}));
}

// ---- the population in segments -------------------------------------------

class population_segments : public drivers {
protected:
    ~population_segments() override { g_opt_segment = segment{}, g_opt_population = 0; }

    // Clients segment `share` of a population test of `population` at
    // `rate` a second starts in each of its first `seconds` seconds, every
    // client held (bound or on its way) from the tick that scheduled it.
    static std::vector<std::uint64_t> starts(segment share, std::uint32_t population, std::uint32_t rate,
                                             std::uint32_t seconds)
    {
        g_opt_segment = share, g_opt_population = population, g_opt_minimum = rate, g_opt_duration = 1000;
        population_mode mode;
        struct counter {
            std::uint64_t beats = 0;
            void async_run(std::chrono::system_clock::time_point) { ++beats; }
        } started;
        std::vector<std::uint64_t> per_second;
        std::uint64_t beat = 0;
        for (std::uint32_t tick = 0; tick < seconds; ++tick) {
            const std::uint64_t before = started.beats;
            beat = zarn::quorvelin::schedule_beats(started, std::chrono::system_clock::time_point{},
                                                   mode.beats_due(tick), share, beat);
            per_second.push_back(started.beats - before);
            stats held;
            held.unstarted = static_cast<unsigned>(started.beats);
            mode.decide(held, tick + 1);
        }
        return per_second;
    }
};

// N segments keep share_of(population) each, the whole population together,
// and start in each second together what one generator starts: the whole
// rate, then the rest; also where N divides neither figure.
TEST_F(population_segments, TogetherTheyStartWhatOneGeneratorStartsEachSecond)
{
    const std::tuple<std::uint32_t, std::uint32_t, std::uint32_t> cases[] = {
        {3000, 1000, 3}, {10, 4, 3}, {1001, 250, 7}, {5, 100, 3}, {7, 8, 3}, {100, 1, 4}};
    for (const auto& [population, rate, n] : cases) {
        const std::string name = std::to_string(population) + " at " + std::to_string(rate) + " in " +
                                 std::to_string(n);
        const std::uint32_t seconds = population / rate + 3;
        const std::vector<std::uint64_t> one = starts(segment{0, 1}, population, rate, seconds);
        std::vector<std::uint64_t> together(seconds, 0);
        std::uint64_t all = 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::vector<std::uint64_t> own = starts(segment{i, n}, population, rate, seconds);
            std::uint64_t kept = 0;
            for (std::uint32_t k = 0; k < seconds; ++k)
                together[k] += own[k], kept += own[k];
            EXPECT_EQ(kept, segment({i, n}).share_of(population)) << name << ", segment " << i;
            all += kept;
        }
        EXPECT_EQ(all, population) << name;
        EXPECT_EQ(together, one) << name;
    }
}

// A segment short of a few subscribers starts just those, spread over the
// second; short of more than its share of the rate, its share of the rate.
TEST_F(population_segments, ASegmentMakesUpItsOwnShortfallAtItsShareOfTheRate)
{
    g_opt_segment = segment{1, 3}, g_opt_population = 3000, g_opt_minimum = 1000, g_opt_duration = 1000;
    population_mode mode;
    EXPECT_EQ(mode.kept(), 1000u);
    std::uint32_t ticks = 0;
    stats s;
    s.bound = 998;
    play(mode, ticks, s);
    EXPECT_EQ(mode.beats_due(ticks), 6u) << "two of this segment's beats, and the others' between them";
    s.bound = 500;
    play(mode, ticks, s);
    EXPECT_EQ(mode.beats_due(ticks), 1000u) << "at most the whole rate: a third of it is this segment's";
}

} // namespace
