// The three test drivers against a stand-in for the transaction manager that
// records the beats and calls it gets and answers stats() from a script:
// what every driver shares as one typed test, then each one's decisions.
#include "engine/measurements.hpp"
#include "loadtest/is_error_over.hpp"
#include "loadtest/loadtest_1.hpp"
#include "loadtest/loadtest_default.hpp"
#include "loadtest/loadtest_endless.hpp"
#include "loadtest/run_recorder.hpp"

#include <boost/asio/error.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <deque>
#include <regex>
#include <thread>

namespace {

using stats = zarn::quorvelin::tick_stats;
using std::chrono::seconds;

struct fake_manager {
    struct fake_socket {
        std::string& calls;
        void cancel() { calls += "socket.cancel "; }
    };
    void async_run(std::chrono::system_clock::time_point at) { beats.push_back(at); }
    void cancel() { calls += "cancel "; }
    void clear_results() { calls += "clear_results "; }
    zarn::quorvelin::measurements take_measurements() { return zarn::quorvelin::measurements(); }
    void stats(std::chrono::system_clock::time_point cutoff, unsigned& results, unsigned& timeouts, unsigned& pending,
               unsigned& avg_ms, unsigned& max_ms, unsigned& min_ms)
    {
        cutoffs.push_back(cutoff);
        const auto s = script.empty() ? zarn::quorvelin::tick_stats{} : script.front();
        if (!script.empty())
            script.pop_front();
        results = s.results, timeouts = s.timeouts, pending = s.pending, avg_ms = s.avg_ms, max_ms = s.max_ms;
        min_ms = s.min_ms;
    }
    std::string calls; // beat-timer cancels, socket cancels and clears, in order
    fake_socket socket{calls};
    std::vector<std::chrono::system_clock::time_point> beats, cutoffs;
    std::deque<zarn::quorvelin::tick_stats> script;
    void reset() { calls.clear(), beats.clear(), cutoffs.clear(), script.clear(); }
};

struct cout_capture {
    std::ostringstream out;
    std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
    ~cout_capture() { std::cout.rdbuf(saved); }
};

// Runs ticks with standard output captured and the option globals at the
// values a bare command line leaves, restored afterwards.
class drivers : public ::testing::Test {
protected:
    drivers() { defaults(); }
    ~drivers() override { defaults(); }
    static void defaults() { g_opt_verbose = g_opt_quiet = false, g_opt_duration = 120, g_opt_minimum = 1, g_opt_timeout = 3; }

    struct tick_output {
        std::string text;
        std::size_t beats;
    };
    // One tick called directly, as main calls the first one.
    template <class Driver>
    tick_output tick(Driver& driver, stats s = {}, boost::system::error_code error = {})
    {
        manager.script.push_back(s);
        const auto before = manager.beats.size();
        cout_capture capture;
        driver.async_loop(error, manager);
        return {capture.out.str(), manager.beats.size() - before};
    }
    // The ticks that follow on the driver's own timer, until it stops the loop.
    std::string timer_ticks()
    {
        cout_capture capture;
        io.run_for(seconds(10));
        return capture.out.str();
    }
    // The last `count` beats are spread evenly over one second, to the nanosecond.
    void expect_even_beats(std::size_t count)
    {
        ASSERT_GE(manager.beats.size(), count);
        const auto first = manager.beats.end() - count;
        for (std::size_t i = 0; i < count; ++i)
            ASSERT_EQ(first[i] - first[0], std::chrono::nanoseconds(std::int64_t(i) * 1000000000 / std::int64_t(count)));
    }

