// The test drivers against a stand-in for the transaction manager: what
// every driver shares as one typed test, then how the tick loop carries out
// each mode's decisions, records them, winds a test down and, for a
// population, releases its subscribers.
#include "loadtest/drivers/loadtest_1.hpp"
#include "loadtest/drivers/loadtest_default.hpp"
#include "loadtest/drivers/loadtest_endless.hpp"
#include "loadtest/drivers/loadtest_population.hpp"
#include "main/options/population_options.hpp"

#include "../support/drivers.hpp"

#include <boost/asio/error.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>

namespace {

// What differs between the drivers in the cases they share: the beats of the
// first second for 3 clients (once: exactly 3; endless: 333333 us apart,
// four; highload: the first rate from 3 that divides a second, four), the
// last line when nothing is ever answered (endless reports its rate).
struct shared_case {
    unsigned beats_for_3;
    const char* report;
};
template <class Driver>
shared_case traits();
template <>
shared_case traits<loadtest_1>() { return {3, "Finished and report: 0 transactions per second.\n"}; }
template <>
shared_case traits<loadtest_endless>() { return {4, "Finished and report: 4 transactions per second.\n"}; }
template <>
shared_case traits<loadtest_default>() { return {4, "Unable to continue.\n"}; }

template <class Driver>
class every_driver : public drivers {};
using driver_types = ::testing::Types<loadtest_1, loadtest_endless, loadtest_default>;
TYPED_TEST_SUITE(every_driver, driver_types);

// The first tick schedules one second of beats and counts timeouts from
// now less the timeout; the second comes from the timer, and no answer at
// all ends every test.
TYPED_TEST(every_driver, FirstTickSchedulesASecondOfBeatsTheTimerTheNextAndNoAnswerEndsTheTest)
{
    g_opt_minimum = 3;
    TypeParam driver(this->io);
    EXPECT_EQ(this->tick(driver, {0, 0, 1}).text, "");
    this->expect_even_beats(traits<TypeParam>().beats_for_3);
    EXPECT_EQ(this->manager.beats.front() - this->manager.cutoffs.front(), seconds(3));
    this->manager.script.push_back({0, 1, 0});
    EXPECT_EQ(this->timer_ticks(), traits<TypeParam>().report);
    EXPECT_TRUE(this->io.stopped());
    ASSERT_EQ(this->manager.cutoffs.size(), 2u);
    EXPECT_GE(this->manager.cutoffs[1] - this->manager.cutoffs[0], seconds(1));
}

TYPED_TEST(every_driver, QuietPrintsNothingEvenWithProgressOn)
{
    g_opt_quiet = g_opt_verbose = true;
    TypeParam driver(this->io);
    EXPECT_EQ(this->tick(driver, {0, 0, 1}).text, "");
    EXPECT_EQ(this->tick(driver, {0, 1, 0}).text, "");
    EXPECT_TRUE(this->io.stopped());
}

TYPED_TEST(every_driver, FailedTimerWaitPrintsOnlyItsMessage)
{
    TypeParam driver(this->io);
    const boost::system::error_code aborted = boost::asio::error::operation_aborted;
    const auto out = this->tick(driver, {}, aborted);
    EXPECT_EQ(out.text, aborted.message() + "\n");
    EXPECT_EQ(out.beats + this->manager.cutoffs.size(), 0u);
}

TYPED_TEST(every_driver, ClientCountOutside1To1000000IsRefused)
{
    for (unsigned clients : {0u, 1000001u}) {
        g_opt_minimum = clients;
        EXPECT_THROW(TypeParam{this->io}, std::out_of_range) << clients;
    }
    g_opt_minimum = 1000000;
    EXPECT_NO_THROW(TypeParam{this->io});
}

// ---- once ----------------------------------------------------------------

using once = drivers;

TEST_F(once, StartsItsClientsOnceAndEndsWhenNoneIsPendingFromTheSecondTickOn)
{
    g_opt_minimum = 5;
    g_opt_verbose = true;
    loadtest_1 driver(io);
    const std::pair<stats, std::string> ticks[] = {
        {{0, 0, 0}, "   0       0       0       0 |       5       5       5 |       0       0       0\n"},
        {{2, 0, 3}, "   1       2       0       3 |       5       5       5 |       0       0       0\n"},
        {{12345678, 67, 890, 12, 345, 1}, // numbers wider than their column are not cut
         "   2 12345678      67     890 |       5       5       5 |      12     345       1\n"},
        {{4, 1, 0, 20, 31, 11}, "   3       4       1       0 |       5       5       5 |      20      31      11\n"
                                "Finished and report: 4 transactions per second.\n"}};
    for (const auto& t : ticks) {
        EXPECT_FALSE(io.stopped());
        EXPECT_EQ(tick(driver, t.first).text, t.second);
    }
    EXPECT_TRUE(io.stopped());
    EXPECT_EQ(manager.beats.size(), 5u);
    EXPECT_EQ(manager.calls, "cancel socket.cancel ");
}

// ---- endless -------------------------------------------------------------

using endless = drivers;

TEST_F(endless, SendsForTheDurationThenPausesUntilNothingIsPendingAndClearsTheCounters)
{
    g_opt_minimum = 3; // run and reported as 4
    g_opt_duration = 2;
    g_opt_verbose = true;
    loadtest_endless driver(io);
    // {stats, beats, calls so far}; 1 timeout in 2000 results is below 0.1 %.
    const std::tuple<stats, std::size_t, std::string> ticks[] = {
        {{0, 0, 1}, 4, ""}, {{2000, 0, 1}, 4, ""},                  // sending for 2 ticks
        {{2000, 0, 5}, 0, ""}, {{2000, 1, 2}, 0, ""},               // pending clients keep it paused, quiet or not
        {{2000, 1, 0}, 0, "clear_results "},                          // the last one counted: clear, resume
        {{0, 0, 1}, 4, "clear_results "}, {{1, 0, 1}, 4, "clear_results "},
        {{2, 0, 0}, 0, "clear_results clear_results "}, {{0, 0, 1}, 4, "clear_results clear_results "}};
    for (const auto& t : ticks) {
        const auto out = tick(driver, std::get<0>(t));
        EXPECT_EQ(out.beats, std::get<1>(t));
        EXPECT_EQ(manager.calls, std::get<2>(t));
        EXPECT_NE(out.text.find("|       4       4       4 |"), std::string::npos) << out.text;
    }
    // Exactly 0.1 % is not over the threshold; more ends the test, during a
    // pause as well, and leaves beats and socket as they are.
    EXPECT_EQ(tick(driver, {1000, 1, 3}).beats, 4u);
    EXPECT_FALSE(io.stopped());
    EXPECT_EQ(tick(driver, {1000, 2, 0}).text,
              "  10    1000       2       0 |       4       4       4 |       0       0       0\n"
              "Finished and report: 4 transactions per second.\n");
    EXPECT_TRUE(io.stopped());
    EXPECT_EQ(manager.calls, "clear_results clear_results ");
}

TEST_F(run_end, DecisionsAreRecordedAlsoWhenQuietAndTheSummaryComesLast)
{
    g_opt_quiet = true;
    loadtest_default driver(io);
    record(driver, opt_mode_highload);
    EXPECT_EQ(tick(driver, {0, 1, 0}).text, "");
    EXPECT_TRUE(io.stopped());
    auto r = records();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[1]["type"], "tick");
    r[2].erase("time");
    EXPECT_EQ(r[2], nlohmann::json::parse(R"({"type":"event","tick":0,"event":"unable_to_continue",
                                              "text":"Unable to continue."})"));
    EXPECT_EQ(r[3]["type"], "summary");
    EXPECT_EQ(r[3]["interrupted"], false);
    EXPECT_EQ(r[3]["result"], 0) << "no test run passed";
}

