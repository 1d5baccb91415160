// What a run reports, from known counts: the report file's records, the
// report of a run that never began, the --summary block, and the counts as
// Prometheus series (Prometheus's quantiles meet the report's in the
// end-to-end test).
#include "loadtest/decision.hpp"
#include "loadtest/report/metric_families.hpp"
#include "loadtest/report/report_writer.hpp"
#include "loadtest/report/run_recorder.hpp"
#include "loadtest/summary/summary_block.hpp"
#include "main/options/options.hpp"

#include "../support/report_samples.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <random>
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

TEST(SummaryBlock, TotalsStepsLatenciesAndRefusalsInColumns)
{
    std::ostringstream out;
    g_opt_seed = 77;
    print_summary(out, sample_outcome(opt_mode_once));
    g_opt_seed = 0;
    const std::string text = out.str();
    EXPECT_EQ(text.substr(text.find('\n') + 1),
              "Clients: 210 started, 200 completed, 6 timed out (3 after a refusal or an unbuilt message), "
              "4 pending, 0 cleared\n"
              "Datagrams: 320 received, 9 unmatched, 11 dropped for want of receive buffer\n"
              "Step                   Sent   Answered  Timed out    Refused Duplicates     No SID  Not built\n"
              "1 SOLICIT               210        100          0          0          7          0          0\n"
              "2 REQUEST                 0          0          0          7          0          0          0\n"
              "3 RELEASE                 0          0          0          0          0          5          6\n"
              "Latency (us)          Count        Min       Mean        p50        p90        p99      p99.9        Max\n"
              "1 SOLICIT               100        100      149.5        149        189        198        199        199\n"
              "2 REQUEST                 0          0        0.0          0          0          0          0          0\n"
              "3 RELEASE                 0          0        0.0          0          0          0          0          0\n"
              "Whole client              1       5000     5000.0       5000       5000       5000       5000       5000\n"
              "Refused at step 2 REQUEST: 2:NoAddrAvail 2\n"
              "Refused at step 2 REQUEST: 255 or above 1\n"
              "Refused at step 2 REQUEST: no lease offered 4\n"
              "Rapid commit not honoured at step 1 SOLICIT: 8\n"
              "Released without a binding at step 3 RELEASE: 9\n"
              "Generator saturated: 11 datagrams dropped for want of receive buffer (3.32 % of those that "
              "arrived), ticks up to 12 ms late; the figures measure this generator, not the server\n"
              "Seed: 77\n");
}

// Each bucket counts exactly the latencies below its bound, as the report
// keeps them (whole microseconds, 60 s at most): then every bound is a
// boundary of the report's buckets.
TEST(MetricFamilies, LatencyBucketsCountExactlyTheLatenciesBelowTheirBound)
{
    std::mt19937_64 random(7);
    std::vector<std::uint64_t> values;
    for (int i = 0; i < 5000; ++i)
        values.push_back(std::uniform_int_distribution<std::uint64_t>(1, 90000000)(random));
    for (std::uint64_t bound : latency_bounds_us())
        values.insert(values.end(), {bound - 1, bound, bound + 1});
    measurements totals(1);
    for (std::uint64_t v : values)
        totals.clients.latency.record(v);
    const std::vector<std::string> steps{"SOLICIT"};
    const auto families = metric_families({totals, steps}, {"once", "0/1"});
    const auto& h = std::find_if(families.begin(), families.end(), [](const auto& f) {
                        return f.name == "quorvelin_client_latency_seconds";
                    })->metric.at(0).histogram;

    ASSERT_EQ(h.bucket.size(), latency_bounds_us().size() + 1);
    for (std::size_t i = 0; i < latency_bounds_us().size(); ++i) {
        const std::uint64_t bound = latency_bounds_us()[i];
        EXPECT_EQ(h.bucket[i].cumulative_count, std::uint64_t(std::count_if(values.begin(), values.end(), [&](auto v) {
                      return std::min(v, latency_histogram::highest_us) < bound;
                  }))) << "le " << bound << " us";
    }
    EXPECT_EQ(h.bucket.back().cumulative_count, values.size());
}

