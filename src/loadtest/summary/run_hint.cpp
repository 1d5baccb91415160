#include "loadtest/summary/run_hint.hpp"

#include "loadtest/summary/saturation.hpp"
#include "main/options/options.hpp"
#include "message/param.hpp"
#include "message/vocabulary.hpp"

#include <iostream>
#include <string>
#include <vector>

namespace zarn {
namespace quorvelin {

namespace {

// RFC 8415 section 16: a server discards these when they reach it on a
// unicast address; only a relay agent may pass them on so.
bool discarded_on_unicast(int type)
{
    return type == msg_solicit || type == msg_confirm || type == msg_rebind;
}

} // namespace

std::string run_hint(const traffic_totals& traffic, const run_setup& setup)
{
    if (traffic.completed != 0)
        return "";

    std::vector<std::string> causes;
    if (!setup.server.is_multicast() && !setup.first_relayed && discarded_on_unicast(setup.first_type))
        causes.push_back(std::string("the ") + message_name(static_cast<message_type>(setup.first_type)) +
                         " went to the unicast address " + setup.server.to_string() +
                         " without relay layers, and servers discard it there (RFC 8415 section 16)");
    if (traffic.received == 0)
        causes.push_back("no reply arrived at all");
    else if (traffic.matched == 0)
        causes.push_back(std::to_string(traffic.received) + (traffic.received == 1 ? " datagram" : " datagrams") +
                         " arrived but none matched a client");
    else
        causes.push_back("replies reached clients but no client got through its scenario (--log-file shows "
                         "refused IAs and messages that could not be built)");

    std::string line = "Hint: no client completed: ";
    for (std::size_t i = 0; i < causes.size(); ++i)
        line += (i ? "; " : "") + causes[i];
    return line + ".";
}

std::string population_hint(const population_counts& p)
{
    if (p.not_bound == 0)
        return "";
    return "Hint: " + std::to_string(p.not_bound) +
           (p.not_bound == 1 ? " client" : " clients") +
           " completed with a REPLY that bound nothing a client may keep: every IA had T1 greater than T2 "
           "(discarded, RFC 8415 section 21.4) or no valid lifetime.";
}

void print_run_hints(const run_outcome& o)
{
    run_setup setup;
    setup.server = g_opt_send_addr;
    if (!g_opt_scenario.empty()) {
        setup.first_type = g_opt_scenario.front()->type_;
        setup.first_relayed = !g_opt_scenario.front()->relays_.empty();
    }
    std::vector<std::string> hints{run_hint(traffic_of(o.totals), setup), population_hint(o.totals.population)};
    if (o.generator_saturated)
        hints.push_back("Hint: the generator was saturated (" + saturation_figures(o) +
                        "): run fewer clients per generator, more --nthreads, or more segments.");
    std::cout.flush();
    for (const std::string& hint : hints)
        if (!hint.empty())
            std::cerr << hint << std::endl;
}

} // namespace quorvelin
} // namespace zarn
