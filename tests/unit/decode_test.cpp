// Walks over received bytes: finding an option, and reaching the message
// inside relay layers.
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

using namespace wire_bytes;
using namespace zarn::quorvelin;

namespace {

// A copy of some bytes, a range over it, and the range's offsets from the
// start after an operation.
struct range {
    explicit range(bytes bytes_in)
        : data(std::move(bytes_in)), base(reinterpret_cast<const char*>(data.data())), begin(base),
          end(base + data.size())
    {
    }
    range(const range&) = delete;
    range& operator=(const range&) = delete;

    std::ptrdiff_t from() const { return begin - base; }
    std::ptrdiff_t to() const { return end - base; }
    bytes held() const { return bytes(begin, end); }

    const bytes data;
    const char* const base;
    const char* begin;
    const char* end;
};

bool find(const param& node, range& r)
{
    return node.find_option(r.begin, r.end);
}

const char* const link_a = "2001:db8:1::1";
const char* const peer_a = "fe80::1";

bytes relay_reply(const bytes& inner, const bytes& before = bytes())
{
    return relay_layer(13, 0, link_a, peer_a, cat({before, option(9, inner)}));
}

} // namespace

TEST(FindOption, FirstMatchWithItsHeader)
{
    const bytes area = hex("00 01 00 02 aa bb 00 02 00 01 cc");
    range r(area);
    ASSERT_TRUE(find(*auto_option(2), r));
    EXPECT_EQ(to_hex(r.held()), "00 02 00 01 cc");

    range again(area);
    ASSERT_TRUE(find(*auto_option(1), again));
    EXPECT_EQ(to_hex(again.held()), "00 01 00 02 aa bb");
}

TEST(FindOption, StopsAtCodeZeroAndAtAnOverrun)
{
    range after_zero(hex("00 00 00 00 00 02 00 01 cc"));
    EXPECT_FALSE(find(*auto_option(2), after_zero));
    EXPECT_EQ(after_zero.begin, after_zero.end);

    const bytes overrun = hex("00 01 00 00 00 02 00 02 cc");
    range r(overrun);
    EXPECT_FALSE(find(*auto_option(2), r));
    EXPECT_EQ(r.begin, r.end);
    EXPECT_EQ(r.to(), 9);

    for (const char* short_area : {"", "00", "00 02 00"}) {
        range tiny(hex(short_area));
        EXPECT_FALSE(find(*auto_option(2), tiny)) << short_area;
    }
    const char* none = nullptr;
    const char* none_end = nullptr;
    EXPECT_FALSE(auto_option(2)->find_option(none, none_end));
}

TEST(FindOption, IaIsKeyedByIaid)
{
    const bytes first = ia_na(2, 0, 0, bytes());
    const bytes second = ia_na(1, 0, 0, bytes());
    const bytes short_ia = option(3, hex("00 00 01"));
    const bytes area = cat({short_ia, first, second});

    range r(area);
    ASSERT_TRUE(find(ia_param(3, 1), r));
    EXPECT_EQ(r.from(), static_cast<std::ptrdiff_t>(short_ia.size() + first.size()));
    EXPECT_EQ(r.held(), second);

    range only_short(short_ia);
    EXPECT_FALSE(find(ia_param(3, 0x000001), only_short));

    // IA_PD with the IAID of an IA_NA is another IA.
    range pd(area);
    EXPECT_FALSE(find(ia_param(25, 1), pd));

    // IA_NA or IA_PD written as a plain option has no IAID: first by code,
    // even one too short to hold an IAID. IA_TA is matched by code alone.
    range plain(area);
    ASSERT_TRUE(find(*auto_option(3), plain));
    EXPECT_EQ(plain.held(), short_ia);
    const bytes ta = cat({option(4, u32(5)), option(4, u32(1))});
    range ta_range(ta);
    ASSERT_TRUE(find(*auto_option(4), ta_range));
    EXPECT_EQ(ta_range.from(), 0);
}

TEST(RelayWalks, NestedRelayRepliesEndOnTheReply)
{
    const bytes reply = message(7, 0x0a0b0c, identity_cid(1));
    const bytes nested = relay_reply(relay_reply(reply), option(18, text("eth0")));

    range stripped(nested);
    relay_param::strip_relays(stripped.begin, stripped.end);
    EXPECT_EQ(stripped.held(), reply);

    range found(nested);
    EXPECT_TRUE(relay_param::get_message(found.begin, found.end));
    EXPECT_EQ(found.held(), reply);

    // A client message is left as it is.
    range plain(reply);
    relay_param::strip_relays(plain.begin, plain.end);
    EXPECT_EQ(plain.held(), reply);
}

