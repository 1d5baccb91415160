// The highload search's decisions, taken directly from its state machine.
#include "loadtest/modes/highload_mode.hpp"

#include "drivers.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

using highload = drivers; // for the option globals
using zarn::quorvelin::highload_mode;

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

} // namespace
