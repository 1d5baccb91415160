#ifndef QUORVELIN_SCENARIO_LOAD_HPP
#define QUORVELIN_SCENARIO_LOAD_HPP

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace zarn {
namespace quorvelin {
class relay_param;
class top_param;
}
}

// Parses one scenario text and files it: a message is appended to
// g_opt_scenario (wrapped in the relay layers loaded so far), a relay list
// becomes `relay`. Every failure is an exception.
void add_scene(std::istream& in, std::shared_ptr<zarn::quorvelin::top_param>& relay);

// The loading step of start-up: every file in command-line order, then the
// three built-in messages when no file yielded a message. Then refuses a
// relay list deeper than wire::max_relay_layers and any message whose fixed
// part (fixed_part_size) is longer than wire::max_message_size, naming the
// file: no client could ever send it. Returns whether the built-in
// messages were loaded.
bool load_scenarios(const std::vector<std::string>& files);

// Numbers a relay list's layers as relay agents set hop-count (RFC 8415
// section 19.1.2): the layer next to the client 0, each layer around it one
// more. `relays` holds the outermost layer first.
void number_relay_hops(std::vector<std::shared_ptr<zarn::quorvelin::relay_param>>& relays);

#endif
