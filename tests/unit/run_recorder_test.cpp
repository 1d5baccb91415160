// What the recorder makes of a run that never began.
#include "loadtest/decision.hpp"
#include "loadtest/report/run_recorder.hpp"

#include "report_samples.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

namespace {

using namespace zarn::quorvelin;
using namespace report_samples;
using nlohmann::json;

// A signal during the wait for the start: the report is not left empty, but
// holds the start, the signal and an interrupted summary that counted nothing.
TEST(RunRecorder, ASignalBeforeTheStartEndsTheReportWithAnInterruptedSummary)
{
    std::ostringstream out;
    run_recorder recorder(&out, false);
    recorder.finish_before_start(offered_outcome(opt_mode_endless, 200), 15);

    const auto lines = records(out.str());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["type"], "start");
    EXPECT_EQ(lines[0]["mode"], "endless");
    EXPECT_EQ(lines[1]["type"], "event");
    EXPECT_EQ(lines[1]["event"], "interrupted");
    EXPECT_EQ(lines[1]["signal"], 15);
    const json& summary = lines[2];
    EXPECT_EQ(summary["type"], "summary");
    EXPECT_EQ(summary["mode"], "endless");
    EXPECT_EQ(summary["interrupted"], true);
    EXPECT_EQ(summary["offered_rate"], 200);
    EXPECT_EQ(summary["result"], 0.0);
    EXPECT_EQ(summary["clients"], json::parse(R"({"started":0,"completed":0,"timed_out":0,"stalled":0,
                                                  "pending":0,"cleared":0})"));
    EXPECT_EQ(summary["received"], 0);
    EXPECT_EQ(summary["latency_us"]["count"], 0);
    EXPECT_EQ(summary["start"], lines[0]["start"]);
    EXPECT_LE(summary["start"], summary["end"]);

    ASSERT_TRUE(recorder.finished());
    EXPECT_TRUE(recorder.outcome().interrupted);
    EXPECT_EQ(recorder.outcome().signal, 15);
}

} // namespace
