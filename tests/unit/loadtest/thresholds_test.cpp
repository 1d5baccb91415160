// --threshold: the expressions read, their verdicts on fixture reports (the
// table tests/thresholds/ runs through merge's evaluator too), the verdicts
// stored in the report and printed, and the options checked at start.
#include "loadtest/report/run_recorder.hpp"
#include "loadtest/summary/threshold_lines.hpp"
#include "loadtest/thresholds/threshold_eval.hpp"
#include "main/options/options.hpp"
#include "main/options/population_options.hpp"
#include "main/options/threshold_options.hpp"

#include "../support/report_samples.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace zarn::quorvelin;
using ordered = nlohmann::ordered_json;

const std::string fixtures = QUORVELIN_SOURCE_DIR "/tests/fixtures/";

// The summary record of a report: its last record of type summary.
ordered summary_of(const std::string& report)
{
    std::ifstream in(fixtures + report);
    EXPECT_TRUE(in) << report;
    ordered summary;
    for (std::string line; std::getline(in, line);) {
        ordered record = ordered::parse(line);
        if (record["type"] == "summary")
            summary = std::move(record);
    }
    return summary;
}

struct threshold_case {
    int line;
    std::string expression, report, expected;
};

std::vector<threshold_case> cases()
{
    std::ifstream in(fixtures + "thresholds/cases.tsv");
    std::vector<threshold_case> out;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        threshold_case c{number, "", "", ""};
        std::getline(fields, c.expression, '\t');
        std::getline(fields, c.report, '\t');
        std::getline(fields, c.expected);
        out.push_back(c);
    }
    return out;
}

// "VALUE, passed", or "error: REASON".
std::string outcome(const threshold_case& c)
{
    try {
        const threshold t = parse_threshold(c.expression);
        if (c.report == "-")
            return "parsed, though the table expects a refusal";
        const std::string line = verdict_line(judge_threshold(t, summary_of(c.report)));
        const std::string head = "Threshold " + c.expression + ": ";
        return line.substr(0, head.size()) == head ? line.substr(head.size()) : "line: " + line;
    } catch (const threshold_error& e) {
        const std::string head = "--threshold \"" + c.expression + "\": ";
        const std::string what = e.what();
        return what.substr(0, head.size()) == head ? "error: " + what.substr(head.size()) : "message: " + what;
    }
}

TEST(Thresholds, EachCaseOfTheSharedTable)
{
    const auto table = cases();
    ASSERT_GT(table.size(), 50u);
    for (const auto& c : table)
        EXPECT_EQ(outcome(c), c.expected) << "cases.tsv line " << c.line << ": " << c.expression;
}

// The report's summary ends with the verdicts, in the order given (their
// lines are the table's, printed after the summary block in the e2e test).
TEST(RunRecorder, StoresEachVerdictInTheSummaryRecord)
{
    std::ostringstream out;
    run_recorder recorder(&out, false);
    recorder.judge_by({parse_threshold("completed>=99%"), parse_threshold("p99 < 1ms"),
                       parse_threshold("timed_out==1")},
                      false);
    recorder.start(opt_mode_once);
    measurements second(0);
    second.clients.started = 10;
    second.clients.completed = 9;
    second.clients.timed_out = 1;
    second.clients.latency.record(500);
    recorder.tick(tick_report{}, second);
    run_outcome o;
    o.mode = opt_mode_once;
    o.offered = 10;
    recorder.finish(o);

    const auto lines = report_samples::records(out.str());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2]["thresholds"], nlohmann::json::parse(R"([
        {"expression":"completed>=99%","value":90.0,"limit":99.0,"unit":"%","passed":false},
        {"expression":"p99 < 1ms","value":0.5,"limit":1.0,"unit":"ms","passed":true},
        {"expression":"timed_out==1","value":1.0,"limit":1.0,"unit":null,"passed":true}])"));
}

// Without --threshold the summary record is as before: no "thresholds".
TEST(RunRecorder, WithoutThresholdsTheSummaryHasNone)
{
    std::ostringstream out;
    run_recorder recorder(&out, false);
    recorder.start(opt_mode_once);
    run_outcome o;
    o.mode = opt_mode_once;
    recorder.finish(o);
    const auto lines = report_samples::records(out.str());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_FALSE(lines[1].contains("thresholds"));
    EXPECT_TRUE(recorder.verdicts().empty());
}

// What the start-up check lets through: a figure the run will have, by its
// scenario, mode and counting options (the refusals are in command_line_test).
TEST(InitOptions, ThresholdsOnFiguresTheRunHasAreTaken)
{
    auto init = [](std::vector<std::string> args) {
        args.insert(args.begin(), "quorvelin");
        args.push_back("lo");
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(&a[0]);
        g_opt_thresholds.clear();
        init_options(static_cast<int>(argv.size()), argv.data());
        std::string taken;
        for (const auto& t : g_opt_thresholds)
            taken += t.expression + ";";
        g_opt_scenario.clear();
        g_opt_mode = opt_mode_highload;
        g_opt_check_leases = g_opt_retransmit = false;
        return taken;
    };
    EXPECT_EQ(init({"--threshold", "p99<5ms", "--threshold", "step3.p50<800us", "--threshold", "result>=1"}),
              "p99<5ms;step3.p50<800us;result>=1;");
    EXPECT_EQ(init({"--check-leases", "--retransmit", "--threshold", "duplicate_leases==0", "--threshold",
                    "step1.retransmitted<5%"}),
              "duplicate_leases==0;step1.retransmitted<5%;");
    EXPECT_EQ(init({"--test-mode", "population", "--population", "10", "--threshold", "renew.p99<10ms",
                    "--threshold", "lost==0"}),
              "renew.p99<10ms;lost==0;");
    EXPECT_EQ(init({}), "");
    g_opt_population = 0;
    g_opt_population_scenes = {};
}

} // namespace
