// Request encoding: writes a client's next DHCPv6 message (RFC 8415), with
// its relay-forward layers, straight into the caller's packet buffer. Values
// marked "@auto" are copied from the client's previous reply or previous
// request. Nothing is allocated and nothing is written past the output end.
#include "main/options/access_options.hpp"
#include "main/options/options.hpp"
#include "message/client/client_identity.hpp"
#include "message/param.hpp"
#include "message/reply_verdict.hpp"
#include "message/wire.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace zarn {
namespace quorvelin {

namespace {

// An option, IA, IA address or relay part that does not fit ends the build.
void need(const char* out, const char* end, std::size_t bytes)
{
    if (wire::size(out, end) < bytes)
        throw std::runtime_error("packet too short");
}

// A source option area; both ends null when there is no source.
struct area {
    const char* begin = nullptr;
    const char* end = nullptr;
};

// The options of the message in [begin, end): everything after its header.
area options_of(const char* begin, const char* end)
{
    if (wire::size(begin, end) < wire::message_header)
        return area{};
    return area{begin + wire::message_header, end};
}

// The sub-options of a found option whose fixed part is `fixed` bytes long.
area sub_options(const char* begin, const char* end, std::size_t fixed)
{
    if (wire::size(begin, end) < fixed)
        return area{};
    return area{begin + fixed, end};
}

// Builds every child of `node` at out with the same source. Null when a child
// refuses (an IA the reply failed).
char* build_children(const param& node, char* out, char* end, area source)
{
    for (const auto& child : node.params_) {
        out = child->build_packet(out, end, source.begin, source.end);
        if (!out)
            return nullptr;
    }
    return out;
}

// The reply's verdict on one of its IAs: the first failure status among
// the IA's own options, or Success.
unsigned ia_status(const char* ia_begin, const char* ia_end)
{
    const std::optional<ia_view> ia = ia_view::of(ia_begin, ia_end);
    return ia ? ia->status() : unsigned(status_success);
}

// The reply's verdict on the IA `ia` of a client message: 0 when the source
// area has no such IA.
unsigned ia_refusal(const param& ia, const char* src_begin, const char* src_end)
{
    return ia.find_option(src_begin, src_end) ? ia_status(src_begin, src_end) : unsigned(status_success);
}

// Fixed fields of IAADDR: address, preferred and valid lifetime.
constexpr std::size_t fixed_size(const morvo::network::internet6_address&)
{
    return wire::iaaddr_fixed;
}

void put_fixed(char* p, const morvo::network::internet6_address& address, std::uint32_t ptime, std::uint32_t vtime)
{
    std::memcpy(p + 4, address.data(), 16);
    wire::put32(p + 20, ptime);
    wire::put32(p + 24, vtime);
}

// Fixed fields of IAPREFIX: preferred and valid lifetime, prefix length, prefix.
constexpr std::size_t fixed_size(const morvo::network::prefix6_address&)
{
    return wire::iaprefix_fixed;
}

void put_fixed(char* p, const morvo::network::prefix6_address& prefix, std::uint32_t ptime, std::uint32_t vtime)
{
    wire::put32(p + 4, ptime);
    wire::put32(p + 8, vtime);
    p[12] = static_cast<char>(prefix.length());
    std::memcpy(p + 13, prefix.address().data(), 16);
}

// The source of one child of a client message: the previous reply for the
// client's and server's identity and the IAs, the previous request for
// everything else. A SOLICIT takes everything from the reply (the generated
// identity of a new client) and never carries a Server Identifier.
bool takes_reply(int type, int code)
{
    if (type == msg_solicit)
        return true;
    return code == opt_client_identifier || code == opt_server_identifier || code == opt_ia_na || code == opt_ia_pd;
}

// Which client a message is built for, and its link: the transaction id
// of the message it answers (the generated identity of a fresh client, the
// last message of a restarted one, the REPLY a subscriber keeps), which
// names the client's number in the whole test (g_opt_client_numbering).
struct client_of_message {
    std::uint64_t client = 0;
    std::uint32_t link = 0;
};

client_of_message client_answering(const char* reply_begin, const char* reply_end)
{
    relay_param::strip_relays(reply_begin, reply_end);
    client_of_message c;
    if (wire::size(reply_begin, reply_end) >= wire::message_header)
        c.client = g_opt_client_numbering.of(static_cast<std::uint32_t>(wire::read_xid(reply_begin, reply_end)));
    c.link = static_cast<std::uint32_t>(c.client % std::max<std::uint32_t>(g_opt_links, 1));
    return c;
}

// The relay options of a client's first message: each child's current
// alternative (automatic ones have nothing to copy; templates made for the
// client), then the next alternatives for the next client.
char* build_fresh_relay_options(const relay_param& relay, char* out, char* end, const client_of_message& client)
{
    for (const auto& child : relay.params_) {
        out = child->build_for_client(out, end, client.client, client.link);
        if (!out)
            return nullptr;
    }
    relay.next_scene();
    return out;
}

// Later messages of a client repeat the relay options of its previous request
// at this layer, [layer_begin, layer_end), so they stay fixed per client.
char* copy_relay_options(const relay_param& relay, const char* layer_begin, const char* layer_end, char* out,
                         char* end)
{
    if (!wire::is_relay_layer(layer_begin, layer_end))
        return out;
    const char* p = layer_begin + wire::relay_header;
    while (const std::size_t n = wire::option_size(p, layer_end)) {
        const int code = static_cast<int>(wire::get16(p));
        const bool wanted = std::any_of(relay.params_.begin(), relay.params_.end(),
                                        [code](const std::shared_ptr<param>& child) { return child->code_ == code; });
        if (code != opt_relay_message && wanted) {
            need(out, end, n);
            std::memcpy(out, p, n);
            out += n;
        }
        p += n;
    }
    return out;
}

// Relay-forward layer `depth` of `message`: header, Relay Message option
// around the inner layers and the client message, then the layer's options.
char* build_relay_layer(const top_param& message, std::size_t depth, char* out, char* out_end,
                        const char* reply_begin, const char* reply_end, const char* request_begin,
                        const char* request_end, build_outcome& outcome)
{
    const relay_param& relay = *message.relays_[depth];
    const char* const layer_begin = request_begin;
    const char* const layer_end = request_end;

    char* relay_message = relay.build_packet(out, out_end, request_begin, request_end);
    const client_of_message client =
        relay.link_prefix_length_ != 0 || request_begin == request_end ? client_answering(reply_begin, reply_end)
                                                                       : client_of_message{};
    if (relay.link_prefix_length_ != 0)
        std::memcpy(out + 2, relay.link_address_of(client.link).data(), 16);
    need(relay_message, out_end, wire::option_header);
    char* inner_begin = relay_message + wire::option_header;
    char* inner_end = message.build_packet(inner_begin, out_end, reply_begin, reply_end, request_begin, request_end,
                                           depth + 1, outcome);
    if (!inner_end)
        return nullptr;
    wire::put16(relay_message, opt_relay_message);
    wire::put16(relay_message + 2, static_cast<unsigned>(inner_end - inner_begin));

    if (request_begin == request_end)
        return build_fresh_relay_options(relay, inner_end, out_end, client);
    return copy_relay_options(relay, layer_begin, layer_end, inner_end, out_end);
}

// The client/server message: header, then one option per child of the
// message, copied or written in scenario order.
char* build_client_message(const top_param& message, char* out, char* out_end, const char* reply_begin,
                           const char* reply_end, const char* request_begin, const char* request_end,
                           build_outcome& outcome)
{
    if (wire::size(out, out_end) < 8)
        throw std::runtime_error("paket too short");

    // A reply that is still a relay layer after unwrapping (a malformed
    // wrapper), or shorter than a message header, has nothing to answer:
    // its bytes are not a transaction id and options to copy.
    relay_param::strip_relays(reply_begin, reply_end);
    if (wire::size(reply_begin, reply_end) < wire::message_header || wire::is_relay_type(wire::get8(reply_begin)))
        return nullptr;

    out[0] = static_cast<char>(message.type_);
    std::memcpy(out + 1, reply_begin + 1, 3);
    const area reply = options_of(reply_begin, reply_end);
    const area request = options_of(request_begin, request_end);

    char* p = out + wire::message_header;
    for (const auto& child : message.params_) {
        if (message.type_ == msg_solicit && child->code_ == opt_server_identifier)
            continue;
        const area source = takes_reply(message.type_, child->code_) ? reply : request;
        p = child->build_packet(p, out_end, source.begin, source.end);
        if (!p) {
            // Only an IA refuses; the verdict is read again off this path.
            if (dynamic_cast<const ia_param*>(child.get()))
                outcome.refused_status = ia_refusal(*child, source.begin, source.end);
            return nullptr;
        }
    }

    // The message's own alternatives advance once per message built; relay
    // options advance once per client, when they are built fresh.
    message.param::next_scene();
    return p;
}

} // namespace

// ---- top_param ---------------------------------------------------------

char* top_param::init_packet(int n, char* begin, char* end)
{
    unsigned char duid[client_identities::max_duid];
    // The id the header carries: its low 24 bits.
    const std::uint64_t client = g_opt_client_numbering.of(static_cast<std::uint32_t>(n) & 0xFFFFFF);
    const std::size_t duid_size = g_opt_identities->write(client, duid);
    need(begin, end, wire::message_header + wire::option_header + duid_size);

    const auto id = static_cast<std::uint32_t>(n);
    begin[1] = static_cast<char>(id >> 16);
    begin[2] = static_cast<char>(id >> 8);
    begin[3] = static_cast<char>(id);
    char* cid = begin + wire::message_header;
    wire::put16(cid, opt_client_identifier);
    wire::put16(cid + 2, static_cast<unsigned>(duid_size));
    std::memcpy(cid + wire::option_header, duid, duid_size);
    return cid + wire::option_header + duid_size;
}

char* top_param::build_packet(char* out, char* out_end, const char* reply_begin, const char* reply_end,
                              const char* request_begin, const char* request_end, unsigned long depth) const
{
    build_outcome ignored;
    return build_packet(out, out_end, reply_begin, reply_end, request_begin, request_end, depth, ignored);
}

char* top_param::build_packet(char* out, char* out_end, const char* reply_begin, const char* reply_end,
                              const char* request_begin, const char* request_end, unsigned long depth,
                              build_outcome& outcome) const
{
    char* end = depth < relays_.size()
                    ? build_relay_layer(*this, depth, out, out_end, reply_begin, reply_end, request_begin, request_end,
                                        outcome)
                    : build_client_message(*this, out, out_end, reply_begin, reply_end, request_begin, request_end,
                                           outcome);
    // The buffer is read back as the previous request up to its end, so what
    // an earlier, longer message left behind must not survive.
    if (depth == 0 && end)
        std::memset(end, 0, wire::size(end, out_end));
    return end;
}

// ---- relay_param -------------------------------------------------------

char* relay_param::build_packet(char* out, char* end, const char*& qb, const char*& qe) const
{
    if (!find_next_message(qb, qe))
        qb = qe;
    if (wire::size(out, end) < wire::relay_header)
        throw std::runtime_error("relay param too short");
    out[0] = static_cast<char>(msg_relay_forw);
    out[1] = static_cast<char>(hop_count_);
    std::memcpy(out + 2, link_address_.data(), 16);
    std::memcpy(out + 18, peer_address_.data(), 16);
    return out + wire::relay_header;
}

// ---- option_param ------------------------------------------------------

char* option_param::build_packet(char* out, char* end, const char* src_begin, const char* src_end) const
{
    if (is_auto_) {
        if (!find_option(src_begin, src_end))
            return out;
        const std::size_t n = wire::size(src_begin, src_end);
        need(out, end, n);
        std::memcpy(out, src_begin, n);
        return out + n;
    }

    // A cursor left at the end (after loading, or by next_scene's ring)
    // stands for the first alternative. An option without alternatives, which
    // the parser never makes, goes out empty.
    auto& values = const_cast<values_type&>(values_);
    if (current_ == values.end())
        current_ = values.begin();
    static const value_type no_value;
    const value_type& value = current_ == values.end() ? no_value : *current_;

    need(out, end, wire::option_header + value.size());
    wire::put16(out, static_cast<unsigned>(code_));
    wire::put16(out + 2, static_cast<unsigned>(value.size()));
    std::copy(value.begin(), value.end(), out + wire::option_header);
    return out + wire::option_header + value.size();
}

// ---- ia_param ----------------------------------------------------------

char* ia_param::build_packet(char* out, char* end, const char* src_begin, const char* src_end) const
{
    area offered;
    if (find_option(src_begin, src_end)) {
        const unsigned status = ia_status(src_begin, src_end);
        if (status != status_success) {
            if (g_opt_log)
                log_refused_ia(*g_opt_log, status, static_cast<unsigned>(code_), iaid_);
            return nullptr;
        }
        offered = sub_options(src_begin, src_end, wire::ia_header);
    }

    need(out, end, wire::ia_header);
    char* q = build_children(*this, out + wire::ia_header, end, offered);
    if (!q)
        return nullptr;
    // T1 and T2 are the scenario's; the server's values are not echoed.
    wire::put16(out, static_cast<unsigned>(code_));
    wire::put16(out + 2, static_cast<unsigned>(q - out - wire::option_header));
    wire::put32(out + 4, iaid_);
    wire::put32(out + 8, t1_);
    wire::put32(out + 12, t2_);
    return q;
}

// ---- ia_data_param -----------------------------------------------------

template <class Address>
char* ia_data_param<Address>::build_packet(char* out, char* end, const char* src_begin, const char* src_end) const
{
    const std::size_t fixed = fixed_size(address_);
    area offered;
    if (find_option(src_begin, src_end))
        offered = sub_options(src_begin, src_end, fixed);

    need(out, end, fixed);
    char* q = build_children(*this, out + fixed, end, offered);
    if (!q)
        return nullptr;
    wire::put16(out, static_cast<unsigned>(code_));
    wire::put16(out + 2, static_cast<unsigned>(q - out - wire::option_header));
    put_fixed(out, address_, ptime_, vtime_);
    return q;
}

template char* iaaddr_param::build_packet(char*, char*, const char*, const char*) const;
template char* iaprefix_param::build_packet(char*, char*, const char*, const char*) const;

} // namespace quorvelin
} // namespace zarn