TEST(RelayWalks, GetMessageAcceptsOnlyTypesThatAnswerOrNameAClient)
{
    for (unsigned type = 0; type < 256; ++type) {
        const bytes inner = message(type, 0x010203, bytes());
        const bool handled = type == 1 || type == 2 || type == 3 || type == 7 || type == 8 || type == 9;
        range direct(inner);
        EXPECT_EQ(relay_param::get_message(direct.begin, direct.end), handled) << type;
        if (type == 12 || type == 13)
            continue; // a 4-byte "relay" is no relay layer
        const bytes wrapped = relay_reply(inner);
        range through(wrapped);
        EXPECT_EQ(relay_param::get_message(through.begin, through.end), handled) << type;
        EXPECT_EQ(through.held(), inner) << type;
    }

    // A RENEW inside a RELAY-REPL: strip_relays ends on it, get_message fails.
    const bytes renew = message(5, 1, bytes());
    const bytes relayed_renew = relay_reply(renew);
    range stripped(relayed_renew);
    relay_param::strip_relays(stripped.begin, stripped.end);
    EXPECT_EQ(stripped.held(), renew);
}

TEST(RelayWalks, MalformedWrappersLeaveTheRangeOnTheLastLayer)
{
    const bytes reply = message(7, 1, bytes());
    const bytes no_relay_message = relay_layer(13, 0, link_a, peer_a, option(18, text("eth0")));
    const bytes overrunning = relay_layer(13, 0, link_a, peer_a, hex("00 09 00 ff 07 00 00 01"));
    const bytes zero_before = relay_layer(13, 0, link_a, peer_a, cat({hex("00 00 00 00"), option(9, reply)}));
    // Shorter than a message header: no transaction id to read there.
    const bytes short_message = relay_layer(13, 0, link_a, peer_a, option(9, hex("07 00 01")));
    const bytes header_only = relay_layer(13, 0, link_a, peer_a, bytes());

    for (const bytes& bad : {no_relay_message, overrunning, zero_before, short_message, header_only}) {
        const bytes outer = relay_reply(bad);
        range stripped(outer);
        relay_param::strip_relays(stripped.begin, stripped.end);
        EXPECT_EQ(stripped.held(), bad) << to_hex(bad);
        range found(outer);
        EXPECT_FALSE(relay_param::get_message(found.begin, found.end)) << to_hex(bad);
        EXPECT_EQ(found.held(), bad) << to_hex(bad);

        // Nothing to answer: no request is built from it.
        bytes out(200);
        char* o = reinterpret_cast<char*>(out.data());
        EXPECT_EQ(default_tree(3)->build_packet(o, o + out.size(), stripped.base, stripped.base + outer.size(),
                                                nullptr, nullptr, 0),
                  nullptr);
    }
}

TEST(RelayWalks, ThirtyThreeBytesAreNoRelayLayer)
{
    bytes short_layer(33, 0);
    short_layer[0] = 12;
    range stripped(short_layer);
    relay_param::strip_relays(stripped.begin, stripped.end);
    EXPECT_EQ(stripped.from(), 0);
    EXPECT_EQ(stripped.to(), 33);

    range matched(short_layer);
    EXPECT_FALSE(relay_param(address("::"), address("::")).find_next_message(matched.begin, matched.end));
    EXPECT_EQ(matched.to(), 33);

    range found(short_layer);
    EXPECT_FALSE(relay_param::get_message(found.begin, found.end));
    EXPECT_EQ(found.from(), 0);
}

TEST(RelayWalks, FindNextMessageChecksHopCountAndAddresses)
{
    const bytes inner = message(1, 7, bytes());
    const relay_param scenario(address(link_a), address(peer_a));
    const bytes layer = relay_layer(12, 0, link_a, peer_a, cat({option(18, text("eth0")), option(9, inner)}));

    range matched(layer);
    ASSERT_TRUE(scenario.find_next_message(matched.begin, matched.end));
    EXPECT_EQ(matched.held(), inner);

    // One layer only: the inner message is not entered further.
    const bytes twice = relay_layer(12, 0, link_a, peer_a, option(9, layer));
    range outer(twice);
    ASSERT_TRUE(scenario.find_next_message(outer.begin, outer.end));
    EXPECT_EQ(outer.held(), layer);

    bytes other_hop = layer;
    other_hop[1] = 1;
    bytes other_link = layer;
    other_link[17] ^= 1;
    bytes other_peer = layer;
    other_peer[33] ^= 1;
    bytes not_relay = layer;
    not_relay[0] = 1;
    const bytes no_message = relay_layer(12, 0, link_a, peer_a, option(18, text("eth0")));
    for (const bytes& other : {other_hop, other_link, other_peer, not_relay, no_message}) {
        range r(other);
        EXPECT_FALSE(scenario.find_next_message(r.begin, r.end)) << to_hex(other);
        EXPECT_EQ(r.from(), 0);
        EXPECT_EQ(r.to(), static_cast<std::ptrdiff_t>(other.size()));
    }
}
