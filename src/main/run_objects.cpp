#include "main/run_objects.hpp"

#include "engine/segment.hpp"
#include "loadtest/report/report_writer.hpp"
#include "main/options/options.hpp"
#include "main/options/threshold_options.hpp"
#include "message/param.hpp"
#include "message/vocabulary.hpp"

#include <iostream>
#include <type_traits>

namespace {

// The start line of each test mode, by opt_mode_t.
const char* const start_lines[] = {"Beginning DHCPv6 load test.", "Beginning DHCPv6 load endless test.",
                                   "Beginning DHCPv6 load 1 test.", "Beginning DHCPv6 load ramp test.",
                                   "Beginning DHCPv6 load population test."};

// What the test mode reports before its first tick: what it offers
// (--clients, the ramp's first rate), nothing found yet.
zarn::quorvelin::run_outcome findings_before_start()
{
    using namespace zarn::quorvelin;
    switch (g_opt_mode) {
    case opt_mode_endless:
        return endless_mode().findings();
    case opt_mode_once:
        return once_mode().findings();
    case opt_mode_ramp:
        return ramp_mode().findings();
    case opt_mode_population:
        return population_mode().findings();
    default:
        return highload_mode().findings();
    }
}

} // namespace

void run_objects::open(boost::asio::io_service& io)
{
    endpoint.reset(new device_endpoint(g_opt_ifname));
    manager.reset(new zarn::quorvelin::transaction_manager(io, g_opt_send_addr, g_opt_send_port, g_opt_recv_port,
                                                           *endpoint));
    recorder.reset(new zarn::quorvelin::run_recorder(g_opt_report.get(), g_opt_summary && !g_opt_quiet, !g_opt_quiet));
    recorder->judge_by(g_opt_thresholds, !g_opt_quiet);
    if (g_opt_metrics_listen.empty())
        return;
    std::vector<std::string> steps;
    for (const auto& message : g_opt_scenario)
        steps.push_back(zarn::quorvelin::message_name(message->type_));
    const std::string segment = std::to_string(g_opt_segment.index) + "/" + std::to_string(g_opt_segment.count);
    metrics.reset(new zarn::quorvelin::metrics_endpoint(g_opt_metrics_listen, {mode_name(g_opt_mode), segment},
                                                        std::move(steps)));
    metrics->follow(*recorder, *manager);
}

void run_objects::serve_final_metrics()
{
    if (!metrics)
        return;
    const bool finished = recorder && recorder->finished();
    metrics->freeze(finished ? recorder->outcome().totals : recorder->totals(), finished);
    if (!finished || recorder->outcome().interrupted || g_opt_metrics_linger == 0)
        return;
    if (!g_opt_quiet)
        std::cout << "Serving the final metrics for " << g_opt_metrics_linger << " seconds." << std::endl;
    zarn::quorvelin::metrics_endpoint::linger(g_opt_metrics_linger);
}

bool run_objects::wait_for_start(std::unique_lock<std::mutex>& lock)
{
    if (g_opt_start_at) {
        if (!g_opt_quiet)
            std::cout << "Waiting until " << zarn::quorvelin::rfc3339(*g_opt_start_at) << " to begin." << std::endl;
        signalled.wait_until(lock, *g_opt_start_at, [this] { return early_signal != 0; });
    }
    return early_signal == 0;
}

void run_objects::begin(boost::asio::io_service& io)
{
    std::unique_lock<std::mutex> lock(starting);
    if (!wait_for_start(lock)) {
        // The report and the summary tell of a run that a signal ended
        // before it began, rather than staying empty.
        recorder->finish_before_start(findings_before_start(), early_signal);
        return;
    }
    switch (g_opt_mode) {
    case opt_mode_highload:
        driver.emplace<loadtest_default>(io);
        break;
    case opt_mode_endless:
        driver.emplace<loadtest_endless>(io);
        break;
    case opt_mode_once:
        driver.emplace<loadtest_1>(io);
        break;
    case opt_mode_ramp:
        driver.emplace<loadtest_ramp>(io);
        break;
    case opt_mode_population:
        driver.emplace<loadtest_population>(io);
        break;
    }
    std::visit(
        [this](auto& started) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(started)>, std::monostate>) {
                started.record_to(*recorder);
                recorder->start(g_opt_mode);
                if (!g_opt_quiet)
                    std::cout << start_lines[g_opt_mode] << std::endl;
                started.async_loop(boost::system::error_code(), *manager);
            }
        },
        driver);
    running = true;
}

void run_objects::interrupt(int signal)
{
    std::lock_guard<std::mutex> lock(starting);
    if (!running) {
        if (early_signal == 0)
            early_signal = signal;
        signalled.notify_all();
        return;
    }
    std::visit(
        [this, signal](auto& running) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(running)>, std::monostate>)
                running.interrupt(signal, *manager);
        },
        driver);
}

int run_objects::stopped_before_start() const
{
    std::lock_guard<std::mutex> lock(starting);
    return running ? 0 : early_signal;
}

void run_objects::destroy()
{
    metrics.reset();
    driver.emplace<std::monostate>();
    recorder.reset();
    manager.reset();
    endpoint.reset();
}
