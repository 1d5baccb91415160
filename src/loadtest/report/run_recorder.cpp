#include "loadtest/report/run_recorder.hpp"

#include "loadtest/summary/run_hint.hpp"
#include "loadtest/summary/saturation.hpp"
#include "loadtest/summary/summary_block.hpp"
#include "loadtest/summary/threshold_lines.hpp"
#include "loadtest/tick.hpp"
#include "message/param.hpp"
#include "message/vocabulary.hpp"

#include <iostream>

namespace zarn {
namespace quorvelin {

run_recorder::run_recorder(std::ostream* report, bool summary, bool hint)
    : writer_(report ? new report_writer(*report) : nullptr), summary_(summary), hint_(hint),
      totals_(g_opt_scenario.size())
{
}

void run_recorder::judge_by(std::vector<threshold> thresholds, bool print)
{
    thresholds_ = std::move(thresholds);
    print_verdicts_ = print;
}

void run_recorder::start(opt_mode_t mode)
{
    start_ = clock::now();
    messages_.clear();
    for (const auto& message : g_opt_scenario)
        messages_.push_back(message_name(message->type_));
    {
        std::lock_guard<std::mutex> held(totals_mutex_);
        totals_ = measurements(messages_.size());
    }
    if (writer_)
        writer_->start(mode, messages_, start_);
}

void run_recorder::tick(const tick_report& tick, measurements second)
{
    print_progress(tick.tick, tick.stats, tick.rates);
    print_duplicate_leases(tick.tick, second);
    collect(std::move(second));
    if (writer_)
        writer_->tick(tick, last_second_);
}

measurements run_recorder::totals() const
{
    std::lock_guard<std::mutex> held(totals_mutex_);
    return totals_;
}

void run_recorder::event(const run_event& event)
{
    if (writer_)
        writer_->event(event);
}

void run_recorder::collect(measurements second)
{
    {
        std::lock_guard<std::mutex> held(totals_mutex_);
        totals_.add(second);
    }
    last_second_ = std::move(second);
}

void run_recorder::finish(run_outcome outcome)
{
    outcome.messages = messages_;
    outcome.totals = totals();
    outcome.start = start_;
    outcome.end = clock::now();
    // Every started client completed, timed out, was cleared, or is live.
    const client_measurements& c = totals_.clients;
    outcome.pending = static_cast<std::uint32_t>(c.started - c.completed - c.timed_out - c.cleared);
    if (outcome.mode == opt_mode_endless)
        outcome.result = outcome.served = served_rate(totals_.clients, outcome.offered);
    if (outcome.mode == opt_mode_once)
        outcome.result = static_cast<double>(c.completed);
    outcome.generator_saturated = generator_saturated(totals_, outcome.tick_late_ms_max);
    outcome_ = std::move(outcome);
    finished_ = true;
    nlohmann::ordered_json record = summary_record(outcome_);
    judge(record);
    // The record first: whatever becomes of standard output at the end (a
    // closed pipe, a hung-up terminal), the report is complete.
    if (writer_)
        writer_->summary(record);
    if (summary_)
        print_summary(std::cout, outcome_);
    if (print_verdicts_)
        print_verdicts(std::cout, verdicts_);
    if (hint_)
        print_run_hints(outcome_);
}

void run_recorder::finish_before_start(run_outcome outcome, int signal)
{
    start(outcome.mode);
    event({start_, 0, "interrupted", "", {{"signal", signal}}});
    outcome.interrupted = true;
    outcome.signal = signal;
    // Nothing was sent: the hint's causes (no reply, none matched) do not apply.
    hint_ = false;
    finish(std::move(outcome));
}

void run_recorder::judge(nlohmann::ordered_json& summary)
{
    if (thresholds_.empty())
        return;
    nlohmann::ordered_json judged = nlohmann::ordered_json::array();
    for (const threshold& t : thresholds_) {
        threshold_verdict v;
        try {
            v = judge_threshold(t, summary);
        } catch (const threshold_error&) {
            // Start-up judged every threshold against a summary of this
            // run's shape, so no figure can be missing here; were one, the
            // threshold would not hold.
            v.expression = t.expression;
            v.limit = t.limit;
            v.unit = t.unit;
        }
        judged.push_back(verdict_json(v));
        verdicts_.push_back(std::move(v));
    }
    summary["thresholds"] = std::move(judged);
}

double served_rate(const client_measurements& clients, std::uint32_t rate)
{
    if (clients.started == 0)
        return 0;
    return double(clients.completed) * double(rate) / double(clients.started);
}

} // namespace quorvelin
} // namespace zarn
