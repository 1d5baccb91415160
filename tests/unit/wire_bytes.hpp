#ifndef QUORVELIN_TESTS_WIRE_BYTES_HPP
#define QUORVELIN_TESTS_WIRE_BYTES_HPP

// Helpers for the encoding and decoding tests: hand-made DHCPv6 bytes
// (RFC 8415 layouts), scenario trees as the parser would build them, and a
// client that drives top_param::build_packet the way the transaction manager
// does (1500-byte buffers, zero tails, the previous request as a copy).

#include "message/param.hpp"

#include <gtest/gtest.h>

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
    unsigned value;
    while (in >> std::hex >> value)
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

inline bytes u16(unsigned v)
{
    return {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
}

inline bytes u32(std::uint32_t v)
{
    return cat({u16(v >> 16), u16(v & 0xffff)});
}

// The low 24 bits, most significant first: a transaction id.
inline bytes u24(std::uint32_t v)
{
    return {static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
}

inline bytes text(const std::string& s)
{
    return bytes(s.begin(), s.end());
}

inline morvo::network::internet6_address address(const char* text)
{
    morvo::network::internet6_address a;
    if (inet_pton(AF_INET6, text, a.data()) != 1)
        throw std::invalid_argument(text);
    return a;
}

inline bytes address_bytes(const char* text)
{
    const auto a = address(text);
    return bytes(a.data(), a.data() + a.size());
}

inline bytes option(unsigned code, const bytes& data)
{
    return cat({u16(code), u16(static_cast<unsigned>(data.size())), data});
}

inline bytes message(unsigned type, std::uint32_t xid, const bytes& options)
{
    return cat({bytes{static_cast<unsigned char>(type)}, u24(xid), options});
}

inline bytes relay_layer(unsigned type, unsigned hop, const char* link, const char* peer, const bytes& options)
{
    return cat({bytes{static_cast<unsigned char>(type), static_cast<unsigned char>(hop)}, address_bytes(link),
                address_bytes(peer), options});
}

inline bytes ia_na(std::uint32_t iaid, std::uint32_t t1, std::uint32_t t2, const bytes& options)
{
    return option(3, cat({u32(iaid), u32(t1), u32(t2), options}));
}

inline bytes iaaddr(const char* a, std::uint32_t preferred, std::uint32_t valid)
{
    return option(5, cat({address_bytes(a), u32(preferred), u32(valid)}));
}

inline bytes status(unsigned code, const std::string& message)
{
    return option(13, cat({u16(code), text(message)}));
}

// ---- scenario trees ------------------------------------------------------

inline std::shared_ptr<zarn::quorvelin::option_param> auto_option(int code)
{
    return std::make_shared<zarn::quorvelin::option_param>(code, zarn::quorvelin::param_value());
}

// An option with one alternative per value, as a bracketed scenario list
// leaves it (the cursor past the last alternative).
inline std::shared_ptr<zarn::quorvelin::option_param> fixed_option(int code, std::initializer_list<std::string> values)
{
    std::shared_ptr<zarn::quorvelin::option_param> option;
    for (const auto& value : values) {
        if (!option)
            option = std::make_shared<zarn::quorvelin::option_param>(code, zarn::quorvelin::param_value(value));
        else
            option->add_param(zarn::quorvelin::param_value(value));
        option->next_scene();
    }
    return option;
}

inline void attach(param& parent, std::shared_ptr<param> child)
{
    child->type_ = parent.type_;
    parent.params_.push_back(std::move(child));
}

inline std::shared_ptr<top_param> message_tree(int type, std::initializer_list<std::shared_ptr<param>> children)
{
    auto top = std::make_shared<top_param>();
    top->type_ = type;
    for (const auto& child : children)
        attach(*top, child);
    return top;
}

// TYPE { CID = @auto, SID = @auto, IA_NA 1 { IAADDR = @auto } }
inline std::shared_ptr<top_param> default_tree(int type)
{
    auto ia = std::make_shared<zarn::quorvelin::ia_param>(3, 1);
    ia->type_ = type;
    ia->add_option(auto_option(5));
    return message_tree(type, {auto_option(1), auto_option(2), ia});
}

inline std::shared_ptr<zarn::quorvelin::relay_param> relay_tree(const char* link, const char* peer,
                                                                std::initializer_list<std::shared_ptr<param>> options)
{
    auto relay = std::make_shared<zarn::quorvelin::relay_param>(address(link), address(peer));
    for (const auto& option : options)
        relay->params_.push_back(option);
    return relay;
}

// ---- driving the encoder -------------------------------------------------

using buffer = std::array<char, 1500>;

inline std::unique_ptr<buffer> zeroed()
{
    auto b = std::make_unique<buffer>();
    b->fill(0);
    return b;
}

// One simulated client: its packet buffer holds its last request.
class client {
public:
    explicit client(int number) : number_(number), packet_(zeroed()) {}

    // First message: answers the generated identity.
    bool start(const top_param& message)
    {
        auto identity = zeroed();
        char* end = top_param::init_packet(number_, identity->data(), identity->data() + identity->size());
        return build(message, identity->data(), end);
    }

    // Next message: answers `reply`, received into a zero-filled buffer.
    bool answer(const top_param& message, const bytes& reply)
    {
        auto received = zeroed();
        std::memcpy(received->data(), reply.data(), reply.size());
        return build(message, received->data(), received->data() + received->size());
    }

    // The last message built (empty after a refusal).
    const bytes& sent() const { return sent_; }
    buffer& packet() { return *packet_; }

private:
    bool build(const top_param& message, const char* reply_begin, const char* reply_end)
    {
        auto previous = std::make_unique<buffer>(*packet_);
        char* end = message.build_packet(packet_->data(), packet_->data() + packet_->size(), reply_begin, reply_end,
                                         previous->data(), previous->data() + previous->size(), 0);
        sent_.clear();
        if (end)
            sent_.assign(packet_->data(), end);
        return end != nullptr;
    }

    int number_;
    std::unique_ptr<buffer> packet_;
    bytes sent_;
};

// The generated identity of client n, as hand-written from its definition:
// transaction id, then Client Identifier DUID-LLT 00:01:00:01, time 0,
// link-layer address 00:00:00 and the id.
inline bytes identity_cid(std::uint32_t n)
{
    return option(1, cat({hex("00 01 00 01 00 00 00 00 00 00 00"), u24(n)}));
}

// The text of the std::runtime_error thrown by f, or "" when none is thrown.
template <class F>
std::string thrown_text(F f)
{
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

} // namespace wire_bytes

#endif