// The signal stops new clients, then the test waits up to the timeout for
// pending ones and ends with the partial second's progress line.
TEST_F(run_end, InterruptStopsNewClientsWaitsForPendingOnesAndEndsWithThePartialSecond)
{
    g_opt_verbose = true;
    loadtest_endless driver(io);
    record(driver, opt_mode_endless);
    tick(driver, {0, 0, 5});
    manager.script = {{10, 0, 5}, {11, 1, 2}, {12, 1, 0}}; // two polls still see clients waiting
    driver.interrupt(SIGINT, manager);
    EXPECT_EQ(timer_ticks(), "   1      12       2       0 |       1       1       1 |       0       0       0\n");
    EXPECT_EQ(manager.calls, "cancel socket.cancel ");
    EXPECT_EQ(manager.cutoffs.size(), 4u) << "the first tick, then three polls";
    EXPECT_TRUE(io.stopped());
    EXPECT_EQ(recorder.outcome().signal, SIGINT);
    const auto r = records();
    EXPECT_EQ(r[2]["event"], "interrupted");
    EXPECT_EQ(r[2]["signal"], SIGINT);
    EXPECT_EQ(r.back()["interrupted"], true);
}

// ---- population ----------------------------------------------------------

class population : public run_end {
protected:
    population() { g_opt_population = 5, g_opt_minimum = 5, g_opt_duration = 3; }
    ~population() override { g_opt_population = 0; }
    static stats bound(unsigned subscribers, unsigned releasing = 0)
    {
        stats s;
        s.bound = subscribers;
        s.releasing = releasing;
        return s;
    }
};

