#ifndef QUORVELIN_LOADTEST_SUMMARY_BLOCK_HPP
#define QUORVELIN_LOADTEST_SUMMARY_BLOCK_HPP

// The block --summary prints after a test: the totals, one line per scenario
// step, and the latency percentiles, in aligned columns.

#include "loadtest/run_outcome.hpp"

#include <ostream>

namespace zarn {
namespace quorvelin {

void print_summary(std::ostream& os, const run_outcome& outcome);

} // namespace quorvelin
} // namespace zarn

#endif
