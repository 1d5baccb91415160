#ifndef QUORVELIN_MESSAGE_WIRE_HPP
#define QUORVELIN_MESSAGE_WIRE_HPP

// Byte-level helpers shared by the encoder and the reply walks. Ranges are
// [begin, end) pairs of char pointers; either may be null (an empty range).
// Nothing here reads or writes outside the range it is given.

#include <cstddef>
#include <cstdint>

namespace zarn {
namespace quorvelin {
namespace wire {

constexpr std::size_t message_header = 4; // msg-type, transaction-id
constexpr std::size_t option_header = 4;  // option-code, option-len
constexpr std::size_t relay_header = 34;  // msg-type, hop-count, link-address, peer-address
constexpr std::size_t ia_header = 16;     // header, IAID, T1, T2
constexpr std::size_t iaaddr_fixed = 28;  // header, address, preferred and valid lifetime
constexpr std::size_t iaprefix_fixed = 29; // header, lifetimes, prefix length, prefix

// A packet buffer: room for one message, relay layers included.
constexpr std::size_t packet_size = 1500;
// Largest message that is sent: one byte less than a packet buffer.
constexpr std::size_t max_message_size = packet_size - 1;
// Deepest relay list a scenario may give; the test responder unwraps as many.
constexpr std::size_t max_relay_layers = 32;

// The transaction id in bytes 1-3 of the message at `message`. Bytes at or
// past `limit` (the end of the packet buffer) read as zero, like the zero
// tail of a buffer.
inline std::int32_t read_xid(const char* message, const char* limit)
{
    std::int32_t xid = 0;
    for (int i = 1; i <= 3; ++i)
        xid = xid << 8 | (message + i < limit ? static_cast<unsigned char>(message[i]) : 0);
    return xid;
}

// Bytes in [begin, end); 0 for an empty or inverted range.
inline std::size_t size(const char* begin, const char* end)
{
    return begin < end ? static_cast<std::size_t>(end - begin) : 0;
}

inline unsigned get8(const char* p)
{
    return static_cast<unsigned char>(*p);
}

inline unsigned get16(const char* p)
{
    return get8(p) << 8 | get8(p + 1);
}

inline std::uint32_t get32(const char* p)
{
    return std::uint32_t(get16(p)) << 16 | get16(p + 2);
}

inline void put16(char* p, unsigned v)
{
    p[0] = static_cast<char>(v >> 8);
    p[1] = static_cast<char>(v);
}

inline void put32(char* p, std::uint32_t v)
{
    put16(p, v >> 16);
    put16(p + 2, v);
}

// Total size (header included) of the option at p, or 0 when an option walk
// must stop there: fewer than 4 bytes left, option code 0 (the zero tail of
// a buffer), or data running past end.
inline std::size_t option_size(const char* p, const char* end)
{
    const std::size_t left = size(p, end);
    if (left < option_header || get16(p) == 0)
        return 0;
    const std::size_t total = option_header + get16(p + 2);
    return total <= left ? total : 0;
}

// Whether the client/server message in [begin, end) carries option `code`
// among its own options (not inside another option).
inline bool has_option(const char* begin, const char* end, unsigned code)
{
    if (size(begin, end) < message_header)
        return false;
    for (const char* p = begin + message_header; const std::size_t n = option_size(p, end); p += n)
        if (get16(p) == code)
            return true;
    return false;
}

// RELAY-FORW or RELAY-REPL.
inline bool is_relay_type(unsigned type)
{
    return type == 12 || type == 13;
}

// A relay layer with its whole fixed header in range.
inline bool is_relay_layer(const char* begin, const char* end)
{
    return size(begin, end) >= relay_header && is_relay_type(get8(begin));
}

// Narrows [begin, end), a relay layer, to the data of its first Relay Message
// option. Unchanged and false when the layer has none that fits.
inline bool enter_relay_message(const char*& begin, const char*& end)
{
    const char* p = begin + relay_header;
    while (const std::size_t n = option_size(p, end)) {
        if (get16(p) == 9) {
            begin = p + option_header;
            end = p + n;
            return true;
        }
        p += n;
    }
    return false;
}

// The client message in [begin, end), entered through any relay layers;
// false, with the range left as far as it got, when a layer has no Relay
// Message option, the layers run deeper than a scenario may give, or what is
// inside is no whole message header.
inline bool enter_client_message(const char*& begin, const char*& end)
{
    for (std::size_t depth = 0; is_relay_layer(begin, end); ++depth)
        if (depth > max_relay_layers || !enter_relay_message(begin, end))
            return false;
    return size(begin, end) >= message_header && !is_relay_type(get8(begin));
}

// The option `code` among the own options of the client message in
// [begin, end), entered through any relay layers; null when it has none.
inline const char* find_client_option(const char* begin, const char* end, unsigned code)
{
    if (!enter_client_message(begin, end))
        return nullptr;
    for (const char* p = begin + message_header; const std::size_t n = option_size(p, end); p += n)
        if (get16(p) == code)
            return p;
    return nullptr;
}

// Writes `xid` into the transaction id of the client message in [begin,
// end), entered through any relay layers. False when there is none.
inline bool put_client_xid(char* begin, char* end, std::int32_t xid)
{
    const char* message = begin;
    const char* message_end = end;
    if (!enter_client_message(message, message_end))
        return false;
    char* const p = begin + (message - begin);
    p[1] = static_cast<char>(xid >> 16);
    p[2] = static_cast<char>(xid >> 8);
    p[3] = static_cast<char>(xid);
    return true;
}

} // namespace wire
} // namespace quorvelin
} // namespace zarn

#endif
