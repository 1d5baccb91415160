#include "loadtest/loadtest_1.hpp"

#include "loadtest_fixture.hpp"

#include <boost/asio/error.hpp>

#include <stdexcept>

namespace {

using once = loadtest_fixture;

TEST_F(once, StartsExactlyTheClientsAskedForInTheFirstSecond)
{
    g_opt_minimum = 3;
    loadtest_1 driver(io);

    auto const first = tick(driver, {0, 0, 3});
    expect_even_beats(first.beats, 3);
    EXPECT_EQ(first.beats.front() - manager.cutoffs.back(), seconds(3));
    EXPECT_TRUE(tick(driver, {1, 0, 2}).beats.empty());
}

TEST_F(once, OneClientIsOneBeat)
{
    loadtest_1 driver(io);
    EXPECT_EQ(tick(driver, {0, 0, 1}).beats.size(), 1u);
}

TEST_F(once, EndsAtTheSecondTickWhenNothingIsPending)
{
    g_opt_minimum = 3;
    loadtest_1 driver(io);
    EXPECT_EQ(tick(driver, {0, 0, 0}).text, ""); // the first tick never ends the test
    EXPECT_FALSE(io.stopped());

    EXPECT_EQ(tick(driver, {3, 0, 0}).text, "Finished and report: 3 transactions per second.\n");
    EXPECT_TRUE(io.stopped());
    EXPECT_EQ(manager.calls, (std::vector<std::string>{"cancel", "socket.cancel"}));
}

TEST_F(once, WaitsForPendingClientsAndReportsOnlyTheCompleted)
{
    g_opt_minimum = 5;
    loadtest_1 driver(io);
    tick(driver, {0, 0, 5});
    EXPECT_EQ(tick(driver, {2, 0, 3}).text, "");
    EXPECT_EQ(tick(driver, {3, 1, 1}).text, ""); // timeouts do not end it
    EXPECT_FALSE(io.stopped());

    EXPECT_EQ(tick(driver, {3, 1, 0}).text, "Finished and report: 3 transactions per second.\n");
    EXPECT_TRUE(io.stopped());
    EXPECT_EQ(manager.beats.size(), 5u);
}

TEST_F(once, ProgressLineRepeatsTheClientCount)
{
    g_opt_minimum = 5;
    g_opt_verbose = true;
    loadtest_1 driver(io);
    EXPECT_EQ(tick(driver, {0, 0, 5}).text,
              "   0       0       0       5 |       5       5       5 |       0       0       0\n");
    EXPECT_EQ(tick(driver, {4, 1, 0, 20, 31, 11}).text,
              "   1       4       1       0 |       5       5       5 |      20      31      11\n"
              "Finished and report: 4 transactions per second.\n");
}

TEST_F(once, QuietStillCancelsAndStops)
{
    g_opt_quiet = true;
    g_opt_verbose = true;
    loadtest_1 driver(io);
    EXPECT_EQ(tick(driver, {0, 0, 1}).text, "");
    EXPECT_EQ(tick(driver, {1, 0, 0}).text, "");
    EXPECT_TRUE(io.stopped());
    EXPECT_EQ(manager.calls, (std::vector<std::string>{"cancel", "socket.cancel"}));
}

TEST_F(once, NextTickComesFromTheTimer)
{
    g_opt_minimum = 2;
    loadtest_1 driver(io);
    tick(driver, {0, 0, 2});
    manager.script.push_back({2, 0, 0});

    auto const text = run_timer_ticks();

    EXPECT_EQ(text, "Finished and report: 2 transactions per second.\n");
    ASSERT_EQ(manager.cutoffs.size(), 2u);
    EXPECT_GE(manager.cutoffs[1] - manager.cutoffs[0], seconds(1));
}

TEST_F(once, LateTickIsNotReported)
{
    loadtest_1 driver(io);
    expect_late_tick_unreported(driver);
}

TEST_F(once, FailedWaitPrintsItsMessageOnly)
{
    loadtest_1 driver(io);
    expect_failed_wait_prints_only_its_message(driver);
}

TEST_F(once, ClientCountMustGiveABeatSpacing)
{
    expect_client_count_checked<loadtest_1>();
}

} // namespace
