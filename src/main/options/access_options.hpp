#ifndef QUORVELIN_MAIN_OPTIONS_ACCESS_OPTIONS_HPP
#define QUORVELIN_MAIN_OPTIONS_ACCESS_OPTIONS_HPP

// The options that make a test look like an access network: how many links
// its clients are spread over (client n on link n mod M), the DUIDs they
// identify themselves with, when within a second they arrive, and the
// listing of the identities a server's reservations can be made from.

#include <boost/program_options.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace zarn {
namespace quorvelin {
class client_identities;
struct client_numbering;
enum class arrival_process;
struct reserved_lease;
}
}

// The most links a test spreads its clients over.
constexpr std::uint32_t max_links = 1000000;

// --links M: the links the clients are spread over; 1 without the option.
extern std::uint32_t g_opt_links;
// --duid-type / --duid-file: where the clients' DUIDs come from.
extern std::shared_ptr<const zarn::quorvelin::client_identities> g_opt_identities;
// Which client of the whole test a transaction id names: {0, 1} but in a
// population segment (set by the population's options).
extern zarn::quorvelin::client_numbering g_opt_client_numbering;
// --arrivals even|poisson.
extern zarn::quorvelin::arrival_process g_opt_arrivals;
// --identities K: list the identities of clients 0..K-1 and exit; 0: run the test.
extern std::uint32_t g_opt_list_identities;
// --identity-format csv|jsonl: how they are listed.
extern bool g_opt_identities_as_json;
// --reservations FILE: what the server should grant whom; null without.
extern std::shared_ptr<const std::unordered_map<std::string, std::vector<zarn::quorvelin::reserved_lease>>>
    g_opt_reservations;

// Adds the options to `options`.
void add_access_options(boost::program_options::options_description& options);
// Takes them, before the scenario is loaded (its sizes depend on the
// DUIDs). Throws std::runtime_error with the reason.
void take_access_options(const boost::program_options::variables_map& vm);
// Once it is loaded: every relay layer's link-address template must hold
// the --links asked for. Throws std::runtime_error naming the prefix.
void check_link_templates();
// Once the mode is known: a --duid-file shorter than the clients the test
// starts (as far as the mode says how many) gets a warning on standard
// error, since its DUIDs then repeat.
void warn_of_short_duid_file();

#endif
