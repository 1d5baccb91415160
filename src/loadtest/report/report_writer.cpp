#include "loadtest/report/report_writer.hpp"

#include "engine/segment.hpp"
#include "loadtest/modes/ramp_schedule.hpp"
#include "loadtest/report/figures_json.hpp"
#include "loadtest/report/population_report.hpp"
#include "main/options/access_options.hpp"
#include "main/options/population_options.hpp"

#include <boost/asio/ip/address_v6.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>

namespace zarn {
namespace quorvelin {

namespace {

// Fields in the order written, "type" first.
using json = nlohmann::ordered_json;

json step_counts(const step_measurements& s)
{
    json counts = {{"sent", s.sent},
            {"answered", s.answered},
            {"timed_out", s.timed_out},
            {"refused", refusals_json(s.refused)},
            {"no_lease_offered", s.no_lease_offered},
            {"rapid_commit_not_honoured", s.rapid_commit_not_honoured},
            {"released_without_binding", s.released_without_binding},
            {"duplicates", s.duplicates},
            {"no_server_id", s.no_server_id},
            {"unbuildable", s.unbuildable}};
    if (g_opt_check_leases)
        counts["duplicate_leases"] = s.duplicate_leases;
    if (g_opt_reservations) {
        counts["reservations_checked"] = s.reservations_checked;
        counts["reservations_not_honoured"] = s.reservations_not_honoured;
    }
    if (g_opt_retransmit) {
        counts["retransmitted"] = s.retransmitted;
        counts["needed_retransmissions"] = s.needed_retransmissions;
    }
    return counts;
}

json ramp_settings()
{
    return {{"from", g_opt_ramp.from}, {"to", g_opt_ramp.to}, {"step", g_opt_ramp.step}, {"seconds", g_opt_ramp.seconds}};
}

json ramp_steps(const std::vector<ramp_step_result>& steps)
{
    json out = json::array();
    for (const ramp_step_result& r : steps)
        out.push_back({{"step", r.step},
                       {"rate", r.rate},
                       {"started", r.started},
                       {"completed", r.completed},
                       {"failed", r.failed},
                       {"passed", r.passed}});
    return out;
}

json socket_counts(const measurements& m)
{
    return {{"received", m.received}, {"unmatched_replies", m.unmatched}, {"rcvbuf_drops", m.rcvbuf_drops}};
}

void write(std::ostream& out, const json& record)
{
    out << record.dump() << std::endl; // one line, flushed
}

} // namespace

std::string rfc3339(std::chrono::system_clock::time_point at)
{
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
    long fraction = static_cast<long>(micros % 1000000);
    if (fraction < 0) {
        fraction += 1000000;
        --seconds;
    }
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, fraction);
    return text;
}

void report_writer::start(opt_mode_t mode, const std::vector<std::string>& messages,
                          std::chrono::system_clock::time_point at)
{
    json record = {{"type", "start"},
                 {"format", format},
                 {"version", QUORVELIN_VERSION},
                 {"command_line", g_opt_command_line},
                 {"mode", mode_name(mode)},
                 {"messages", messages},
                 {"start", rfc3339(at)},
                 {"settings",
                  {{"device", g_opt_ifname},
                   {"server", g_opt_send_addr.to_string()},
                   {"clients", g_opt_minimum},
                   {"test_duration_s", g_opt_duration},
                   {"timeout_s", g_opt_timeout},
                   {"nthreads", g_opt_nthreads},
                   {"error_threshold_percent", g_opt_error_threshold},
                   {"segment", {{"index", g_opt_segment.index}, {"count", g_opt_segment.count}}},
                   {"local_address", g_opt_local_address.to_string()},
                   {"start_at", g_opt_start_at ? json(rfc3339(*g_opt_start_at)) : json(nullptr)},
                   {"ramp", mode == opt_mode_ramp ? ramp_settings() : json(nullptr)}}},
                 {"histogram_layout",
                  {{"unit", "us"},
                   {"exact_below", latency_histogram::exact_below},
                   {"sub_buckets", std::uint64_t(1) << latency_histogram::sub_bucket_bits},
                   {"highest", latency_histogram::highest_us}}}};
    if (g_opt_retransmit)
        record["settings"]["retransmit"] = true;
    if (g_opt_check_leases)
        record["settings"]["check_leases"] = true;
    if (g_opt_reservations)
        record["settings"]["reservations"] = true;
    record["settings"]["seed"] = g_opt_seed;
    if (mode == opt_mode_population) {
        record["settings"]["population"] = g_opt_population;
        record["settings"]["time_compression"] = g_opt_time_compression;
    }
    write(out_, record);
}

void report_writer::tick(const tick_report& t, const measurements& second)
{
    json steps = json::array();
    for (const auto& s : second.steps) {
        json step = step_counts(s);
        step["latency_us"] = latency_quick(s.latency);
        steps.push_back(std::move(step));
    }
    json in_second = socket_counts(second);
    in_second.update({{"started", second.clients.started},
                      {"completed", second.clients.completed},
                      {"timed_out", second.clients.timed_out},
                      {"latency_us", latency_quick(second.clients.latency)},
                      {"steps", std::move(steps)}});
    if (g_opt_mode == opt_mode_population)
        in_second["population"] = population_record(second.population, false);
    write(out_, {{"type", "tick"},
                 {"time", rfc3339(t.at)},
                 {"tick", t.tick},
                 {"results", t.stats.results},
                 {"timeouts", t.stats.timeouts},
                 {"pending", t.stats.pending},
                 {"low_water", t.rates.low},
                 {"rate", t.rates.rate},
                 {"high_water", t.rates.high},
                 {"avg_ms", t.stats.avg_ms},
                 {"max_ms", t.stats.max_ms},
                 {"min_ms", t.stats.min_ms},
                 {"second", std::move(in_second)}});
}

void report_writer::event(const run_event& e)
{
    json record = {{"type", "event"}, {"time", rfc3339(e.at)}, {"tick", e.tick}, {"event", e.name}, {"text", e.text}};
    for (const auto& figure : e.figures)
        record[figure.first] = figure.second;
    write(out_, record);
}

void report_writer::summary(const run_outcome& o)
{
    summary(summary_record(o));
}

void report_writer::summary(const json& record)
{
    write(out_, record);
}

json summary_record(const run_outcome& o)
{
    json steps = json::array();
    for (std::size_t k = 0; k < o.totals.steps.size(); ++k) {
        const step_measurements& s = o.totals.steps[k];
        json step = {{"step", k + 1}, {"message", k < o.messages.size() ? o.messages[k] : std::string()}};
        step.update(step_counts(s));
        step["latency_us"] = latency_figures(s.latency);
        step["histogram"] = latency_histogram_json(s.latency);
        steps.push_back(std::move(step));
    }
    const client_measurements& c = o.totals.clients;
    json record = {{"type", "summary"},
                   {"mode", mode_name(o.mode)},
                   {"interrupted", o.interrupted},
                   {"offered_rate", o.offered},
                   {"start", rfc3339(o.start)},
                   {"end", rfc3339(o.end)},
                   {"duration_s", std::chrono::duration<double>(o.end - o.start).count()},
                   {"clients",
                    {{"started", c.started},
                     {"completed", c.completed},
                     {"timed_out", c.timed_out},
                     {"stalled", c.stalled},
                     {"pending", o.pending},
                     {"cleared", c.cleared}}},
                   {"latency_us", latency_figures(c.latency)},
                   {"histogram", latency_histogram_json(c.latency)},
                   {"steps", std::move(steps)}};
    record.update(socket_counts(o.totals));
    record["generator_saturated"] = o.generator_saturated;
    record["tick_late_ms_max"] = o.tick_late_ms_max;
    if (o.mode == opt_mode_endless) {
        record["result"] = o.result;
        record["served_rate"] = o.served;
    } else {
        record["result"] = static_cast<std::uint64_t>(o.result);
    }
    if (o.mode == opt_mode_highload || o.mode == opt_mode_ramp) {
        record["low_water"] = o.low_water;
        record["high_water"] = o.high_water;
    }
    if (g_opt_retransmit)
        record["last_completion_s"] = seconds_to_last_completion(o);
    if (g_opt_check_leases)
        record["duplicate_leases"] = duplicate_leases(o.totals);
    if (o.mode == opt_mode_population) {
        record["population"] = population_record(o.totals.population, true);
        record["population"]["bound_at_end"] = o.low_water;
    }
    if (o.mode == opt_mode_ramp)
        record["ramp"] = {{"steps", ramp_steps(o.ramp_steps)}, {"capacity", static_cast<std::uint64_t>(o.result)}};
    return record;
}

} // namespace quorvelin
} // namespace zarn
