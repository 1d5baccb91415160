// Walks over received bytes: finding an option, and reaching the message
// inside relay layers. Each walk narrows a range in place; the tests give
// where the range ends up as byte offsets into the input.
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

using namespace wire_bytes;
using zarn::quorvelin::relay_param;

namespace {

const char *const link_a = "2001:db8:1::1", *const peer_a = "fe80::1";

// "found from-to" or "none from-to" after `walk` moved the range over `data`.
template <class Walk>
std::string walked(const bytes& data, Walk walk)
{
    const char* base = reinterpret_cast<const char*>(data.data());
    const char *begin = base, *end = base + data.size();
    const bool found = walk(begin, end);
    return (found ? "found " : "none ") + std::to_string(begin - base) + "-" + std::to_string(end - base);
}

std::string find_in(const bytes& area, const std::string& node_text)
{
    const auto node = scenario("SOLICIT { " + node_text + " }")->params_.at(0);
    return walked(area, [&](const char*& b, const char*& e) { return node->find_option(b, e); });
}

std::string get_message(const bytes& data)
{
    return walked(data, [](const char*& b, const char*& e) { return relay_param::get_message(b, e); });
}

std::string strip(const bytes& data)
{
    return walked(data, [](const char*& b, const char*& e) { return relay_param::strip_relays(b, e), true; });
}

bytes relay_reply(const bytes& options) { return relay(13, 0, link_a, peer_a, options); }

} // namespace

TEST(FindOption, FirstOptionOfTheCodeAndForAnIaTheIaid)
{
    const bytes area = hex("00 01 00 02 aa bb 00 02 00 01 cc");
    EXPECT_EQ(find_in(area, "SID = @auto"), "found 6-11");
    EXPECT_EQ(find_in(area, "CID = @auto"), "found 0-6");
    EXPECT_EQ(find_in(hex("00 00 00 00 00 02 00 01 cc"), "SID = @auto"), "none 9-9"); // code 0 ends the walk
    EXPECT_EQ(find_in(hex("00 01 00 00 00 02 00 02 cc"), "SID = @auto"), "none 9-9"); // so does an overrun
    EXPECT_EQ(find_in(hex("00 02 00"), "SID = @auto"), "none 3-3");

    // An IA is keyed by its IAID; one with only 3 data bytes never matches.
    // Written as a plain option it takes the first IA of its code.
    const bytes ias = cat({option(3, hex("00 00 01")), ia(3, 2, 0, 0, {}), ia(3, 1, 0, 0, {}), option(4, u32(5))});
    EXPECT_EQ(find_in(ias, "IA_NA 1 { }"), "found 23-39");
    EXPECT_EQ(find_in(ias, "IA_PD 1 { }"), "none 47-47");
    EXPECT_EQ(find_in(ias, "3 = @auto"), "found 0-7");
    EXPECT_EQ(find_in(ias, "4 = @auto"), "found 39-47");
}

TEST(RelayWalks, GetMessageReachesAHandledTypeThroughAnyLayers)
{
    const bytes reply = message(7, 0x0a0b0c, client_id(1));
    const bytes nested = relay_reply(cat({option(18, text("eth0")), option(9, relay_reply(option(9, reply)))}));
    EXPECT_EQ(get_message(nested), "found 84-106");
    EXPECT_EQ(strip(nested), "found 84-106");
    EXPECT_EQ(strip(reply), "found 0-22");

    // Types that answer or name a client; a RENEW is stripped to but not taken.
    for (unsigned type = 0; type < 256; ++type) {
        const bool handled = type == 1 || type == 2 || type == 3 || type == 7 || type == 8 || type == 9;
        EXPECT_EQ(get_message(message(type, 1, {})), handled ? "found 0-4" : "none 0-4") << type;
        if (type != 12 && type != 13) {
            EXPECT_EQ(get_message(relay_reply(option(9, message(type, 1, {})))), handled ? "found 38-42" : "none 38-42");
        }
    }
    EXPECT_EQ(strip(relay_reply(option(9, message(5, 1, {})))), "found 38-42");
}

TEST(RelayWalks, MalformedWrappersLeaveTheRangeOnTheLastLayer)
{
    for (const bytes& bad : {relay_reply(option(18, text("eth0"))), relay_reply(hex("00 09 00 ff 07 00 00 01")),
                             relay_reply(cat({hex("00 00 00 00"), option(9, message(7, 1, {}))})),
                             relay_reply(option(9, hex("07 00 01"))), relay_reply({}), bytes(33, 12)}) {
        const bytes outer = bad.size() == 33 ? bad : relay_reply(option(9, bad));
        const std::string on_bad = "none " + std::to_string(outer.size() - bad.size()) + "-" + std::to_string(outer.size());
        EXPECT_EQ(get_message(outer), on_bad) << to_hex(bad);
        EXPECT_EQ(strip(outer), "found" + on_bad.substr(4)) << to_hex(bad);
        // Nothing to answer: no request is built from it.
        client c(1);
        EXPECT_FALSE(c.answer(*scenario(builtin("REQUEST")), outer)) << to_hex(bad);
    }
}

TEST(RelayWalks, FindNextMessageEntersOneMatchingLayer)
{
    const auto scenario_relay = scenario("RELAY 2001:db8:1::1 => fe80::1 { }")->relays_.at(0);
    auto next = [&](const bytes& data) {
        return walked(data, [&](const char*& b, const char*& e) { return scenario_relay->find_next_message(b, e); });
    };
    const bytes layer = relay(12, 0, link_a, peer_a, cat({option(18, text("eth0")), option(9, message(1, 7, {}))}));
    EXPECT_EQ(next(layer), "found 46-50");
    EXPECT_EQ(next(relay(12, 0, link_a, peer_a, option(9, layer))), "found 38-88");
    bytes other_hop = layer, other_link = layer, other_peer = layer, not_relay = layer;
    other_hop[1] = 1, other_link[17] ^= 1, other_peer[33] ^= 1, not_relay[0] = 1;
    for (const bytes& other : {other_hop, other_link, other_peer, not_relay, relay(12, 0, link_a, peer_a, {}), bytes(33, 12)})
        EXPECT_EQ(next(other), "none 0-" + std::to_string(other.size())) << to_hex(other);
}
