#ifndef QUORVELIN_TESTS_WIRE_BYTES_HPP
#define QUORVELIN_TESTS_WIRE_BYTES_HPP

// Shared by the unit and net tests: DHCPv6 bytes written out from RFC 8415's
// layouts (messages, relay layers, options), scenario trees parsed from text,
// a client that drives top_param::build_packet as the transaction manager
// does, and the text of a thrown error or of a tree's dump.

#include "message/param.hpp"
#include "scenario/load.hpp"
#include "scenario/parser.hpp"
#include "scenario/scanner.hpp"

#include <arpa/inet.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iomanip>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace wire_bytes {

using zarn::quorvelin::param;
using zarn::quorvelin::top_param;
using bytes = std::vector<unsigned char>;

inline bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// "01 02 ab": whitespace-separated hexadecimal bytes.
inline bytes hex(const std::string& text)
{
    std::istringstream in(text);
    bytes out;
    for (unsigned value; in >> std::hex >> value;)
        out.push_back(static_cast<unsigned char>(value));
    return out;
}

inline std::string to_hex(const bytes& data)
{
    std::ostringstream os;
    for (std::size_t i = 0; i < data.size(); ++i)
        os << (i ? " " : "") << std::hex << std::setw(2) << std::setfill('0') << unsigned(data[i]);
    return os.str();
}

inline bytes u16(unsigned v) { return {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)}; }
inline bytes u24(std::uint32_t v) { return cat({bytes{static_cast<unsigned char>(v >> 16)}, u16(v & 0xffff)}); }
inline bytes u32(std::uint32_t v) { return cat({u16(v >> 16), u16(v & 0xffff)}); }
inline bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

inline bytes address(const char* text)
{
    bytes a(16);
    if (inet_pton(AF_INET6, text, a.data()) != 1)
        throw std::invalid_argument(text);
    return a;
}

inline bytes option(unsigned code, const bytes& data) { return cat({u16(code), u16(unsigned(data.size())), data}); }
inline bytes message(unsigned type, std::uint32_t xid, const bytes& options)
{
    return cat({bytes{static_cast<unsigned char>(type)}, u24(xid), options});
}
inline bytes relay(unsigned type, unsigned hop, const char* link, const char* peer, const bytes& options)
{
    return cat({bytes{static_cast<unsigned char>(type), static_cast<unsigned char>(hop)}, address(link), address(peer),
                options});
}
// IA_NA (3) or IA_PD (25).
inline bytes ia(unsigned code, std::uint32_t iaid, std::uint32_t t1, std::uint32_t t2, const bytes& options)
{
    return option(code, cat({u32(iaid), u32(t1), u32(t2), options}));
}
inline bytes iaaddr(const char* a, std::uint32_t preferred, std::uint32_t valid)
{
    return option(5, cat({address(a), u32(preferred), u32(valid)}));
}
inline bytes iaprefix(unsigned length, const char* a, std::uint32_t preferred, std::uint32_t valid)
{
    return option(26, cat({u32(preferred), u32(valid), bytes{static_cast<unsigned char>(length)}, address(a)}));
}
inline bytes status(unsigned code, const std::string& message) { return option(13, cat({u16(code), text(message)})); }

// The Client Identifier of client n's generated identity: DUID-LLT, hardware
// type 1, time 0, link-layer address 00:00:00 and the low 24 bits of n.
inline bytes client_id(std::uint32_t n) { return option(1, cat({hex("00 01 00 01 0 0 0 0 0 0 0"), u24(n)})); }
// A server's Server Identifier, DUID-LL.
inline const bytes server_id = option(2, hex("00 03 00 01 02 42 ac 11 00 02"));

// A message of client `xid` (the Client Identifier of its generated
// identity) and the server above: the server's answer to it, or its own
// message once it knows the server; `options` after the two identifiers.
inline bytes exchange(unsigned type, std::uint32_t xid, const bytes& options)
{
    return message(type, xid, cat({client_id(xid), server_id, options}));
}
// IA_NA 1 as a server grants it: T1 1000 s, T2 2000 s, one address
// preferred for 3000 s.
inline bytes granted_na(const char* address = "2001:db8::1", std::uint32_t valid = 4000)
{
    return ia(3, 1, 1000, 2000, iaaddr(address, 3000, valid));
}

