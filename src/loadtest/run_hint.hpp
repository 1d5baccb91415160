#ifndef QUORVELIN_LOADTEST_RUN_HINT_HPP
#define QUORVELIN_LOADTEST_RUN_HINT_HPP

// The line that tells a user why a whole run completed no client.

#include "engine/measurements.hpp"
#include "engine/traffic_totals.hpp"

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

// After a run that completed no client, that line on standard error, for
// the server and scenario the command line gave.
void print_run_hint(const measurements& run);

} // namespace quorvelin
} // namespace zarn

#endif
