// Reply decoding: walks over received bytes that narrow a range in place to
// an option, a relay layer's inner message or the client/server message
// inside any relay layers. Nothing is copied or allocated, and no walk reads
// outside the range it is given.
#include "message/param.hpp"
#include "message/wire.hpp"

#include <cstring>

namespace zarn {
namespace quorvelin {

namespace {

// Client/server message types whose transaction id may name a client.
bool is_handled_type(unsigned type)
{
    switch (type) {
    case msg_solicit:
    case msg_advertise:
    case msg_request:
    case msg_reply:
    case msg_release:
    case msg_decline:
        return true;
    default:
        return false;
    }
}

// Moves [begin, end), a relay layer, to its inner message. A Relay Message
// shorter than a message header is not entered, so a range that held a
// transaction id still holds one afterwards.
bool enter_inner_message(const char*& begin, const char*& end)
{
    const char* inner_begin = begin;
    const char* inner_end = end;
    if (!wire::enter_relay_message(inner_begin, inner_end) ||
        wire::size(inner_begin, inner_end) < wire::message_header)
        return false;
    begin = inner_begin;
    end = inner_end;
    return true;
}

} // namespace

bool param::find_option(const char*& begin, const char*& end) const
{
    // An IA is keyed by its IAID as well; an IA_NA or IA_PD written as a
    // plain option has no IAID and takes the first IA of its code.
    const ia_param* ia = nullptr;
    if (code_ == opt_ia_na || code_ == opt_ia_pd)
        ia = dynamic_cast<const ia_param*>(this);

    const char* p = begin;
    while (const std::size_t n = wire::option_size(p, end)) {
        const bool same_code = wire::get16(p) == static_cast<unsigned>(code_);
        const bool same_ia = !ia || (n >= wire::option_header + 4 && wire::get32(p + 4) == ia->iaid_);
        if (same_code && same_ia) {
            begin = p;
            end = p + n;
            return true;
        }
        p += n;
    }
    begin = end;
    return false;
}

void relay_param::strip_relays(const char*& begin, const char*& end)
{
    // A malformed layer ends the walk with the range on that layer, the same
    // place get_message stops, so both read the same transaction id.
    while (wire::is_relay_layer(begin, end))
        if (!enter_inner_message(begin, end))
            return;
}

bool relay_param::find_next_message(const char*& begin, const char*& end) const
{
    if (!wire::is_relay_layer(begin, end) || wire::get8(begin + 1) != (static_cast<unsigned>(hop_count_) & 0xffu) ||
        std::memcmp(begin + 2, link_address_.data(), 16) != 0 ||
        std::memcmp(begin + 18, peer_address_.data(), 16) != 0)
        return false;
    return wire::enter_relay_message(begin, end);
}

bool relay_param::get_message(const char*& begin, const char*& end)
{
    for (;;) {
        if (wire::size(begin, end) < wire::message_header)
            return false;
        const unsigned type = wire::get8(begin);
        if (is_handled_type(type))
            return true;
        if (!wire::is_relay_type(type))
            return false;
        if (!wire::is_relay_layer(begin, end) || !enter_inner_message(begin, end))
            return false;
    }
}

} // namespace quorvelin
} // namespace zarn
