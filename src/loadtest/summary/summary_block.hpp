#ifndef QUORVELIN_LOADTEST_SUMMARY_SUMMARY_BLOCK_HPP
#define QUORVELIN_LOADTEST_SUMMARY_SUMMARY_BLOCK_HPP

// The block --summary prints after a test: the totals, one line per scenario
// step, and the latency percentiles, in aligned columns.

#include "loadtest/run_outcome.hpp"

#include <cstddef>
#include <ostream>
#include <string>

namespace zarn {
namespace quorvelin {

void print_summary(std::ostream& os, const run_outcome& outcome);

// A refusal's status as the summary names it: "2:NoAddrAvail", or "255 or
// above" for the slot that the highest codes share.
std::string refusal_name(std::size_t status);

// One row of a latency table: count, min, mean, p50, p90, p99, p99.9, max.
void print_latency_row(std::ostream& os, const std::string& name, const latency_histogram& h);

} // namespace quorvelin
} // namespace zarn

#endif
