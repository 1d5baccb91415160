#include "loadtest/loadtest_endless.hpp"

#include "loadtest_fixture.hpp"

#include <boost/asio/error.hpp>

#include <stdexcept>

namespace {

using endless = loadtest_fixture;

TEST_F(endless, ThreeClientsSendFourBeatsASecondAndReportFour)
{
    g_opt_minimum = 3;
    g_opt_verbose = true;
    loadtest_endless driver(io);

    for (unsigned i = 0; i < 3; ++i) {
        auto const out = tick(driver, {i, 0, 1, 7, 9, 5});
        expect_even_beats(out.beats, 4);
        EXPECT_EQ(out.beats.front() - manager.cutoffs.back(), seconds(3));
        EXPECT_EQ(out.text, "   " + std::to_string(i) + "       " + std::to_string(i)
                                + "       0       1 |       4       4       4 |       7       9       5\n");
    }
}

TEST_F(endless, ReportedRateIsTheBeatsActuallySent)
{
    // 3000 does not divide into whole microseconds: run and reported as 3001.
    g_opt_minimum = 3000;
    g_opt_verbose = true;
    loadtest_endless driver(io);

    auto const out = tick(driver);

    expect_even_beats(out.beats, 3001);
    EXPECT_NE(out.text.find("|    3001    3001    3001 |"), std::string::npos) << out.text;
}

TEST_F(endless, PausesAfterTheDurationUntilNothingIsPendingThenClearsAndResumes)
{
    g_opt_duration = 2;
    loadtest_endless driver(io);
    // 1 timeout in 2000 results stays below the 0.1 % threshold.
    std::vector<std::pair<scripted_stats, std::size_t>> const cycle = {
        {{0, 0, 1}, 1},    {{2000, 0, 1}, 1}, // sending for 2 ticks
        {{2000, 0, 5}, 0}, {{2000, 1, 2}, 0}, // pending clients keep it paused, quiet or not
        {{2000, 1, 0}, 0},                    // the last one counted: clear, resume
        {{0, 0, 1}, 1},    {{1, 0, 1}, 1},
        {{2, 0, 0}, 0},                       // nothing pending at once: resume
        {{0, 0, 1}, 1},
    };
    for (std::size_t i = 0; i < cycle.size(); ++i) {
        auto const out = tick(driver, cycle[i].first);
        EXPECT_EQ(out.beats.size(), cycle[i].second) << "tick " << i;
        EXPECT_EQ(out.text, "") << "tick " << i;
        EXPECT_EQ(manager.calls.size(), i < 4 ? 0u : i < 7 ? 1u : 2u) << "tick " << i;
    }
    EXPECT_FALSE(io.stopped());
    EXPECT_EQ(manager.calls, std::vector<std::string>(2, "clear_results"));
}

TEST_F(endless, ErrorsOverTheThresholdEndTheTestWithoutCancelling)
{
    g_opt_minimum = 3;
    loadtest_endless driver(io);
    tick(driver, {1000, 1, 3}); // exactly 0.1 %: not over

    EXPECT_EQ(tick(driver, {1000, 2, 3}).text, "Finished and report: 4 transactions per second.\n");
    EXPECT_TRUE(io.stopped());
    EXPECT_TRUE(manager.calls.empty());
}

TEST_F(endless, ErrorsEndTheTestDuringAPauseToo)
{
    g_opt_duration = 1;
    g_opt_quiet = true;
    loadtest_endless driver(io);
    tick(driver, {10, 0, 0});
    auto const out = tick(driver, {10, 1, 0});
    EXPECT_TRUE(out.beats.empty());
    EXPECT_EQ(out.text, "");
    EXPECT_TRUE(io.stopped());
}

TEST_F(endless, NextTickComesFromTheTimer)
{
    loadtest_endless driver(io);
    tick(driver, {0, 0, 1});
    manager.script.push_back({0, 1, 0}); // no answers at all

    auto const text = run_timer_ticks();

    EXPECT_EQ(text, "Finished and report: 1 transactions per second.\n");
    ASSERT_EQ(manager.beats.size(), 2u);
    EXPECT_GE(manager.beats[1] - manager.beats[0], seconds(1));
}

TEST_F(endless, LateTickIsNotReported)
{
    loadtest_endless driver(io);
    expect_late_tick_unreported(driver);
}

TEST_F(endless, FailedWaitPrintsItsMessageOnly)
{
    loadtest_endless driver(io);
    expect_failed_wait_prints_only_its_message(driver);
}

TEST_F(endless, ClientCountMustGiveABeatSpacing)
{
    expect_client_count_checked<loadtest_endless>();
}

} // namespace
