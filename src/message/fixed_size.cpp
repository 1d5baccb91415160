#include "message/fixed_size.hpp"

#include "main/options/access_options.hpp"
#include "message/client/client_identity.hpp"
#include "message/param.hpp"
#include "message/wire.hpp"

#include <algorithm>

namespace zarn {
namespace quorvelin {

namespace {

std::size_t fixed_size_of(const param& node);

std::size_t children_size(const param& node)
{
    std::size_t size = 0;
    for (const auto& child : node.params_)
        size += fixed_size_of(*child);
    return size;
}

// The fixed part of one option, IA or IA address with everything inside it.
std::size_t fixed_size_of(const param& node)
{
    if (const auto* option = dynamic_cast<const option_param*>(&node)) {
        if (option->is_auto_)
            return 0;
        std::size_t longest = 0;
        for (const auto& value : option->values_)
            longest = std::max(longest, value.size());
        return wire::option_header + longest;
    }
    std::size_t own = 0;
    if (dynamic_cast<const ia_param*>(&node))
        own = wire::ia_header;
    else if (dynamic_cast<const iaaddr_param*>(&node))
        own = wire::iaaddr_fixed;
    else if (dynamic_cast<const iaprefix_param*>(&node))
        own = wire::iaprefix_fixed;
    return own + children_size(node);
}

} // namespace

std::size_t fixed_part_size(const top_param& message, bool answers_identity)
{
    std::size_t size = wire::message_header;
    for (const auto& child : message.params_) {
        if (message.type_ == msg_solicit && child->code_ == opt_server_identifier)
            continue;
        size += fixed_size_of(*child);
        if (answers_identity && child->is_auto_ && child->code_ == opt_client_identifier)
            size += wire::option_header + g_opt_identities->longest();
    }
    for (const auto& relay : message.relays_)
        size += wire::relay_header + wire::option_header + children_size(*relay);
    return size;
}

} // namespace quorvelin
} // namespace zarn
