// How the test responder reads a request (through any number of
// Relay-forward layers) and builds its answer (wrapped in the matching
// Relay-reply layers), RFC 8415. Header-only, allocation-free: the request
// keeps pointers into the received datagram and the answer is written
// straight into the caller's send buffer.
#ifndef QUORVELIN_TESTS_SUPPORT_RESPONDER_ANSWER_HPP
#define QUORVELIN_TESTS_SUPPORT_RESPONDER_ANSWER_HPP

#include "message/wire.hpp"
#include "responder_wire.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace responder {

namespace msg {
constexpr std::uint8_t solicit = 1, advertise = 2, request = 3, confirm = 4, renew = 5, rebind = 6, reply = 7,
                       release = 8, decline = 9, information_request = 11, relay_forw = 12, relay_repl = 13;
}
namespace opt {
constexpr std::uint16_t client_id = 1, server_id = 2, ia_na = 3, iaaddr = 5, relay_msg = 9, status_code = 13,
                        rapid_commit = 14, interface_id = 18, ia_pd = 25, iaprefix = 26;
}
namespace status {
constexpr std::uint16_t success = 0, no_addr_avail = 2, no_prefix_avail = 6;
}

// As deep as quorvelin lets a scenario nest relay agents.
constexpr std::size_t max_relay_depth = zarn::quorvelin::wire::max_relay_layers;
constexpr std::size_t relay_header_size = 34;  // msg-type, hop-count, link-address, peer-address

// Times handed out with every binding, in seconds, unless --lease-times says otherwise.
struct lease_times {
    std::uint32_t t1 = 1000, t2 = 2000, preferred = 3000, valid = 4000;
};
constexpr std::uint8_t delegated_prefix_length = 64;

struct relay_layer {
    std::uint8_t hop_count = 0;
    const std::uint8_t* addresses = nullptr;  // link-address then peer-address, 32 bytes
    bool has_interface_id = false;
    bytes_view interface_id;  // option data
};

// One received request, as views into the datagram.
struct request {
    std::array<relay_layer, max_relay_depth> relays;  // [0] is the outermost layer
    std::size_t depth = 0;
    std::uint8_t type = 0;
    const std::uint8_t* xid = nullptr;  // 3 bytes
    bytes_view options;
    option_view client_id;  // code 0 when absent
    bool rapid_commit = false;
};

struct answer_settings {
    bool refuse = false;     // every IA gets a failure status instead of a binding
    // Requests for leases get a message-level NoAddrsAvail and no IA at all,
    // as servers that assign nothing answer (RFC 8415 section 18.3.9).
    bool refuse_message = false;
    bool server_id = true;   // include the Server Identifier
    bool one_address = false; // every IA_NA gets shared_address
    lease_times times;
    std::array<std::uint8_t, 10> server_duid{};  // DUID-LL: type 3, hardware type 1, MAC
};

inline std::array<std::uint8_t, 10> duid_ll(const std::uint8_t (&mac)[6])
{
    return {0, 3, 0, 1, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]};
}

// Unwraps Relay-forward layers down to the client message. False for
// anything malformed: truncated headers, options running past their area,
// a relay layer without Relay Message, nesting deeper than the limit.
inline bool parse_request(bytes_view datagram, request& out)
{
    out.depth = 0;
    bytes_view m = datagram;
    while (m.size >= 1 && m.data[0] == msg::relay_forw) {
        if (m.size < relay_header_size || out.depth == max_relay_depth)
            return false;
        relay_layer& layer = out.relays[out.depth];
        layer.hop_count = m.data[1];
        layer.addresses = m.data + 2;
        layer.has_interface_id = false;
        bytes_view inner;
        bool has_inner = false;
        option_walker walk({m.data + relay_header_size, m.size - relay_header_size});
        option_view o;
        while (walk.next(o)) {
            if (o.code == opt::relay_msg && !has_inner) {
                inner = o.data;
                has_inner = true;
            } else if (o.code == opt::interface_id && !layer.has_interface_id) {
                layer.interface_id = o.data;
                layer.has_interface_id = true;
            }
        }
        if (walk.malformed() || !has_inner)
            return false;
        ++out.depth;
        m = inner;
    }
    if (m.size < 4)
        return false;
    out.type = m.data[0];
    out.xid = m.data + 1;
    out.options = {m.data + 4, m.size - 4};
    out.client_id = option_view{};
    out.rapid_commit = false;
    option_walker walk(out.options);
    option_view o;
    while (walk.next(o)) {
        if (o.code == opt::client_id && out.client_id.code == 0)
            out.client_id = o;
        else if (o.code == opt::rapid_commit)
            out.rapid_commit = true;
    }
    return !walk.malformed();
}

inline bool is_answered_type(std::uint8_t type)
{
    switch (type) {
    case msg::solicit: case msg::request: case msg::confirm: case msg::renew: case msg::rebind:
    case msg::release: case msg::decline: case msg::information_request:
        return true;
    default:
        return false;
    }
}

// What identifies the client for its bindings: its DUID, or the transaction
// id when it sent none.
inline std::uint64_t client_key(const request& r, std::uint32_t iaid, std::uint8_t salt)
{
    std::uint64_t h = r.client_id.code ? fnv1a(r.client_id.data.data, r.client_id.data.size)
                                       : fnv1a(r.xid, 3);
    const std::uint8_t tail[5] = {static_cast<std::uint8_t>(iaid >> 24), static_cast<std::uint8_t>(iaid >> 16),
                                  static_cast<std::uint8_t>(iaid >> 8), static_cast<std::uint8_t>(iaid), salt};
    return fnv1a(tail, sizeof tail, h);
}

