// The three test drivers against a stand-in for the transaction manager that
// records the beats and calls it gets and answers its readings from a
// script: what every driver shares as one typed test, then how the tick loop
// carries out decisions. The highload mode's own decisions are taken
// directly from its state machine.
#include "engine/measurements.hpp"
#include "loadtest/is_error_over.hpp"
#include "loadtest/loadtest_1.hpp"
#include "loadtest/loadtest_default.hpp"
#include "loadtest/loadtest_endless.hpp"
#include "loadtest/loadtest_population.hpp"
#include "main/population_options.hpp"
#include "loadtest/ramp_mode.hpp"
#include "loadtest/run_recorder.hpp"

#include <boost/asio/error.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <deque>

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
    void release_population() { calls += "release_population "; }
    void offer(std::uint32_t) {}
    zarn::quorvelin::engine_snapshot snapshot(std::chrono::system_clock::time_point cutoff)
    {
        cutoffs.push_back(cutoff);
        const auto s = script.empty() ? zarn::quorvelin::tick_stats{} : script.front();
        if (!script.empty())
            script.pop_front();
        return {s, zarn::quorvelin::measurements()};
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
// last line when nothing is ever answered.
struct shared_case {
    unsigned beats_for_3;
    const char* report;
};
template <class Driver>
shared_case traits();
template <>
shared_case traits<loadtest_1>() { return {3, "Finished and report: 0 transactions per second.\n"}; }
template <>
shared_case traits<loadtest_endless>() { return {4, "Finished and report: 1 transactions per second.\n"}; }
template <>
shared_case traits<loadtest_default>() { return {4, "Unable to continue.\n"}; }

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

// A tick is late once it starts after its due time (the next second plus
// the 10 ms allowance); only the highload mode says so.
TEST(TickLoop, LatenessInWholeMillisecondsPastTheDueTime)
{
    using zarn::quorvelin::lateness;
    const std::chrono::system_clock::time_point due{seconds(1000)};
    const struct {
        std::chrono::nanoseconds after_due;
        long late_ms; // -1: not late
    } cases[] = {{std::chrono::nanoseconds(-5000000), -1}, {std::chrono::nanoseconds(0), -1},
                 {std::chrono::nanoseconds(1), 0},         {std::chrono::nanoseconds(999999), 0},
                 {std::chrono::nanoseconds(190000000), 190}, {std::chrono::nanoseconds(2500999999), 2500}};
    for (const auto& c : cases) {
        const auto late = lateness(due + std::chrono::duration_cast<std::chrono::system_clock::duration>(c.after_due), due);
        EXPECT_EQ(late ? long(late->count()) : -1L, c.late_ms) << c.after_due.count();
    }
    EXPECT_TRUE(zarn::quorvelin::highload_mode::reports_lateness);
    EXPECT_FALSE(zarn::quorvelin::endless_mode::reports_lateness);
    EXPECT_FALSE(zarn::quorvelin::once_mode::reports_lateness);
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

using highload = drivers; // for the option globals
using zarn::quorvelin::decision;
using zarn::quorvelin::highload_mode;

// A decision as the operator and the loop see it: its printed lines, then
// "clear" when the counters are cleared and "end" or "cancel end" when the
// test ends.
std::string said(const decision& d)
{
    std::string out;
    for (const auto& line : d.lines)
        out += line.text.empty() ? "" : line.text + "\n";
    out += d.clear_results ? "clear " : "";
    out += d.end == decision::ending::stop ? "end " : d.end == decision::ending::cancel_and_stop ? "cancel end " : "";
    return out;
}

// Plays `ticks` on the mode as the tick loop does: the beats of each second,
// then the decision of that tick.
struct mode_tick {
    std::size_t beats;
    std::string said;
};
template <class Mode>
mode_tick play(Mode& mode, std::uint32_t& ticks, const stats& s)
{
    const std::size_t beats = mode.beats_due(ticks);
    return {beats, said(mode.decide(s, ++ticks))};
}

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

// ---- ramp ----------------------------------------------------------------

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
