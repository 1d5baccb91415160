#include "main/options/population_options.hpp"

#include "engine/segment.hpp"
#include "main/options/access_options.hpp"
#include "main/options/options.hpp"
#include "main/values/bounded_option.hpp"
#include "message/client/client_identity.hpp"
#include "message/param.hpp"
#include "message/vocabulary.hpp"
#include "scenario/load.hpp"

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>

std::uint32_t g_opt_population = 0;
bool g_opt_steady_start = false;
double g_opt_time_compression = 1;
population_scenes g_opt_population_scenes;

namespace {

using zarn::quorvelin::top_param;

// A renewal asks the server that granted the lease; a rebind asks any
// server, so it carries no Server Identifier (RFC 8415 section 18.2.5).
// Both MUST carry an Option Request option (sections 18.2.4, 18.2.5), in
// which a client asks for SOL_MAX_RT, 82 (section 21.24); every client
// message of an exchange carries Elapsed Time (section 21.9).
const char* const renew_text =
    "RENEW { CID = @auto, SID = @auto, ELAPSED_TIME = 0, request_option = 82, IA_NA 1 { IAADDR = @auto } }";
const char* const rebind_text =
    "REBIND { CID = @auto, ELAPSED_TIME = 0, request_option = 82, IA_NA 1 { IAADDR = @auto } }";
const char* const release_text = "RELEASE { CID = @auto, SID = @auto, ELAPSED_TIME = 0, IA_NA 1 { IAADDR = @auto } }";

double parse_compression(const std::string& text)
{
    char* end = nullptr;
    const double f = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(f > 0) || f > max_time_compression)
        throw std::runtime_error("--time-compression " + text +
                                 ": the factor must be a number above 0 and at most 1000000 "
                                 "(100 runs a lease of 1000 s in 10 s)");
    // A slower lease clock stretches lease times beyond what a clock can
    // hold: the longest finite lifetime, about 136 years, would take
    // 136,000 years at 0.001.
    if (f < min_time_compression)
        throw std::runtime_error("--time-compression " + text +
                                 ": the smallest factor is 0.001 (a lease clock 1000 times slower); below it "
                                 "lease times overflow the clock");
    return f;
}

// The built-in message `text`, in the relay layers of the scenario's messages.
std::shared_ptr<top_param> built_in(const char* text)
{
    std::istringstream in(text);
    std::shared_ptr<top_param> no_relay;
    add_scene(in, no_relay);
    std::shared_ptr<top_param> scene = g_opt_scenario.back();
    g_opt_scenario.pop_back();
    if (!g_opt_scenario.empty())
        scene->relays_ = g_opt_scenario.front()->relays_;
    return scene;
}

// Takes the messages of `type` out of the scenario; the last of them, if any.
std::shared_ptr<top_param> take_out(int type)
{
    std::shared_ptr<top_param> taken;
    for (auto it = g_opt_scenario.begin(); it != g_opt_scenario.end();) {
        if ((*it)->type_ == type) {
            taken = *it;
            it = g_opt_scenario.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

// Given on the command line (a bounded option always has its default).
bool given(const boost::program_options::variables_map& vm, const char* name)
{
    return vm.count(name) != 0 && !vm[name].defaulted();
}

// This generator's share of the population must fit the ids of one
// generator; a segment's share may be none at all only by mistake.
void check_population_share()
{
    const zarn::quorvelin::segment& s = g_opt_segment;
    const std::uint64_t share = s.share_of(g_opt_population);
    const std::string asked = "--population " + std::to_string(g_opt_population);
    const std::string segment = std::to_string(s.index) + "/" + std::to_string(s.count);
    const std::string why = " (transaction ids of binding clients are 23 bits)";
    if (s.count == 1 && share > max_population)
        throw std::runtime_error(asked + ": one generator keeps at most " + std::to_string(max_population) +
                                 " subscribers" + why + "; split the population into segments (--segment I/N)");
    if (share > max_population)
        throw std::runtime_error(asked + " --segment " + segment + ": the segment's share is " +
                                 std::to_string(share) + " subscribers, and one generator keeps at most " +
                                 std::to_string(max_population) + why + "; split the population into more segments");
    if (share == 0)
        throw std::runtime_error(asked + " --segment " + segment +
                                 ": the segment's share is no subscriber (segment I keeps subscribers I, I+N, ...); "
                                 "run fewer segments");
}

} // namespace

void add_population_options(boost::program_options::options_description& options)
{
    options.add_options()
        ("population", zarn::quorvelin::bounded_value<1, max_whole_population>(g_opt_population),
         "Population test: subscribers kept bound.")
        ("time-compression", boost::program_options::value<std::string>(),
         "Population test: lease time runs this many times faster.")
        ("steady-start", "Population test: first renewals spread evenly over T1.");
}

void take_population_options(const boost::program_options::variables_map& vm, bool built_in_scenario)
{
    if (vm.count("time-compression"))
        g_opt_time_compression = parse_compression(vm["time-compression"].as<std::string>());
    if (g_opt_mode != opt_mode_population) {
        if (given(vm, "population") || given(vm, "time-compression"))
            throw std::runtime_error("--population and --time-compression belong to --test-mode population");
        if (vm.count("steady-start"))
            throw std::runtime_error("--steady-start belongs to --test-mode population: only subscribers renew");
        return;
    }
    if (!given(vm, "population"))
        throw std::runtime_error("--test-mode population needs --population N, the subscribers to keep bound "
                                 "(1 to 8000000 per generator)");
    check_population_share();
    g_opt_steady_start = vm.count("steady-start") != 0;
    // A segment's clients take ids of its own; their DUIDs and relay
    // templates name them by their number in the whole test.
    g_opt_client_numbering = zarn::quorvelin::client_numbering{g_opt_segment.index, g_opt_segment.count};
    std::shared_ptr<top_param> renew = take_out(zarn::quorvelin::msg_renew);
    std::shared_ptr<top_param> rebind = take_out(zarn::quorvelin::msg_rebind);
    std::shared_ptr<top_param> release = take_out(zarn::quorvelin::msg_release);
    // The built-in scenario's RELEASE is the one a client sends at the end of
    // its scenario; a subscriber sends the population's own.
    if (built_in_scenario)
        release = nullptr;
    if (g_opt_scenario.empty())
        throw std::runtime_error("--test-mode population: no scenario message is left to bind a client once "
                                 "RENEW, REBIND and RELEASE are set aside");
    g_opt_population_scenes.renew = renew ? renew : built_in(renew_text);
    g_opt_population_scenes.rebind = rebind ? rebind : built_in(rebind_text);
    g_opt_population_scenes.release = release ? release : built_in(release_text);
}
