// Client messages wrapped in relay-forward layers (RFC 8415 section 9.1),
// their hop counts, and the relay options that stay fixed for all messages
// of one client.
#include "scenario/load.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

using namespace wire_bytes;
using namespace zarn::quorvelin;

namespace {

const char* const link_a = "2001:db8:1::1";
const char* const peer_a = "fe80::1";
const char* const link_b = "2001:db8:ffff::1";

const std::string header_a = "0c 00  20 01 0d b8 00 01 00 00 00 00 00 00 00 00 00 01 "
                             "fe 80 00 00 00 00 00 00 00 00 00 00 00 00 00 01 ";
const std::string header_b = "0c 01  20 01 0d b8 ff ff 00 00 00 00 00 00 00 00 00 01 "
                             "20 01 0d b8 00 01 00 00 00 00 00 00 00 00 00 01 ";

const std::string solicit_7 = "01 00 00 07  00 01 00 0e 00 01 00 01 00 00 00 00 00 00 00 00 00 07 "
                              "00 03 00 0c 00 00 00 01 00 00 00 00 00 00 00 00 ";
const std::string request_7 = "03 00 00 07  00 01 00 0e 00 01 00 01 00 00 00 00 00 00 00 00 00 07 "
                              "00 02 00 04 ca fe f0 0d "
                              "00 03 00 0c 00 00 00 01 00 00 00 00 00 00 00 00 ";
const std::string eth0 = "00 12 00 04 65 74 68 30 ";
const std::string eth1 = "00 12 00 04 65 74 68 31 ";

// The message in the relay layers, numbered as loading numbers them.
std::shared_ptr<top_param> wrapped(std::shared_ptr<top_param> message,
                                   std::vector<std::shared_ptr<relay_param>> relays)
{
    number_relay_hops(relays);
    message->relays_ = relays;
    return message;
}

// The server's answer to client n, relayed back through RELAY-REPL layers
// given outermost first, with the hop counts of the request (innermost 0);
// each echoes an Interface-Id before its Relay Message.
bytes relayed_reply(unsigned type, std::uint32_t n, const std::vector<std::pair<const char*, const char*>>& layers)
{
    bytes inner = message(type, n, cat({identity_cid(n), option(2, hex("ca fe f0 0d"))}));
    unsigned hops = 0;
    for (auto it = layers.rbegin(); it != layers.rend(); ++it)
        inner = relay_layer(13, hops++, it->first, it->second, cat({option(18, text("echo")), option(9, inner)}));
    return inner;
}

} // namespace

TEST(RelayLayers, OneLayerWrapsTheMessageAndKeepsEachClientsOptions)
{
    auto relay = relay_tree(link_a, peer_a, {fixed_option(18, {"eth0", "eth1"})});
    auto solicit = wrapped(default_tree(1), {relay});
    auto request = wrapped(default_tree(3), {relay});

    client first(7), second(7), third(7);
    ASSERT_TRUE(first.start(*solicit));
    EXPECT_EQ(to_hex(first.sent()), to_hex(hex(header_a + "00 09 00 26 " + solicit_7 + eth0)));
    ASSERT_TRUE(second.start(*solicit));
    EXPECT_EQ(to_hex(second.sent()), to_hex(hex(header_a + "00 09 00 26 " + solicit_7 + eth1)));

    // Later messages repeat the relay options of the client's first message,
    // whatever new clients meanwhile received.
    ASSERT_TRUE(first.answer(*request, relayed_reply(2, 7, {{link_a, peer_a}})));
    EXPECT_EQ(to_hex(first.sent()), to_hex(hex(header_a + "00 09 00 2e " + request_7 + eth0)));
    ASSERT_TRUE(third.start(*solicit));
    EXPECT_EQ(to_hex(third.sent()), to_hex(hex(header_a + "00 09 00 26 " + solicit_7 + eth0)));
    ASSERT_TRUE(second.answer(*request, relayed_reply(2, 7, {{link_a, peer_a}})));
    EXPECT_EQ(to_hex(second.sent()), to_hex(hex(header_a + "00 09 00 2e " + request_7 + eth1)));
}

