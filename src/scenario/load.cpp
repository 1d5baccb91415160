// Scenario loading: every scenario text becomes one message appended to the
// scenario list, or the relay list that wraps every message loaded after it.
#include "scenario/load.hpp"

#include "main/options.hpp"
#include "message/param.hpp"
#include "scenario/parser.hpp"
#include "scenario/read_file.hpp"
#include "scenario/scanner.hpp"

#include <sstream>
#include <stdexcept>

using zarn::quorvelin::param;
using zarn::quorvelin::parser;
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

void load_scenarios(const std::vector<std::string>& files)
{
    std::shared_ptr<top_param> relay;
    for (const auto& path : files) {
        std::istringstream in(read_scenario_file(path));
        add_scene(in, relay);
    }
    if (g_opt_scenario.empty()) {
        for (const char* text : default_scenarios) {
            std::istringstream in(text);
            add_scene(in, relay);
        }
    }
}
