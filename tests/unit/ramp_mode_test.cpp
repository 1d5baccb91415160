// The capacity ramp's decisions, taken directly from its state machine.
#include "loadtest/modes/ramp_mode.hpp"

#include "drivers.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

// Rates 100, 200, 300 for 2 s each with pauses of 3 ticks: every step runs
// whatever the one before found; a step is judged on its own counts (the
// counters are cleared between steps), a client still pending after the
// pause counts as failed, and the capacity is the highest rate that passed.
TEST(ramp, EveryStepRunsAndIsJudgedOnItsOwnCounts)
{
    using zarn::quorvelin::ramp_mode;
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