TEST(MetricFamilies, SeriesCarryModeSegmentStepAndRefusalStatus)
{
    measurements totals(2);
    totals.clients.started = 10, totals.clients.completed = 4, totals.clients.timed_out = 3, totals.clients.cleared = 1;
    totals.steps[1].refused[2] = 5, totals.steps[1].refused[status_slots - 1] = 1, totals.steps[0].no_lease_offered = 6;
    const std::vector<std::string> steps{"SOLICIT", "REQUEST"};
    std::string text = prometheus::TextSerializer().Serialize(metric_families({totals, steps, 250}, {"ramp", "1/3"}));
    const std::string labels = "{mode=\"ramp\",segment=\"1/3\"", refused = "quorvelin_step_refused_total" + labels;
    for (const std::string& line : {refused + ",step=\"1\",message=\"SOLICIT\",status=\"no lease offered\"} 6\n" +
                                        refused + ",step=\"2\",message=\"REQUEST\",status=\"2:NoAddrAvail\"} 5\n" +
                                        refused + ",step=\"2\",message=\"REQUEST\",status=\"255 or above\"} 1\n",
                                    "quorvelin_clients_pending" + labels + "} 2\n",
                                    "quorvelin_offered_clients_per_second" + labels + "} 250\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
}

// A population test's figures, one known value each, and where a scrape
// shows them; RENEW's and REBIND's latencies on the whole-client bounds
// (add_histogram's, checked on the client latency above).
TEST(MetricFamilies, PopulationSeriesCarryEachFigureByExchangeAndStatus)
{
    measurements totals(2);
    population_counts& p = totals.population;
    p.bound_now = 900, p.bound = 1000, p.lost = 7, p.left = 11;
    p.renew.sent = 800, p.renew.retransmitted = 30, p.renew.answered = 780, p.renew.timed_out = 12;
    p.renew.refused[3] = 5, p.renew.no_lease_offered = 4;
    p.rebind.sent = 40, p.rebind.retransmitted = 9, p.rebind.answered = 25, p.rebind.timed_out = 13;
    p.rebind.refused[status_slots - 1] = 2;
    for (std::uint64_t us : {20, 3000, 70000000})
        p.renew.latency.record(us);
    p.rebind.latency.record(5000);
    const std::vector<std::string> steps{"SOLICIT", "REQUEST"};
    const auto families = metric_families({totals, steps}, {"population", "0/2"});
    const std::string text = prometheus::TextSerializer().Serialize(families);

    const std::string labels = "{mode=\"population\",segment=\"0/2\"";
    const std::string renew = labels + ",exchange=\"RENEW\"", rebind = labels + ",exchange=\"REBIND\"";
    const std::vector<std::string> lines{
        "# TYPE quorvelin_population_bound gauge\nquorvelin_population_bound" + labels + "} 900\n",
        "# TYPE quorvelin_population_leases_lost_total counter\nquorvelin_population_leases_lost_total" + labels +
            "} 7\n",
        "quorvelin_population_unbound_total" + labels + "} 11\n",
        "quorvelin_population_sent_total" + renew + "} 800\n",
        "quorvelin_population_sent_total" + rebind + "} 40\n",
        "quorvelin_population_retransmitted_total" + renew + "} 30\n",
        "quorvelin_population_retransmitted_total" + rebind + "} 9\n",
        "quorvelin_population_answered_total" + renew + "} 780\n",
        "quorvelin_population_answered_total" + rebind + "} 25\n",
        "quorvelin_population_refused_total" + renew + ",status=\"3:NoBinding\"} 5\n",
        "quorvelin_population_refused_total" + renew + ",status=\"no lease offered\"} 4\n",
        "quorvelin_population_refused_total" + rebind + ",status=\"255 or above\"} 2\n",
        "quorvelin_population_timed_out_total" + renew + "} 12\n",
        "quorvelin_population_timed_out_total" + rebind + "} 13\n",
        "# TYPE quorvelin_population_latency_seconds histogram\n",
        "quorvelin_population_latency_seconds_count" + renew + "} 3\n",
        "quorvelin_population_latency_seconds_bucket" + renew + ",le=\"2.4e-05\"} 1\n",
        "quorvelin_population_latency_seconds_bucket" + renew + ",le=\"0.002048\"} 1\n",
        "quorvelin_population_latency_seconds_bucket" + renew + ",le=\"0.003072\"} 2\n",
        "quorvelin_population_latency_seconds_bucket" + renew + ",le=\"+Inf\"} 3\n",
        "quorvelin_population_latency_seconds_bucket" + rebind + ",le=\"0.004096\"} 0\n",
        "quorvelin_population_latency_seconds_bucket" + rebind + ",le=\"0.00512\"} 1\n",
    };
    for (const std::string& line : lines)
        EXPECT_NE(text.find(line), std::string::npos) << line << text;

    // Another mode binds no population and serves none of its series.
    const std::string once = prometheus::TextSerializer().Serialize(metric_families({totals, steps}, {"once", "0/2"}));
    EXPECT_EQ(once.find("quorvelin_population_"), std::string::npos) << once;
}

} // namespace
