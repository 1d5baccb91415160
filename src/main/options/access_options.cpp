#include "main/options/access_options.hpp"

#include "engine/reservations/reservation_check.hpp"
#include "loadtest/arrivals.hpp"
#include "loadtest/modes/ramp_schedule.hpp"
#include "main/options/options.hpp"
#include "main/options/population_options.hpp"
#include "main/values/bounded_option.hpp"
#include "message/client/client_identity.hpp"
#include "message/param.hpp"
#include "scenario/read_file.hpp"

#include <iostream>
#include <stdexcept>
#include <string>

std::uint32_t g_opt_links = 1;
std::shared_ptr<const zarn::quorvelin::client_identities> g_opt_identities =
    std::make_shared<zarn::quorvelin::client_identities>();
zarn::quorvelin::client_numbering g_opt_client_numbering;
zarn::quorvelin::arrival_process g_opt_arrivals = zarn::quorvelin::arrival_process::even;
std::uint32_t g_opt_list_identities = 0;
bool g_opt_identities_as_json = false;
std::shared_ptr<const std::unordered_map<std::string, std::vector<zarn::quorvelin::reserved_lease>>>
    g_opt_reservations;

using zarn::quorvelin::client_identities;
using zarn::quorvelin::reserved_lease;

namespace {

// The most identities a listing prints: one per client id.
constexpr std::uint32_t max_listed = 0x1000000;

} // namespace

void check_link_templates()
{
    if (g_opt_scenario.empty())
        return;
    for (const auto& relay : g_opt_scenario.front()->relays_) {
        if (relay->link_prefix_length_ == 0)
            continue;
        const std::uint64_t held = relay->links_held();
        if (held < g_opt_links)
            throw std::runtime_error(
                "--links " + std::to_string(g_opt_links) + " leaves the link-address prefix " +
                relay->link_address_.to_string() + "/" + std::to_string(relay->link_prefix_length_) +
                ": from its written address on, it holds " + std::to_string(held) + " links of /64");
    }
}

void warn_of_short_duid_file()
{
    const std::size_t listed = g_opt_identities->listed();
    if (listed == 0)
        return;
    // The clients the test starts: all of them in a once, population or ramp
    // test; the first second's at least in the others.
    std::uint64_t clients = g_opt_minimum;
    if (g_opt_mode == opt_mode_population)
        clients = g_opt_population;
    if (g_opt_mode == opt_mode_ramp)
        clients = 0;
    if (g_opt_mode == opt_mode_ramp)
        for (const std::uint32_t rate : g_opt_ramp.rates())
            clients += std::uint64_t(rate) * g_opt_ramp.seconds;
    if (listed < clients)
        std::cerr << "Warning: --duid-file holds " << listed << " DUIDs, fewer than the test's clients: client n "
                  << "takes line n mod " << listed << ", so DUIDs repeat." << std::endl;
}

void add_access_options(boost::program_options::options_description& options)
{
    options.add_options()
        ("links", zarn::quorvelin::bounded_value<1, max_links>(g_opt_links),
         "Spread the clients over this many links.")
        ("duid-type", boost::program_options::value<std::string>(), "The clients' DUIDs: llt, ll, en or uuid.")
        ("duid-file", boost::program_options::value<std::string>(), "The clients' DUIDs from this file.")
        ("arrivals", boost::program_options::value<std::string>(), "New clients arrive even or poisson.")
        ("identities", zarn::quorvelin::bounded_value<1, max_listed>(g_opt_list_identities),
         "List the identities of this many clients.")
        ("identity-format", boost::program_options::value<std::string>(), "List them as csv or jsonl.")
        ("reservations", boost::program_options::value<std::string>(),
         "Count the reserved clients granted something else.");
}

void take_access_options(const boost::program_options::variables_map& vm)
{
    if (vm.count("duid-type") && vm.count("duid-file"))
        throw std::runtime_error("--duid-type and --duid-file exclude each other: a file's DUIDs are as written");
    if (vm.count("duid-type"))
        g_opt_identities = std::make_shared<client_identities>(
            client_identities::form_named(vm["duid-type"].as<std::string>()));
    if (vm.count("duid-file")) {
        const std::string path = vm["duid-file"].as<std::string>();
        g_opt_identities = std::make_shared<client_identities>(
            client_identities::from_text(read_scenario_file(path), path));
    }
    if (vm.count("reservations")) {
        const std::string path = vm["reservations"].as<std::string>();
        g_opt_reservations = std::make_shared<const std::unordered_map<std::string, std::vector<reserved_lease>>>(
            zarn::quorvelin::reservation_check::read(read_scenario_file(path), path));
    }
    if (vm.count("arrivals"))
        g_opt_arrivals = zarn::quorvelin::arrivals::named(vm["arrivals"].as<std::string>());
    if (vm.count("identity-format")) {
        const std::string format = vm["identity-format"].as<std::string>();
        if (format != "csv" && format != "jsonl")
            throw std::runtime_error("--identity-format " + format + ": csv or jsonl");
        g_opt_identities_as_json = format == "jsonl";
    }
}