// Tick k reads the engine k seconds after the first: the releases begin at
// the tick -t seconds in, and the test ends once they are answered.
TEST_F(population, TheReleasesBeginTestDurationSecondsAfterTheTestBegan)
{
    loadtest_population driver(io);
    record(driver, opt_mode_population);
    for (int second = 0; second < 3; ++second) {
        EXPECT_EQ(tick(driver, bound(5)).text, "") << second;
        EXPECT_EQ(manager.calls, "") << second;
    }
    EXPECT_EQ(tick(driver, bound(5)).text, "Releasing 5 bound subscribers.\n");
    EXPECT_EQ(manager.calls, "release_population ");
    EXPECT_EQ(records()[4]["tick"], 3) << "decided by the tick 3 s in";
    EXPECT_EQ(tick(driver, bound(0, 0)).text, "Finished and report: 5 subscribers bound.\n");
    EXPECT_TRUE(io.stopped());
}

// The first signal begins the releases at once and the test ends when they
// are answered: the server keeps no lease, and the headline counts the
// subscribers bound when the signal came.
TEST_F(population, ASignalReleasesTheSubscribersBoundWhenItCame)
{
    g_opt_duration = 60;
    loadtest_population driver(io);
    record(driver, opt_mode_population);
    tick(driver, bound(3));
    manager.script = {bound(5, 0), bound(5, 5), bound(0, 2), bound(0, 0)};
    driver.interrupt(SIGTERM, manager);
    EXPECT_EQ(timer_ticks(), "Releasing 5 bound subscribers.\n");
    EXPECT_EQ(manager.calls, "cancel release_population socket.cancel ");
    EXPECT_EQ(manager.cutoffs.size(), 5u) << "the tick, the signal's reading, three polls";
    EXPECT_TRUE(io.stopped());
    EXPECT_EQ(recorder.outcome().low_water, 5u);
    EXPECT_TRUE(recorder.outcome().interrupted);
    EXPECT_EQ(recorder.outcome().signal, SIGTERM);
}

// A signal while the releases go out lets them finish; a second one ends
// the wind-down at once.
TEST_F(population, ASignalDuringTheReleasesLetsThemFinishASecondEndsAtOnce)
{
    loadtest_population driver(io);
    record(driver, opt_mode_population);
    for (int second = 0; second < 4; ++second)
        tick(driver, bound(5));
    ASSERT_EQ(manager.calls, "release_population ");
    manager.script = {bound(0, 4), bound(0, 3), bound(0, 0)};
    driver.interrupt(SIGINT, manager);
    timer_ticks();
    EXPECT_EQ(manager.calls, "release_population cancel socket.cancel ") << "released once";
    EXPECT_EQ(recorder.outcome().low_water, 5u);

    manager.reset();
    loadtest_population second(io);
    io.restart();
    tick(second, bound(5));
    manager.script.assign(50, bound(5, 5));
    second.interrupt(SIGINT, manager);
    second.interrupt(SIGINT, manager);
    timer_ticks();
    EXPECT_TRUE(io.stopped());
    EXPECT_LE(manager.cutoffs.size(), 4u) << "no polls after the second signal";
}

} // namespace
