#include <algorithm>
#include "loadtest/loadtest_default.hpp"

#include "loadtest_fixture.hpp"

#include <boost/asio/error.hpp>

#include <regex>
#include <stdexcept>
#include <thread>

namespace {

using highload = loadtest_fixture;

struct expected_tick {
    scripted_stats stats;
    std::size_t beats;
    std::string text;
};

// From the first probe to the final report with 1 client, a 2 s timeout and
// 2 s test runs: probe 1, 2, 4, 5 per second, fail at 5; run at 2 passes;
// run at mid 3 (reported 4) fails; the marks 2 and 4 end the search.
std::vector<expected_tick> const full_search = {
    {{0, 0, 0}, 1, ""},                    // nothing pending: 1 -> 2
    {{1, 0, 1}, 2, ""},               // gained 1 > 0: 2 -> 4
    {{3, 0, 1}, 4, ""},               // gained 2 > 1: 4 -> 5
    {{5, 0, 2}, 5, ""},               // gained 2, not more: hold at 5
    {{6, 3, 2}, 5, "Inital probe complete: High-water mark is 5 clients/second.\n"},
    {{7, 1, 1}, 0, ""},                    // still timing out: keep draining
    {{7, 0, 0}, 0, "Preparing for next test run.\n"},
    {{0, 0, 0}, 0, ""},                    // waiting 1 of 2
    {{0, 0, 0}, 0, ""},                    // waiting 2 of 2
    {{0, 0, 0}, 0, "Beginning test run: 2 clients/second for 2 seconds.\n"},
    {{1, 0, 1}, 2, ""},
    {{3, 0, 1}, 2, ""},
    {{5, 0, 1}, 2, "Test run complete: Low-water mark 2 clients/second.\n"},
    {{6, 0, 0}, 0, "Preparing for next test run.\n"},
    {{0, 1, 0}, 0, ""},                    // a late timeout counts toward the next run
    {{0, 0, 0}, 0, ""},
    {{0, 0, 0}, 0, "Beginning test run: 4 clients/second for 2 seconds.\n"},
    {{2, 3, 1}, 4, "Stopping run after 18 seconds; 3/6 clients failed.\n"},
    {{2, 0, 0}, 0, "Preparing for next test run.\n"},
    {{0, 0, 0}, 0, "Finished and report: 4 transactions per second.\n"},
};

TEST_F(highload, FirstTickSchedulesOneSecondAtTheFirstDividingRateWithoutDelayLine)
{
    g_opt_minimum = 3;
    g_opt_verbose = true;
    loadtest_default driver(io);

    auto const out = tick(driver, {0, 0, 2});

    EXPECT_EQ(out.text, "   0       0       0       2 |       0       4       0 |       0       0       0\n");
    expect_even_beats(out.beats, 4);
    ASSERT_EQ(manager.cutoffs.size(), 1u);
    EXPECT_EQ(out.beats.front() - manager.cutoffs.front(), seconds(3));
}

TEST_F(highload, FullSearchTakesEveryDecisionInTurn)
{
    g_opt_timeout = 2;
    g_opt_duration = 2;
    loadtest_default driver(io);

    for (std::size_t i = 0; i < full_search.size(); ++i) {
        SCOPED_TRACE("tick " + std::to_string(i));
        auto const& want = full_search[i];
        EXPECT_FALSE(io.stopped());
        auto const out = tick(driver, want.stats);
        EXPECT_EQ(out.text, want.text);
        if (want.beats > 1)
            expect_even_beats(out.beats, want.beats);
        else
            EXPECT_EQ(out.beats.size(), want.beats);
    }
    EXPECT_TRUE(io.stopped());
    std::vector<std::string> const calls = {"clear_results", "clear_results", "clear_results",
                                            "cancel", "socket.cancel"};
    EXPECT_EQ(manager.calls, calls);
}

TEST_F(highload, QuietSearchPrintsNothingEvenWithProgressOn)
{
    g_opt_timeout = 2;
    g_opt_duration = 2;
    g_opt_quiet = true;
    g_opt_verbose = true;
    loadtest_default driver(io);

    for (auto const& want : full_search)
        EXPECT_EQ(tick(driver, want.stats).text, "");
    EXPECT_TRUE(io.stopped());
}

TEST_F(highload, ProgressLineShowsMarksRateAndLatencies)
{
    g_opt_verbose = true;
    loadtest_default driver(io);
    tick(driver, {0, 0, 0}); // probe moves from 1 to 2 per second

    auto const out = tick(driver, {12345678, 67, 890, 12, 345, 1});

    // Numbers wider than their column are not cut.
    EXPECT_EQ(out.text, "   1 12345678      67     890 |       0       2       0 |      12     345       1\n");
}

TEST_F(highload, ServerThatNeverAnswersIsUnableToContinue)
{
    loadtest_default driver(io);
    EXPECT_EQ(tick(driver, {0, 0, 3}).text, ""); // pending, nothing gained: hold
    EXPECT_FALSE(io.stopped());

    EXPECT_EQ(tick(driver, {0, 2, 1}).text, "Unable to continue.\n");
    EXPECT_TRUE(io.stopped());
    EXPECT_TRUE(manager.calls.empty());
}

TEST_F(highload, ProbeHoldsWhileGrowthIsSteadyAndAdvancesWhenItQuickens)
{
    loadtest_default driver(io);
    tick(driver, {0, 0, 1});
    tick(driver, {1, 0, 1}); // gained 1 > 0: 1 -> 2
    tick(driver, {3, 0, 1}); // gained 2 > 1: 2 -> 4
    unsigned results = 3;
    for (int i = 0; i < 5; ++i) {
        results += 2; // the same gain as the second before: hold at 4
        EXPECT_EQ(tick(driver, {results, 0, 1}).beats.size(), 4u) << "at " << results;
    }
    tick(driver, {results + 3, 0, 1}); // gained 3 > 2: 4 -> 5
    EXPECT_EQ(tick(driver, {results + 6, 0, 1}).beats.size(), 5u);
}

TEST_F(highload, TopOfTheRateTableBecomesTheHighWaterMark)
{
    g_opt_minimum = 8;
    g_opt_maximum = 10; // table: 8, 10
    g_opt_timeout = 2;
    loadtest_default driver(io);

    expect_even_beats(tick(driver).beats, 8);
    auto const top = tick(driver); // would advance again: nothing pending
    EXPECT_EQ(top.text, "Inital probe complete: High-water mark is 10 clients/second.\n");
    expect_even_beats(top.beats, 10);

    EXPECT_EQ(tick(driver).text, "Preparing for next test run.\n");
    tick(driver);
    tick(driver);
    auto const begin = tick(driver);
    EXPECT_EQ(begin.text, "Beginning test run: 5 clients/second for 120 seconds.\n");
    EXPECT_TRUE(begin.beats.empty());
    expect_even_beats(tick(driver).beats, 5);
}

TEST_F(highload, SingleRateTableEndsProbeAtOnce)
{
    g_opt_minimum = 600000; // only 1000000 divides evenly from here
    loadtest_default driver(io);
    auto const out = tick(driver);
    EXPECT_EQ(out.text, "Inital probe complete: High-water mark is 1000000 clients/second.\n");
    EXPECT_EQ(out.beats.size(), 1000000u);
}

TEST_F(highload, LateTickIsReportedEvenWhenQuiet)
{
    g_opt_quiet = true;
    loadtest_default driver(io);
    auto const before_first = test_clock::now();
    tick(driver);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));

    auto const out = tick(driver);

    // Due 1 s after the first tick, with 10 ms allowance.
    auto const longest = test_clock::now() - before_first - std::chrono::milliseconds(1010);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out.text, m, std::regex("# delayd ([0-9]+)msec\n"))) << out.text;
    EXPECT_GE(std::stoul(m[1]), 190u);
    EXPECT_LE(std::stol(m[1]), std::chrono::duration_cast<std::chrono::milliseconds>(longest).count());
}