    boost::asio::io_service io;
    fake_manager manager;
};

// What differs between the drivers in the cases they share: the beats of the
// first second for 3 clients (once: exactly 3; endless: 333333 us apart,
// four; highload: the first rate from 3 that divides a second, four), the
// last line when nothing is ever answered, and whether a late tick is told.
struct shared_case {
    unsigned beats_for_3;
    const char* report;
    bool reports_lateness;
};
template <class Driver>
shared_case traits();
template <>
shared_case traits<loadtest_1>() { return {3, "Finished and report: 0 transactions per second.\n", false}; }
template <>
shared_case traits<loadtest_endless>() { return {4, "Finished and report: 1 transactions per second.\n", false}; }
template <>
shared_case traits<loadtest_default>() { return {4, "Unable to continue.\n", true}; }

template <class Driver>
class every_driver : public drivers {};
using driver_types = ::testing::Types<loadtest_1, loadtest_endless, loadtest_default>;
TYPED_TEST_SUITE(every_driver, driver_types);

TYPED_TEST(every_driver, FirstTickSchedulesOneSecondOfBeatsAndCountsTimeoutsFromNowLessTheTimeout)
{
    g_opt_minimum = 3;
    TypeParam driver(this->io);
    EXPECT_EQ(this->tick(driver, {0, 0, 1}).text, "");
    this->expect_even_beats(traits<TypeParam>().beats_for_3);
    EXPECT_EQ(this->manager.beats.front() - this->manager.cutoffs.front(), seconds(3));
}

// No answer at all ends every test; the second tick comes from the timer.
TYPED_TEST(every_driver, NextTickComesFromTheTimerAndNoAnswerEndsTheTest)
{
    TypeParam driver(this->io);
    this->tick(driver, {0, 0, 1});
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

// Due 1 s after the first tick, with 10 ms allowance; reported even when quiet.
TYPED_TEST(every_driver, OnlyTheHighloadModeReportsALateTick)
{
    g_opt_quiet = true;
    TypeParam driver(this->io);
    const auto first = std::chrono::system_clock::now();
    this->tick(driver, {0, 0, 1});
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    const std::string text = this->tick(driver, {1, 0, 1}).text;
    const auto longest = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now() - first);
    std::smatch m;
    if (!traits<TypeParam>().reports_lateness) {
        EXPECT_EQ(text, "");
        return;
    }
    ASSERT_TRUE(std::regex_match(text, m, std::regex("# delayd ([0-9]+)msec\n"))) << text;
    EXPECT_TRUE(std::stol(m[1]) >= 190 && std::stol(m[1]) <= longest.count() - 1010) << text;
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

// ---- highload ------------------------------------------------------------

using highload = drivers;

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
    {{7, 0, 0}, 0, "Preparing for next test run.\n"},
    {{0, 0, 0}, 0, ""}, // waiting 1 of 2
    {{0, 0, 0}, 0, ""}, // waiting 2 of 2
    {{0, 0, 0}, 0, "Beginning test run: 2 clients/second for 2 seconds.\n"},
    {{1, 0, 1}, 2, ""},
    {{3, 0, 1}, 2, ""},
    {{5, 0, 1}, 2, "Test run complete: Low-water mark 2 clients/second.\n"},
    {{6, 0, 0}, 0, "Preparing for next test run.\n"},
    {{0, 1, 0}, 0, ""}, // a late timeout counts toward the next run
    {{0, 0, 0}, 0, ""},
    {{0, 0, 0}, 0, "Beginning test run: 4 clients/second for 2 seconds.\n"},
    {{2, 3, 1}, 4, "Stopping run after 18 seconds; 3/6 clients failed.\n"},
    {{2, 0, 0}, 0, "Preparing for next test run.\n"},
    {{0, 0, 0}, 0, "Finished and report: 4 transactions per second.\n"},
};

TEST_F(highload, FullSearchTakesEveryDecisionInTurn)
{
    g_opt_timeout = g_opt_duration = 2;
    loadtest_default driver(io);
    for (const auto& t : full_search) {
        EXPECT_FALSE(io.stopped());
        const auto out = tick(driver, std::get<0>(t));
        EXPECT_EQ(out.text, std::get<2>(t));
        EXPECT_EQ(out.beats, std::get<1>(t));
        if (out.beats > 1)
            expect_even_beats(out.beats);
    }
    EXPECT_TRUE(io.stopped());
    EXPECT_EQ(manager.calls, "clear_results clear_results clear_results cancel socket.cancel ");
}

TEST_F(highload, TopOfTheRateTableBecomesTheHighWaterMark)
{
    g_opt_minimum = 8;
    g_opt_maximum = 10; // rates 8 and 10
    g_opt_timeout = 2;
    loadtest_default driver(io);
    g_opt_maximum = 1000000;
    EXPECT_EQ(tick(driver).beats, 8u);
    EXPECT_EQ(tick(driver).text, "Inital probe complete: High-water mark is 10 clients/second.\n");
    EXPECT_EQ(tick(driver).text, "Preparing for next test run.\n");
    tick(driver), tick(driver);
    EXPECT_EQ(tick(driver).text, "Beginning test run: 5 clients/second for 120 seconds.\n");
    EXPECT_EQ(tick(driver).beats, 5u);

}

// A server that completes up to `capacity` new clients per second and lets
// the rest time out: the search ends within 2 of the capacity, also where no
// whole number of microseconds spaces the rates it tries.
TEST_F(highload, BisectionConvergesOnRatesThatDoNotDivideASecond)
{
    g_opt_timeout = g_opt_duration = 1;
    g_opt_minimum = 5000;
    for (unsigned capacity : {9435u, 7001u, 12345u}) {
        io.restart();
        manager.reset();
        loadtest_default driver(io);
        unsigned results = 0;
        std::size_t beats = 0, clears = 0;
        std::string text;
        for (int i = 0; i < 5000 && !io.stopped(); ++i) {
            const std::size_t now_clears = manager.calls.size() / 14; // "clear_results "
            if (now_clears != clears)
                results = 0, clears = now_clears;
            const stats s = beats > capacity ? stats{results, unsigned(beats - capacity), 1}
                            : beats > 0      ? stats{results += unsigned(beats), 0, 1}
                                             : stats{results, 0, 0};
            const auto out = tick(driver, s);
            beats = out.beats;
            text += out.text;
            manager.beats.clear();
        }
        const auto at = text.rfind("Finished and report: ");
        ASSERT_NE(at, std::string::npos) << capacity;
        EXPECT_NEAR(std::stol(text.substr(at + 21)), long(capacity), 2) << capacity;
    }
}

// ---- the end of a run, for its recorder ---------------------------------

class run_end : public drivers {
protected:
    // The report's records, the JSON Lines the recorder wrote.
    std::vector<nlohmann::json> records() const
    {
        std::vector<nlohmann::json> out;
        std::istringstream lines(report.str());
        for (std::string line; std::getline(lines, line);)
            out.push_back(nlohmann::json::parse(line));
        return out;
    }
    template <class Driver>
    void record(Driver& driver, opt_mode_t mode)
    {
        driver.record_to(recorder);
        recorder.start(mode);
    }

    std::ostringstream report;
    zarn::quorvelin::run_recorder recorder{&report, false};
};

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

TEST(IsErrorOver, TimeoutsAsAPercentageOfResultsMustExceedTheThreshold)
{
    const std::tuple<double, int, int, bool> cases[] = {
        {0.1, 0, 0, false}, {0.1, 0, 1, true},  {0.1, 1000, 0, false}, {0.1, 1000, 1, false},
        {0.1, 999, 1, true}, {0.1, 1000, 2, true}, {50, 2, 1, false},   {50, 2, 2, true}};
    for (const auto& c : cases) {
        g_opt_error_threshold = std::get<0>(c);
        EXPECT_EQ(is_error_over(std::get<1>(c), std::get<2>(c)), std::get<3>(c))
            << std::get<1>(c) << " " << std::get<2>(c);
    }
    g_opt_error_threshold = 0.1;
}

} // namespace
