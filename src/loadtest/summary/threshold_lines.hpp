#ifndef QUORVELIN_LOADTEST_SUMMARY_THRESHOLD_LINES_HPP
#define QUORVELIN_LOADTEST_SUMMARY_THRESHOLD_LINES_HPP

// The --threshold verdicts after the summary block, one line each:
// "Threshold p99<5ms: 3.871 ms, passed".

#include "loadtest/thresholds/threshold_eval.hpp"

#include <ostream>
#include <vector>

namespace zarn {
namespace quorvelin {

void print_verdicts(std::ostream& os, const std::vector<threshold_verdict>& verdicts);

} // namespace quorvelin
} // namespace zarn

#endif