TEST_F(highload, NextTickComesFromTheTimerOneSecondLater)
{
    loadtest_default driver(io);
    tick(driver, {0, 0, 5});
    manager.script.push_back({0, 1, 0});

    auto const text = run_timer_ticks();

    EXPECT_TRUE(io.stopped());
    ASSERT_EQ(manager.cutoffs.size(), 2u);
    EXPECT_GE(manager.cutoffs[1] - manager.cutoffs[0], seconds(1));
    EXPECT_NE(text.find("Unable to continue.\n"), std::string::npos) << text;
}

TEST_F(highload, FailedWaitPrintsItsMessageAndEndsTheChain)
{
    g_opt_quiet = true;
    loadtest_default driver(io);
    expect_failed_wait_prints_only_its_message(driver);
}

TEST_F(highload, ClientCountOutsideTheRateTableIsRejected)
{
    expect_client_count_checked<loadtest_default>();
    g_opt_minimum = 1000000;
    EXPECT_NO_THROW(loadtest_default{io});
}

} // namespace

// A server that completes every client up to `capacity` new clients per second
// and lets the rest time out, answering each tick for the previous second. The
// search must end, with its figure within 2 of the capacity, also where no
// whole number of microseconds spaces the rates it tries.
TEST_F(highload, BisectionConvergesOnRatesThatDoNotDivideASecond)
{
    g_opt_timeout = 1;
    g_opt_duration = 1;
    g_opt_minimum = 5000;
    for (unsigned capacity : {9435u, 7001u, 12345u}) {
        SCOPED_TRACE(capacity);
        io.reset();
        manager.calls.clear();
        loadtest_default driver(io);
        unsigned results = 0;
        std::size_t last_beats = 0, clears = 0;
        std::string text;
        for (int i = 0; i < 5000 && !io.stopped(); ++i) {
            std::size_t const now_clears = std::count(manager.calls.begin(), manager.calls.end(), "clear_results");
            if (now_clears != clears)
                results = 0, clears = now_clears;
            scripted_stats s;
            if (last_beats > capacity)
                s = {results, unsigned(last_beats - capacity), 1};
            else if (last_beats > 0)
                s = {results += unsigned(last_beats), 0, 1};
            else
                s = {results, 0, 0};
            auto const out = tick(driver, s);
            last_beats = out.beats.size();
            text += out.text;
            manager.beats.clear();
        }
        ASSERT_TRUE(io.stopped()) << text.substr(text.size() > 2000 ? text.size() - 2000 : 0);
        auto const at = text.find("Finished and report: ");
        ASSERT_NE(at, std::string::npos) << text;
        unsigned const reported = std::stoul(text.substr(at + 21));
        EXPECT_GE(reported + 2, capacity);
        EXPECT_LE(reported, capacity + 2);
    }
}
