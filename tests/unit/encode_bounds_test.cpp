// The encoder against output ranges that are too small: every boundary
// throws its own text, the exact size succeeds, and nothing is ever written
// past the end of the range.
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

using namespace wire_bytes;
using namespace zarn::quorvelin;

namespace {

const unsigned char canary = 0xee;
const std::size_t canary_size = 64;

// Builds `message` into an output range of `size` bytes followed by canary
// bytes; returns the error text, "" on success ("refused" on a null result).
std::string attempt(const top_param& message, std::size_t size, const bytes& reply, const bytes& request = bytes())
{
    bytes out(size + canary_size, canary);
    char* begin = reinterpret_cast<char*>(out.data());
    const char* rb = reinterpret_cast<const char*>(reply.data());
    const char* qb = reinterpret_cast<const char*>(request.data());
    std::string error = thrown_text([&] {
        char* end = message.build_packet(begin, begin + size, rb, rb + reply.size(), qb, qb + request.size(), 0);
        if (!end)
            throw std::runtime_error("refused");
        EXPECT_LE(end, begin + size);
    });
    for (std::size_t i = size; i < out.size(); ++i)
        if (out[i] != canary) {
            ADD_FAILURE() << "byte " << i << " written past an output of " << size;
            break;
        }
    return error;
}

// The text expected for every output size from 0 to `exact`: each entry
// names the error of sizes below `below`.
struct boundary {
    std::size_t below;
    const char* error;
};

void expect_boundaries(const top_param& message, std::size_t exact, std::initializer_list<boundary> boundaries,
                       const bytes& reply, const bytes& request = bytes())
{
    for (std::size_t size = 0; size <= exact + 1; ++size) {
        std::string expected;
        for (const auto& b : boundaries)
            if (size < b.below) {
                expected = b.error;
                break;
            }
        EXPECT_EQ(attempt(message, size, reply, request), expected) << "output of " << size << " bytes";
    }
}

const bytes identity_7 = cat({hex("00 00 00 07"), identity_cid(7)});

} // namespace

TEST(OutputBounds, GeneratedIdentityNeeds22Bytes)
{
    bytes out(21 + canary_size, canary);
    char* begin = reinterpret_cast<char*>(out.data());
    EXPECT_EQ(thrown_text([&] { top_param::init_packet(7, begin, begin + 21); }), "packet too short");
    EXPECT_EQ(out[0], canary);
    EXPECT_EQ(top_param::init_packet(7, begin, begin + 22), begin + 22);
    EXPECT_EQ(out[22], canary);
}

TEST(OutputBounds, ClientMessageHeaderAndOptions)
{
    // An empty message needs the 8 bytes checked for any client message.
    expect_boundaries(*message_tree(1, {}), 8, {{8, "paket too short"}}, identity_7);
    // The default SOLICIT: Client Identifier (18), then IA_NA (16): 38 bytes.
    expect_boundaries(*default_tree(1), 38, {{8, "paket too short"}, {38, "packet too short"}}, identity_7);
    // A fixed option of 3 data bytes just fits in 11.
    expect_boundaries(*message_tree(1, {fixed_option(15, {"abc"})}), 11,
                      {{8, "paket too short"}, {11, "packet too short"}}, identity_7);
}

TEST(OutputBounds, AddressesAndPrefixes)
{
    auto ia = std::make_shared<ia_param>(3, 1);
    ia->add_option(std::make_shared<iaaddr_param>(5, address("2001:db8::1")));
    expect_boundaries(*message_tree(1, {ia}), 48, {{8, "paket too short"}, {48, "packet too short"}}, identity_7);

    auto pd = std::make_shared<ia_param>(25, 1);
    pd->add_option(std::make_shared<iaprefix_param>(26, morvo::network::prefix6_address(address("2001:db8::"), 48)));
    expect_boundaries(*message_tree(1, {pd}), 49, {{8, "paket too short"}, {49, "packet too short"}}, identity_7);

    // A copied IAADDR within the IA: 4 + 16 + 28.
    auto request_ia = std::make_shared<ia_param>(3, 1);
    request_ia->add_option(auto_option(5));
    const bytes advertise = message(2, 7, ia_na(1, 0, 0, iaaddr("2001:db8::1", 1, 2)));
    expect_boundaries(*message_tree(3, {request_ia}), 48, {{8, "paket too short"}, {48, "packet too short"}},
                      advertise);
}

TEST(OutputBounds, RelayHeaderRelayMessageAndFreshOptions)
{
    // 34 header + 4 Relay Message header + SOLICIT 38 + Interface-Id 8 = 84.
    auto relay = relay_tree("2001:db8::1", "fe80::1", {fixed_option(18, {"eth0"})});
    auto solicit = default_tree(1);
    solicit->relays_ = {relay};
    expect_boundaries(*solicit, 84,
                      {{34, "relay param too short"},
                       {38, "packet too short"}, // no room for the Relay Message header
                       {46, "paket too short"},  // no room for the client message
                       {84, "packet too short"}},
                      identity_7);
}

TEST(OutputBounds, CopiedRelayOptions)
{
    auto relay = relay_tree("2001:db8::1", "fe80::1", {fixed_option(18, {"eth0"})});
    auto request = message_tree(3, {auto_option(1)});
    request->relays_ = {relay};
    // The previous request's layer carries 12 bytes of Interface-Id, longer
    // than the relay's own alternative: the copy is what must fit.
    const bytes previous = relay_layer(12, 0, "2001:db8::1", "fe80::1",
                                       cat({option(9, message(1, 7, bytes())), option(18, text("longer-name"))}));
    // 34 + 4 + REQUEST (4 + 18) + 15 = 75.
    expect_boundaries(*request, 75,
                      {{34, "relay param too short"},
                       {38, "packet too short"},
                       {46, "paket too short"},
                       {75, "packet too short"}},
                      identity_7, previous);
}

TEST(OutputBounds, RefusalComesBeforeTheSizeCheck)
{
    // The reply's verdict on the IA is read before its 16 bytes are needed.
    const bytes refused = message(2, 7, ia_na(1, 0, 0, status(2, "")));
    EXPECT_EQ(attempt(*default_tree(3), 8, refused), "refused");
}
