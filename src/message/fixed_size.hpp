#ifndef QUORVELIN_MESSAGE_FIXED_SIZE_HPP
#define QUORVELIN_MESSAGE_FIXED_SIZE_HPP

// What a scenario message costs on the wire before any reply is looked at.

#include <cstddef>

namespace zarn {
namespace quorvelin {

class top_param;

// Bytes of `message` that do not depend on any reply: everything but its
// "@auto" values, with its relay layers (header, Relay Message option header
// and the layer's own options). An option with alternatives counts its
// longest one; a SOLICIT's Server Identifier is never sent and does not
// count. Every message built from the tree is at least this long.
//
// The first message of a scenario answers a new client's generated identity,
// which holds one option: with `answers_identity`, every automatic Client
// Identifier of the message counts the 18 bytes it copies from there.
std::size_t fixed_part_size(const top_param& message, bool answers_identity = false);

} // namespace quorvelin
} // namespace zarn

#endif
