#ifndef QUORVELIN_LOADTEST_SUMMARY_RUN_HINT_HPP
#define QUORVELIN_LOADTEST_SUMMARY_RUN_HINT_HPP

// The lines that tell a user why a run's figures are not what they seem:
// no client completed, the generator was saturated, or a population's
// clients completed without a lease to keep.

#include "engine/counts/measurements.hpp"
#include "engine/counts/traffic_totals.hpp"
#include "loadtest/run_outcome.hpp"

#include <boost/asio/ip/address_v6.hpp>

#include <string>

namespace zarn {
namespace quorvelin {

// How the run addressed the server.
struct run_setup {
    boost::asio::ip::address_v6 server; // where every request went
    int first_type = 0;                 // message type of the first scenario message
    bool first_relayed = false;         // whether that message goes out in relay layers
};

// "Hint: no client completed: " and the likely causes that apply, or "" when
// some client completed.
std::string run_hint(const traffic_totals& traffic, const run_setup& setup);

// "Hint: N clients completed ..." when clients of a population test
// completed with a REPLY that bound nothing, or "".
std::string population_hint(const population_counts& p);

// Every hint that applies to the finished run, on standard error: the
// no-completion hint for the server and scenario the command line gave,
// saturation, a population that could not bind.
void print_run_hints(const run_outcome& o);

} // namespace quorvelin
} // namespace zarn

#endif
