// The test modes' decisions, taken directly from their state machines: the
// highload search and the capacity ramp.
#include "loadtest/modes/highload_mode.hpp"
#include "loadtest/modes/ramp_mode.hpp"

#include "drivers.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using zarn::quorvelin::highload_mode;
using zarn::quorvelin::ramp_mode;
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

} // namespace