TEST(RelayLayers, AlternativesRotatePerClientInATwoMessageScenario)
{
    // With one SOLICIT and one REQUEST per client, relay alternatives still
    // reach successive clients in turn.
    auto relay = relay_tree(link_a, peer_a, {fixed_option(18, {"eth0", "eth1"})});
    auto solicit = wrapped(default_tree(1), {relay});
    auto request = wrapped(default_tree(3), {relay});
    const std::string expected[] = {eth0, eth1, eth0, eth1};
    for (const auto& interface_id : expected) {
        client c(7);
        ASSERT_TRUE(c.start(*solicit));
        ASSERT_TRUE(c.answer(*request, relayed_reply(2, 7, {{link_a, peer_a}})));
        EXPECT_EQ(to_hex(c.sent()), to_hex(hex(header_a + "00 09 00 2e " + request_7 + interface_id)));
    }
}

TEST(RelayLayers, TwoLayersNestOutermostFirst)
{
    auto outer = relay_tree(link_b, link_a, {fixed_option(37, {std::string("\0\0\0\x09r1", 6), "r2"})});
    auto inner = relay_tree(link_a, peer_a, {fixed_option(18, {"eth0", "eth1"})});
    auto solicit = wrapped(default_tree(1), {outer, inner});
    auto request = wrapped(default_tree(3), {outer, inner});
    const std::string remote_r1 = "00 25 00 06 00 00 00 09 72 31";

    client c(7), other(7);
    ASSERT_TRUE(c.start(*solicit));
    EXPECT_EQ(to_hex(c.sent()), to_hex(hex(header_b + "00 09 00 54 " + header_a + "00 09 00 26 " + solicit_7 + eth0 +
                                           remote_r1)));
    ASSERT_TRUE(other.start(*solicit));
    EXPECT_EQ(to_hex(other.sent()), to_hex(hex(header_b + "00 09 00 54 " + header_a + "00 09 00 26 " + solicit_7 +
                                               eth1 + "00 25 00 02 72 32")));

    ASSERT_TRUE(c.answer(*request, relayed_reply(2, 7, {{link_b, link_a}, {link_a, peer_a}})));
    EXPECT_EQ(to_hex(c.sent()), to_hex(hex(header_b + "00 09 00 5c " + header_a + "00 09 00 2e " + request_7 + eth0 +
                                           remote_r1)));
}

TEST(RelayLayers, HopCountsRiseFromTheClientOutward)
{
    // RFC 8415 section 19.1.2: the relay next to the client sends hop-count
    // 0, each relay around it one more. The REQUEST finds every layer of the
    // client's SOLICIT again and repeats its options, although another
    // client meanwhile moved the relays on to their third alternatives.
    const std::vector<unsigned> cases[] = {{0}, {1, 0}, {2, 1, 0}};
    for (const auto& hops : cases) {
        SCOPED_TRACE(hops.size());
        std::vector<std::string> links, peers;
        std::vector<std::shared_ptr<relay_param>> relays;
        for (std::size_t i = 0; i < hops.size(); ++i) {
            links.push_back("2001:db8:" + std::to_string(i + 1) + "::1");
            peers.push_back("fe80::" + std::to_string(i + 1));
            relays.push_back(relay_tree(links[i].c_str(), peers[i].c_str(),
                                        {fixed_option(18, {"a" + std::to_string(i), "b" + std::to_string(i), "c" + std::to_string(i)})}));
        }
        // RELAY-FORW layers as the table numbers them, first alternatives.
        auto forwarded = [&](bytes inner) {
            for (std::size_t i = hops.size(); i-- > 0;)
                inner = relay_layer(12, hops[i], links[i].c_str(), peers[i].c_str(),
                                    cat({option(9, inner), option(18, text("a" + std::to_string(i)))}));
            return inner;
        };
        std::vector<std::pair<const char*, const char*>> layers;
        for (std::size_t i = 0; i < hops.size(); ++i)
            layers.emplace_back(links[i].c_str(), peers[i].c_str());

        auto solicit = wrapped(default_tree(1), relays);
        auto request = wrapped(default_tree(3), relays);
        client c(7), other(8);
        ASSERT_TRUE(c.start(*solicit));
        EXPECT_EQ(to_hex(c.sent()), to_hex(forwarded(hex(solicit_7))));
        ASSERT_TRUE(other.start(*solicit));

        const bytes advertise = relayed_reply(2, 7, layers);
        const char* begin = reinterpret_cast<const char*>(advertise.data());
        const char* end = begin + advertise.size();
        ASSERT_TRUE(relay_param::get_message(begin, end));
        EXPECT_EQ(to_hex(bytes(begin, end)), to_hex(message(2, 7, cat({identity_cid(7), option(2, hex("ca fe f0 0d"))}))));
        ASSERT_TRUE(c.answer(*request, advertise));
        EXPECT_EQ(to_hex(c.sent()), to_hex(forwarded(hex(request_7))));
    }
}

