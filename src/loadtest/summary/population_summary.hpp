#ifndef QUORVELIN_LOADTEST_SUMMARY_POPULATION_SUMMARY_HPP
#define QUORVELIN_LOADTEST_SUMMARY_POPULATION_SUMMARY_HPP

// The summary's lines of a population test: the subscribers, their RENEW
// and REBIND exchanges, their refusals and latencies.

#include "loadtest/run_outcome.hpp"

#include <ostream>

namespace zarn {
namespace quorvelin {

void print_population(std::ostream& os, const run_outcome& o);

} // namespace quorvelin
} // namespace zarn

#endif
