#ifndef QUORVELIN_MAIN_OPTIONS_THRESHOLD_OPTIONS_HPP
#define QUORVELIN_MAIN_OPTIONS_THRESHOLD_OPTIONS_HPP

// --threshold EXPR, repeatable: limits on figures of the run's summary,
// each judged when the run ends (exit status 3 when one fails).

#include "loadtest/thresholds/threshold_parse.hpp"

#include <boost/program_options.hpp>

#include <vector>

// The thresholds in the order given; empty without the option.
extern std::vector<zarn::quorvelin::threshold> g_opt_thresholds;

// Adds the option to `options`.
void add_threshold_options(boost::program_options::options_description& options);

// Reads the expressions and judges each against a summary of this run's
// shape (its mode, scenario steps, --check-leases and --retransmit), so that
// a figure the run will not have is refused now rather than after the test.
// Needs the other options taken; throws threshold_error naming the expression.
void take_threshold_options(const boost::program_options::variables_map& vm);

#endif