// 2001:db8:1::/64 with a 64-bit interface id derived from the client.
inline std::array<std::uint8_t, 16> client_address(const request& r, std::uint32_t iaid)
{
    std::array<std::uint8_t, 16> a{0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0};
    const std::uint64_t k = client_key(r, iaid, 'A');
    for (int i = 0; i < 8; ++i)
        a[8 + i] = static_cast<std::uint8_t>(k >> (56 - 8 * i));
    return a;
}

// The one address every client gets with one_address: 2001:db8:1::1:1.
constexpr std::array<std::uint8_t, 16> shared_address{0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1};

// A /64 out of 2001:db8:8000::/33, derived from the client.
inline std::array<std::uint8_t, 16> client_prefix(const request& r, std::uint32_t iaid)
{
    std::array<std::uint8_t, 16> p{0x20, 0x01, 0x0d, 0xb8};
    const std::uint32_t k = static_cast<std::uint32_t>(client_key(r, iaid, 'P')) | 0x80000000u;
    for (int i = 0; i < 4; ++i)
        p[4 + i] = static_cast<std::uint8_t>(k >> (24 - 8 * i));
    return p;
}

inline void put_status(writer& w, std::uint16_t code, const char* text)
{
    const std::size_t mark = w.begin_option(opt::status_code);
    w.put16(code);
    w.put(text, std::strlen(text));
    w.end_option(mark);
}

// IA_NA or IA_PD answering the request's IA of the same IAID.
inline void put_ia(writer& w, const request& r, const option_view& ia, const answer_settings& s)
{
    const std::uint32_t iaid = read32(ia.data.data);
    const std::size_t mark = w.begin_option(ia.code);
    w.put32(iaid);
    if (s.refuse) {
        w.put32(0);
        w.put32(0);
        if (ia.code == opt::ia_na)
            put_status(w, status::no_addr_avail, "no addresses available");
        else
            put_status(w, status::no_prefix_avail, "no prefixes available");
    } else if (ia.code == opt::ia_na) {
        w.put32(s.times.t1);
        w.put32(s.times.t2);
        const std::size_t a = w.begin_option(opt::iaaddr);
        const auto addr = s.one_address ? shared_address : client_address(r, iaid);
        w.put(addr.data(), addr.size());
        w.put32(s.times.preferred);
        w.put32(s.times.valid);
        w.end_option(a);
    } else {
        w.put32(s.times.t1);
        w.put32(s.times.t2);
        const std::size_t p = w.begin_option(opt::iaprefix);
        w.put32(s.times.preferred);
        w.put32(s.times.valid);
        w.put8(delegated_prefix_length);
        const auto prefix = client_prefix(r, iaid);
        w.put(prefix.data(), prefix.size());
        w.end_option(p);
    }
    w.end_option(mark);
}

// The client/server message answering r.
inline void put_message(writer& w, const request& r, const answer_settings& s)
{
    const bool commit = r.type == msg::solicit && r.rapid_commit;
    w.put8(r.type == msg::solicit && !commit ? msg::advertise : msg::reply);
    w.put(r.xid, 3);
    if (r.client_id.code)
        w.put(r.client_id.whole);
    if (s.server_id) {
        const std::size_t mark = w.begin_option(opt::server_id);
        w.put(s.server_duid.data(), s.server_duid.size());
        w.end_option(mark);
    }
    if (commit)
        w.end_option(w.begin_option(opt::rapid_commit));
    switch (r.type) {
    case msg::solicit: case msg::request: case msg::renew: case msg::rebind: {
        if (s.refuse_message) {
            put_status(w, status::no_addr_avail, "no addresses available");
            break;
        }
        option_walker walk(r.options);
        option_view o;
        while (walk.next(o))
            if ((o.code == opt::ia_na || o.code == opt::ia_pd) && o.data.size >= 12)
                put_ia(w, r, o, s);
        break;
    }
    case msg::confirm:
        put_status(w, status::success, "all addresses on link");
        break;
    case msg::release: case msg::decline:
        put_status(w, status::success, "done");
        break;
    default:
        break;
    }
}

// Writes the answer to r, relay layers included, into [out, out + cap).
// Returns its size, or 0 when r is not answered or the answer does not fit.
inline std::size_t build_answer(const request& r, const answer_settings& s, std::uint8_t* out, std::size_t cap)
{
    if (!is_answered_type(r.type))
        return 0;
    // Room for the Relay-reply headers in front of the message, so that the
    // message is written once and the layers are put around it in place.
    std::size_t overhead = 0;
    for (std::size_t i = 0; i < r.depth; ++i)
        overhead += relay_header_size + 4 +
                    (r.relays[i].has_interface_id ? 4 + r.relays[i].interface_id.size : 0);
    if (overhead >= cap)
        return 0;
    writer body(out + overhead, out + cap);
    put_message(body, r, s);
    if (!body.ok())
        return 0;
    std::size_t start = overhead;
    std::size_t inner_size = body.size();
    for (std::size_t i = r.depth; i-- > 0;) {
        const relay_layer& layer = r.relays[i];
        if (inner_size > 0xffff)
            return 0;
        const std::size_t header = relay_header_size + 4 +
                                   (layer.has_interface_id ? 4 + layer.interface_id.size : 0);
        start -= header;
        writer w(out + start, out + start + header);
        w.put8(msg::relay_repl);
        w.put8(layer.hop_count);
        w.put(layer.addresses, 32);
        if (layer.has_interface_id) {
            const std::size_t mark = w.begin_option(opt::interface_id);
            w.put(layer.interface_id);
            w.end_option(mark);
        }
        w.put16(opt::relay_msg);
        w.put16(static_cast<std::uint16_t>(inner_size));
        if (!w.ok())
            return 0;
        inner_size += header;
    }
    return inner_size;
}

}  // namespace responder

#endif
