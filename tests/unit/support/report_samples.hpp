#ifndef QUORVELIN_TESTS_REPORT_SAMPLES_HPP
#define QUORVELIN_TESTS_REPORT_SAMPLES_HPP

// Shared by the report and summary tests: a run's outcome with known
// counts, and the report's lines read back.

#include "loadtest/run_outcome.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

namespace report_samples {

using namespace zarn::quorvelin;
using nlohmann::json;

// Three steps; the second refused twice with NoAddrAvail, once with a code
// beyond the table and four times by offering no lease; latencies 100..199
// us at the first step.
inline run_outcome sample_outcome(opt_mode_t mode)
{
    run_outcome o;
    o.mode = mode;
    o.result = mode == opt_mode_endless ? 1234.5 : 200;
    o.offered = 250;
    o.served = 1234.5;
    o.low_water = 180;
    o.high_water = 220;
    o.pending = 4;
    o.messages = {"SOLICIT", "REQUEST", "RELEASE"};
    o.totals = measurements(3);
    o.totals.steps[0].sent = 210;
    o.totals.steps[0].answered = 100;
    o.totals.steps[0].duplicates = 7;
    o.totals.steps[1].refused[2] = 2;
    o.totals.steps[1].refused[status_slots - 1] = 1;
    o.totals.steps[1].no_lease_offered = 4;
    o.totals.steps[2].no_server_id = 5;
    o.totals.steps[2].unbuildable = 6;
    o.totals.steps[0].rapid_commit_not_honoured = 8;
    o.totals.steps[2].released_without_binding = 9;
    for (std::uint64_t us = 100; us < 200; ++us)
        o.totals.steps[0].latency.record(us);
    o.totals.clients.started = 210;
    o.totals.clients.completed = 200;
    o.totals.clients.timed_out = 6;
    o.totals.clients.stalled = 3;
    o.totals.clients.latency.record(5000);
    o.totals.received = 320;
    o.totals.unmatched = 9;
    o.totals.rcvbuf_drops = 11;
    o.start = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
    o.end = o.start + std::chrono::milliseconds(2500);
    o.tick_late_ms_max = 12;
    o.generator_saturated = true; // 11 of 331 datagrams dropped
    return o;
}

// Every line of the output as one JSON object.
inline std::vector<json> records(const std::string& text)
{
    std::vector<json> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        out.push_back(json::parse(line));
    EXPECT_EQ(text.back(), '\n');
    return out;
}

} // namespace report_samples

#endif