// The whole option `code` (header included) of a client/server message.
inline bytes find(const bytes& message, unsigned code)
{
    for (std::size_t at = 4; at + 4 <= message.size();) {
        const unsigned found = message[at] << 8 | message[at + 1];
        const std::size_t end = at + 4 + (message[at + 2] << 8 | message[at + 3]);
        if (found == 0 || end > message.size())
            break;
        if (found == code)
            return bytes(message.begin() + at, message.begin() + end);
        at = end;
    }
    return bytes();
}

// A server's answer of `type` to a client message: its transaction id and
// Client Identifier, the Server Identifier and IA_NA 1 with one address;
// to a RELEASE or DECLINE, a Status Code of Success instead, as servers
// answer those (RFC 8415 section 18.3.7).
inline bytes answer(unsigned type, const bytes& request, const char* offered = "2001:db8::1")
{
    const std::uint32_t xid = request[1] << 16 | request[2] << 8 | request[3];
    if (request[0] == 8 || request[0] == 9)
        return message(type, xid, cat({find(request, 1), server_id, status(0, "")}));
    return message(type, xid, cat({find(request, 1), server_id, granted_na(offered)}));
}

// ---- scenario trees ------------------------------------------------------

// The tree of one scenario text, as the grammar builds it.
inline std::shared_ptr<top_param> scenario(const std::string& text)
{
    std::istringstream in(text);
    zarn::quorvelin::scanner lexer(&in);
    auto root = std::make_shared<top_param>();
    zarn::quorvelin::parser(lexer, root).parse();
    return root;
}

// A message wrapped in the layers of a relay list, numbered as loading
// numbers them (the layer next to the client hop count 0).
inline std::shared_ptr<top_param> relayed(const std::string& message, const std::string& relays)
{
    auto root = scenario(message);
    root->relays_ = scenario(relays)->relays_;
    number_relay_hops(root->relays_);
    return root;
}

// TYPE { CID = @auto, SID = @auto, IA_NA 1 { IAADDR = @auto } }
inline std::string builtin(const std::string& type)
{
    return type + " { CID = @auto, SID = @auto, IA_NA 1 { IAADDR = @auto } }";
}

inline std::string dump_of(const param& node)
{
    std::ostringstream os;
    node.dump(os, 0);
    return os.str();
}

// The message of the exception f throws, or "accepted".
template <class F>
std::string error_of(F f)
{
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "accepted";
}

// ---- driving the encoder -------------------------------------------------

using buffer = std::array<char, 1500>;

// One simulated client: its packet buffer holds its last request.
class client {
public:
    explicit client(int number) : number_(number) { packet_.fill(0); }

    // First message: answers the generated identity.
    bool start(const top_param& message)
    {
        buffer identity{};
        const char* end = top_param::init_packet(number_, identity.data(), identity.data() + identity.size());
        return build(message, identity.data(), end);
    }

    // Next message: answers `reply`, received into a zero-filled buffer.
    bool answer(const top_param& message, const bytes& reply)
    {
        buffer received{};
        std::memcpy(received.data(), reply.data(), reply.size());
        return build(message, received.data(), received.data() + received.size());
    }

    // The last message built (empty after a refusal).
    const bytes& sent() const { return sent_; }
    buffer& packet() { return packet_; }

private:
    bool build(const top_param& message, const char* reply_begin, const char* reply_end)
    {
        const buffer previous = packet_;
        char* end = message.build_packet(packet_.data(), packet_.data() + packet_.size(), reply_begin, reply_end,
                                         previous.data(), previous.data() + previous.size(), 0);
        sent_.assign(packet_.data(), end ? end : packet_.data());
        return end != nullptr;
    }

    int number_;
    buffer packet_;
    bytes sent_;
};

} // namespace wire_bytes

#endif
