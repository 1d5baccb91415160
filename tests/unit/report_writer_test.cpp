// The report file's records, from known counts.
#include "loadtest/report/report_writer.hpp"

#include "report_samples.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

namespace {

using namespace zarn::quorvelin;
using namespace report_samples;
using nlohmann::json;

TEST(ReportWriter, SummaryRecordCarriesEveryCountAndMergeableHistograms)
{
    std::ostringstream out;
    report_writer(out).summary(sample_outcome(opt_mode_highload));
    const auto lines = records(out.str());
    ASSERT_EQ(lines.size(), 1u);
    json r = lines[0];
    const json histogram = r["steps"][0]["histogram"], whole = r["histogram"];
    r.erase("histogram");
    EXPECT_EQ(r["steps"][0]["latency_us"], json::parse(R"({"count":100,"min":100,"mean":149.5,"p50":149,"p90":189,
                                                          "p99":198,"p999":199,"max":199})"));
    EXPECT_EQ(r["latency_us"]["max"], 5000);
    r.erase("latency_us");
    for (auto& step : r["steps"])
        step.erase("latency_us"), step.erase("histogram");
    EXPECT_EQ(r, json::parse(R"({"type":"summary","mode":"highload","result":200,"interrupted":false,
        "low_water":180,"high_water":220,"offered_rate":250,
        "clients":{"started":210,"completed":200,"timed_out":6,"stalled":3,"pending":4,"cleared":0},
        "unmatched_replies":9,"rcvbuf_drops":11,"received":320,"start":"2023-11-14T22:13:20.000000Z",
        "end":"2023-11-14T22:13:22.500000Z","duration_s":2.5,"generator_saturated":true,"tick_late_ms_max":12,
        "steps":[
        {"step":1,"message":"SOLICIT","sent":210,"answered":100,"timed_out":0,"duplicates":7,"no_server_id":0,
         "unbuildable":0,"refused":{},"no_lease_offered":0,"rapid_commit_not_honoured":8,
         "released_without_binding":0},
        {"step":2,"message":"REQUEST","sent":0,"answered":0,"timed_out":0,"duplicates":0,"no_server_id":0,
         "unbuildable":0,"refused":{"2":2,"255":1},"no_lease_offered":4,"rapid_commit_not_honoured":0,
         "released_without_binding":0},
        {"step":3,"message":"RELEASE","sent":0,"answered":0,"timed_out":0,"duplicates":0,"no_server_id":5,
         "unbuildable":6,"refused":{},"no_lease_offered":0,"rapid_commit_not_honoured":0,
         "released_without_binding":9}]})"));

    // The buckets and exact figures rebuild the histogram of the step.
    EXPECT_EQ(histogram["count"], 100);
    EXPECT_EQ(histogram["sum"], 14950);
    ASSERT_EQ(histogram["buckets"].size(), 100u);
    EXPECT_EQ(histogram["buckets"][0], json::parse("[100,1]"));
    EXPECT_EQ(histogram["buckets"][99], json::parse("[199,1]"));
    EXPECT_EQ(whole["buckets"], json::parse(R"([[4992,1]])")) << "5000 us lies in the bucket from 4992";
}

TEST(ReportWriter, TickRecordsCarryTheProgressLineAndTheSecondsCounts)
{
    std::ostringstream out;
    tick_report t;
    t.at = std::chrono::system_clock::time_point(std::chrono::microseconds(1700000000000001));
    t.tick = 3;
    t.stats.results = 40;
    t.stats.pending = 2;
    measurements second(2);
    second.steps[1].answered = 8;
    second.steps[1].latency.record(300);
    report_writer(out).tick(t, second);

    const json tick = records(out.str()).at(0);
    EXPECT_EQ(tick["time"], "2023-11-14T22:13:20.000001Z");
    EXPECT_EQ(tick["tick"], 3);
    EXPECT_EQ(tick["results"], 40);
    EXPECT_EQ(tick["pending"], 2);
    EXPECT_EQ(tick["second"]["steps"][1]["answered"], 8);
    EXPECT_EQ(tick["second"]["steps"][1]["latency_us"], json::parse(R"({"count":1,"p50":300,"p99":300})"));
}

// A population's exchanges list their REPLYs without a lease under "0", as
// they always did, and as no_lease_offered, as the steps do.
TEST(ReportWriter, ExchangeRefusalsKeepTheirZeroAndCountNoLeaseOffered)
{
    std::ostringstream out;
    run_outcome o = sample_outcome(opt_mode_population);
    o.totals.population.renew.no_lease_offered = 3;
    o.totals.population.renew.refused[2] = 1;
    report_writer(out).summary(o);
    const json renew = records(out.str()).at(0)["population"]["renew"];
    EXPECT_EQ(renew["refused"].dump(), R"({"0":3,"2":1})");
    EXPECT_EQ(renew["no_lease_offered"], 3);
}

} // namespace