TEST(RelayLayers, OptionsAreCopiedOnlyFromAMatchingPreviousLayer)
{
    auto relay = relay_tree(link_a, peer_a, {fixed_option(18, {"eth0"})});
    auto request = wrapped(message_tree(3, {auto_option(1)}), {relay});
    const bytes reply = message(2, 7, identity_cid(7));
    auto build = [&](const bytes& previous) {
        bytes out(200);
        const char* q = reinterpret_cast<const char*>(previous.data());
        char* end = request->build_packet(reinterpret_cast<char*>(out.data()), reinterpret_cast<char*>(out.data()) + 200,
                                          reinterpret_cast<const char*>(reply.data()),
                                          reinterpret_cast<const char*>(reply.data()) + reply.size(), q,
                                          q + previous.size(), 0);
        out.resize(end - reinterpret_cast<char*>(out.data()));
        return out;
    };
    const bytes inner = message(3, 7, identity_cid(7));
    const std::string relay_message = "00 09 00 16 ";

    // Same hop count and addresses: the previous layer's options of the
    // relay's codes are repeated, others (99) and the Relay Message are not.
    const bytes matching = relay_layer(12, 0, link_a, peer_a,
                                       cat({option(9, message(1, 7, bytes())), option(18, text("zzzz")),
                                            option(99, text("x"))}));
    EXPECT_EQ(to_hex(build(matching)),
              to_hex(cat({hex(header_a + relay_message), inner, option(18, text("zzzz"))})));

    // Hop count 1 is another layer: the relay's own options are built fresh.
    bytes other_hop = matching;
    other_hop[1] = 1;
    EXPECT_EQ(to_hex(build(other_hop)), to_hex(cat({hex(header_a + relay_message), inner, hex(eth0)})));
}

TEST(RelayLayers, RepeatedAndAutomaticRelayOptions)
{
    // Two children with one code are each written once, and copied once each
    // later; an automatic relay option has no source and is left out.
    auto relay = relay_tree(link_a, peer_a, {fixed_option(18, {"a"}), auto_option(37), fixed_option(18, {"b"})});
    auto solicit = wrapped(message_tree(1, {auto_option(1)}), {relay});
    auto request = wrapped(message_tree(3, {auto_option(1)}), {relay});
    const std::string options = "00 12 00 01 61  00 12 00 01 62";

    client c(7);
    ASSERT_TRUE(c.start(*solicit));
    EXPECT_EQ(to_hex(c.sent()), to_hex(cat({hex(header_a + "00 09 00 16 01 00 00 07"), identity_cid(7), hex(options)})));
    ASSERT_TRUE(c.answer(*request, relayed_reply(2, 7, {{link_a, peer_a}})));
    EXPECT_EQ(to_hex(c.sent()), to_hex(cat({hex(header_a + "00 09 00 16 03 00 00 07"), identity_cid(7), hex(options)})));
}

TEST(RelayLayers, RestartedClientAnswersItsOwnLastRequest)
{
    // A restarted client's "reply" is its own last RELAY-FORW: unwrapped
    // like a RELAY-REPL, it keeps the transaction id and Client Identifier.
    auto relay = relay_tree(link_a, peer_a, {fixed_option(18, {"eth0"})});
    auto solicit = wrapped(default_tree(1), {relay});
    client before(7);
    ASSERT_TRUE(before.start(*solicit));

    client restarted(99);
    ASSERT_TRUE(restarted.answer(*solicit, before.sent()));
    EXPECT_EQ(to_hex(restarted.sent()), to_hex(hex(header_a + "00 09 00 26 " + solicit_7 + eth0)));
}

TEST(RelayLayers, RefusalTravelsUpThroughEveryLayer)
{
    auto outer = relay_tree(link_b, link_a, {});
    auto inner = relay_tree(link_a, peer_a, {fixed_option(18, {"eth0"})});
    client c(7);
    ASSERT_TRUE(c.start(*wrapped(default_tree(1), {outer, inner})));
    const bytes refused = relay_layer(
        13, 1, link_b, link_a,
        option(9, relay_layer(13, 0, link_a, peer_a, option(9, message(2, 7, ia_na(1, 0, 0, status(2, "")))))));
    EXPECT_FALSE(c.answer(*wrapped(default_tree(3), {outer, inner}), refused));
}
