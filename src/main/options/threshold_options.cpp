#include "main/options/threshold_options.hpp"

#include "loadtest/report/report_writer.hpp"
#include "loadtest/thresholds/threshold_eval.hpp"
#include "main/options/options.hpp"
#include "message/param.hpp"
#include "message/vocabulary.hpp"

#include <string>

std::vector<zarn::quorvelin::threshold> g_opt_thresholds;

namespace {

namespace po = boost::program_options;

// The summary record a run of these options writes, every count 0: it has
// exactly the fields the real one will have.
nlohmann::ordered_json summary_of_this_run()
{
    zarn::quorvelin::run_outcome outcome;
    outcome.mode = g_opt_mode;
    for (const auto& message : g_opt_scenario)
        outcome.messages.push_back(zarn::quorvelin::message_name(message->type_));
    outcome.totals = zarn::quorvelin::measurements(g_opt_scenario.size());
    return zarn::quorvelin::summary_record(outcome);
}

} // namespace

void add_threshold_options(po::options_description& options)
{
    options.add_options()("threshold", po::value<std::vector<std::string>>()->composing(),
                          "Exit with status 3 unless FIGURE OP LIMIT holds (p99<5ms).");
}

void take_threshold_options(const po::variables_map& vm)
{
    if (!vm.count("threshold"))
        return;
    std::vector<zarn::quorvelin::threshold> thresholds;
    for (const std::string& expression : vm["threshold"].as<std::vector<std::string>>())
        thresholds.push_back(zarn::quorvelin::parse_threshold(expression));
    const nlohmann::ordered_json summary = summary_of_this_run();
    for (const auto& t : thresholds)
        zarn::quorvelin::judge_threshold(t, summary);
    g_opt_thresholds = std::move(thresholds);
}
