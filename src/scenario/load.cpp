// Scenario loading: every scenario text becomes one message appended to the
// scenario list, or the relay list that wraps every message loaded after it.
#include "scenario/load.hpp"

#include "main/options/options.hpp"
#include "message/client/client_template.hpp"
#include "message/fixed_size.hpp"
#include "message/param.hpp"
#include "message/wire.hpp"
#include "scenario/parser.hpp"
#include "scenario/read_file.hpp"
#include "scenario/scanner.hpp"

#include <sstream>
#include <stdexcept>

using zarn::quorvelin::param;
using zarn::quorvelin::parser;
using zarn::quorvelin::relay_param;
using zarn::quorvelin::scanner;
using zarn::quorvelin::top_param;

namespace {

const char* const default_scenarios[] = {
    "SOLICIT { CID = @auto, SID = @auto, IA_NA 1 { IAADDR = @auto } }",
    "REQUEST { CID = @auto, SID = @auto, IA_NA 1 { IAADDR = @auto } }",
    "RELEASE { CID = @auto, SID = @auto, IA_NA 1 { IAADDR = @auto } }",
};

// Cuts every line at its first "#", wherever it stands (also inside quotes).
void remove_comments(std::istream& in, std::ostream& out)
{
    std::string line;
    while (std::getline(in, line)) {
        const auto hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        out << line << std::endl;
    }
}

// A relay list is filed once; it turns a multicast server address into the
// All_DHCP_Servers group that relay agents send to, and replies now arrive
// on the server port.
void file_relay_list(const std::shared_ptr<top_param>& root, std::shared_ptr<top_param>& relay)
{
    if (relay)
        throw std::runtime_error("can't set many relay files");
    if (g_opt_send_addr.to_bytes()[0] == 0xff)
        g_opt_send_addr = boost::asio::ip::make_address_v6("ff05::1:3");
    g_opt_recv_port = 547;
    number_relay_hops(root->relays_);
    relay = root;
}

void file_message(const std::shared_ptr<top_param>& root, const std::shared_ptr<top_param>& relay)
{
    if (relay)
        root->relays_.insert(root->relays_.end(), relay->relays_.begin(), relay->relays_.end());
    g_opt_scenario.push_back(root);
    if (g_opt_log)
        root->dump(*g_opt_log, 0);
}

// "FILE: the SOLICIT", or "RELAY-FILE: the built-in SOLICIT" for a default
// message that only the relay file can make too long.
std::string origin_of(const top_param& message, const std::string& file, bool built_in)
{
    const auto type = static_cast<zarn::quorvelin::message_type>(message.type_);
    return file + ": the " + (built_in ? "built-in " : "") + zarn::quorvelin::message_name(type);
}

// Refuses what no client could ever send: replies to a relay list deeper
// than a server unwraps never come back, and a message whose fixed part
// already fills a packet buffer is never sent, whatever the server answers.
void check_relay_depth(const std::shared_ptr<top_param>& relay, const std::string& file)
{
    using zarn::quorvelin::wire::max_relay_layers;
    if (relay && relay->relays_.size() > max_relay_layers)
        throw std::runtime_error(file + ": relay list of " + std::to_string(relay->relays_.size()) +
                                 " layers; at most " + std::to_string(max_relay_layers) + " are supported");
}

// The first message of the scenario is what every new client sends first:
// it also carries the Client Identifier of the client's generated identity.
void check_fits(const top_param& message, bool first, const std::string& origin)
{
    using zarn::quorvelin::wire::max_message_size;
    const std::size_t size = zarn::quorvelin::fixed_part_size(message, first);
    if (size > max_message_size)
        throw std::runtime_error(origin + " needs at least " + std::to_string(size) + " bytes" +
                                 (message.relays_.empty() ? "" : " with its relay layers") + "; at most " +
                                 std::to_string(max_message_size) + " can be sent");
}

} // namespace

void add_scene(std::istream& in, std::shared_ptr<top_param>& relay)
{
    std::stringstream text;
    remove_comments(in, text);

    scanner lexer(&text);
    auto root = std::make_shared<top_param>();
    parser grammar(lexer, std::shared_ptr<param>(root));
    grammar.parse();

    if (root->relays_.empty())
        file_message(root, relay);
    else
        file_relay_list(root, relay);
}

void number_relay_hops(std::vector<std::shared_ptr<relay_param>>& relays)
{
    std::int32_t hops = static_cast<std::int32_t>(relays.size());
    for (const auto& layer : relays)
        layer->hop_count_ = --hops;
}

bool load_scenarios(const std::vector<std::string>& files)
{
    std::shared_ptr<top_param> relay;
    std::string relay_file;
    const std::size_t first = g_opt_scenario.size();
    std::vector<std::string> origins; // where each message loaded here came from
    for (const auto& path : files) {
        std::istringstream in(read_scenario_file(path));
        try {
            add_scene(in, relay);
        } catch (const zarn::quorvelin::positioned_error& e) {
            throw std::runtime_error(path + ": line " + std::to_string(e.line) + ": " + e.what());
        }
        if (relay && relay_file.empty())
            relay_file = path;
        while (first + origins.size() < g_opt_scenario.size())
            origins.push_back(origin_of(*g_opt_scenario[first + origins.size()], path, false));
    }
    const bool built_in = g_opt_scenario.empty();
    if (built_in) {
        for (const char* text : default_scenarios) {
            std::istringstream in(text);
            add_scene(in, relay);
            origins.push_back(origin_of(*g_opt_scenario.back(), relay_file, true));
        }
    }

    // Only now is every message wrapped in the relay list it goes out with.
    check_relay_depth(relay, relay_file);
    for (std::size_t i = 0; i < origins.size(); ++i)
        check_fits(*g_opt_scenario[first + i], first + i == 0, origins[i]);
    return built_in;
}
