#ifndef QUORVELIN_LOADTEST_THRESHOLDS_THRESHOLD_EVAL_HPP
#define QUORVELIN_LOADTEST_THRESHOLDS_THRESHOLD_EVAL_HPP

// Judges thresholds against a run's summary record, the object the report's
// last line holds (docs/report.md): quorvelin builds it whether or not it
// writes a report, and scripts/thresholds.py judges a merged report's alike.

#include "loadtest/thresholds/threshold_parse.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace zarn {
namespace quorvelin {

struct threshold_verdict {
    std::string expression;
    // The figure in the threshold's unit; none for a share of nothing (no
    // client started, or the step sent nothing) and a latency of nothing
    // (none measured), which fail.
    std::optional<double> value;
    double limit = 0;
    threshold_unit unit = threshold_unit::count;
    bool passed = false;
};

// Throws threshold_error when the summary has no such figure: a step past
// the scenario's, renewals outside the population test, a count the run's
// options leave out.
threshold_verdict judge_threshold(const threshold& t, const nlohmann::ordered_json& summary);

// "Threshold p99<5ms: 3.871 ms, passed", "Threshold completed>=99.9%: n/a, failed".
std::string verdict_line(const threshold_verdict& v);

// {"expression", "value", "limit", "unit", "passed"}: an item of the
// summary's "thresholds".
nlohmann::ordered_json verdict_json(const threshold_verdict& v);

} // namespace quorvelin
} // namespace zarn

#endif
