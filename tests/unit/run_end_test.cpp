// How a test ends for its recorder: a decision recorded as an event also
// when quiet, the summary record at a normal end, and the wind-down after
// SIGINT or SIGTERM.
#include "loadtest/loadtest_default.hpp"
#include "loadtest/loadtest_endless.hpp"
#include "loadtest/run_recorder.hpp"

#include "loadtest_fixture.hpp"

#include <nlohmann/json.hpp>

#include <csignal>

namespace {

using nlohmann::json;

class run_end : public loadtest_fixture {
protected:
    std::vector<json> records() const
    {
        std::vector<json> out;
        std::istringstream lines(report.str());
        for (std::string line; std::getline(lines, line);)
            out.push_back(json::parse(line));
        return out;
    }

    // Lets the timer's handlers run, with standard output captured.
    std::string run_loop()
    {
        cout_capture capture;
        io.run_for(seconds(10));
        return capture.text();
    }

    std::ostringstream report;
    zarn::quorvelin::run_recorder recorder{&report, false};
};

TEST_F(run_end, DecisionsAreRecordedAlsoWhenQuietAndTheSummaryComesLast)
{
    g_opt_quiet = true;
    loadtest_default driver(io);
    driver.record_to(recorder);
    recorder.start(opt_mode_highload);

    EXPECT_EQ(tick(driver, {0, 1, 0}).text, "");
    EXPECT_TRUE(io.stopped());
    const auto r = records();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[1]["type"], "tick");
    EXPECT_EQ(r[2], json::parse(R"({"type":"event","time":")" + r[2]["time"].get<std::string>() +
                                R"(","tick":0,"event":"unable_to_continue","text":"Unable to continue."})"));
    EXPECT_EQ(r[3]["type"], "summary");
    EXPECT_EQ(r[3]["interrupted"], false);
    EXPECT_EQ(r[3]["result"], 0) << "no test run passed";
}

TEST_F(run_end, InterruptStopsNewClientsWaitsForPendingOnesAndEndsWithThePartialSecond)
{
    g_opt_verbose = true;
    loadtest_endless driver(io);
    driver.record_to(recorder);
    recorder.start(opt_mode_endless);
    tick(driver, {0, 0, 5});

    // Two polls still see clients waiting, the third none.
    manager.script = {{10, 0, 5}, {11, 1, 2}, {12, 1, 0}};
    driver.interrupt(SIGINT, manager);
    const std::string out = run_loop();

    EXPECT_EQ(out, "   1      12       2       0 |       1       1       1 |       0       0       0\n");
    EXPECT_EQ(manager.calls, (std::vector<std::string>{"cancel", "socket.cancel"}));
    EXPECT_EQ(manager.cutoffs.size(), 4u) << "the first tick, then three polls";
    EXPECT_TRUE(io.stopped());
    EXPECT_TRUE(recorder.outcome().interrupted);
    EXPECT_EQ(recorder.outcome().signal, SIGINT);
    const auto r = records();
    EXPECT_EQ(r[2]["event"], "interrupted");
    EXPECT_EQ(r[2]["signal"], SIGINT);
    EXPECT_EQ(r.back()["interrupted"], true);
}

TEST_F(run_end, ASecondSignalEndsTheWaitAtOnce)
{
    g_opt_timeout = 5;
    loadtest_endless driver(io);
    driver.record_to(recorder);
    recorder.start(opt_mode_endless);
    tick(driver, {0, 0, 5});

    manager.script.assign(1000, {0, 0, 5}); // clients keep waiting
    driver.interrupt(SIGTERM, manager);
    driver.interrupt(SIGTERM, manager);
    const auto begin = test_clock::now();
    run_loop();

    EXPECT_LT(test_clock::now() - begin, seconds(1));
    EXPECT_TRUE(io.stopped());
    EXPECT_EQ(recorder.outcome().signal, SIGTERM);
}

TEST_F(run_end, AnInterruptAfterTheEndChangesNothing)
{
    loadtest_endless driver(io);
    driver.record_to(recorder);
    recorder.start(opt_mode_endless);
    tick(driver, {0, 1, 0}); // errors over the threshold: the test ends
    ASSERT_TRUE(recorder.finished());

    io.restart();
    driver.interrupt(SIGINT, manager);
    run_loop();
    EXPECT_FALSE(recorder.outcome().interrupted);
    EXPECT_TRUE(manager.calls.empty());
}

} // namespace
