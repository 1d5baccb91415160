// Relay layers written once for every client: each client's link-address
// and relay options as its link and number make them, the same bytes in
// every message of the client, and the links a link-address prefix holds.
#include "main/access_options.hpp"
#include "main/options.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

using namespace wire_bytes;
namespace q = zarn::quorvelin;

namespace {

const char* const relays = "RELAY 2001:db8:ffff::1 => 2001:db8:100::1 { INTERFACE_ID = \"agg\" },\n"
                           "RELAY 2001:db8:1000::1/48 => fe80::1 {\n"
                           "  INTERFACE_ID = \"olt-{link:03}\",\n"
                           "  REMOTE_ID = 9L \"line-{client:x}\"\n"
                           "}";

// The option `code` (header included) among a relay layer's options.
bytes layer_option(const bytes& layer, unsigned code)
{
    // find() reads options after a 4-byte header; a layer's come after 34.
    return find(bytes(layer.begin() + 30, layer.end()), code);
}

// The data of the Relay Message option of a layer: the layer inside it.
bytes inside(const bytes& layer)
{
    const bytes relayed = layer_option(layer, 9);
    return relayed.size() < 4 ? bytes{} : bytes(relayed.begin() + 4, relayed.end());
}

// The innermost layer of a message in two layers: its link-address,
// Interface-ID and Remote-ID (hex), as "link-address interface-id remote-id".
std::string innermost(const bytes& m)
{
    const bytes layer = inside(m);
    if (layer.size() < 34)
        return "no inner layer";
    const std::string link = to_hex(bytes(layer.begin() + 2, layer.begin() + 18));
    const bytes id = layer_option(layer, 18), remote = layer_option(layer, 37);
    if (id.size() < 4 || remote.size() < 4)
        return link + " no options";
    return link + " " + std::string(id.begin() + 4, id.end()) + " " + to_hex(bytes(remote.begin() + 4, remote.end()));
}

struct relay_templates : ::testing::Test {
    relay_templates() { g_opt_links = 4; }
    ~relay_templates() override { g_opt_links = 1; }
};

} // namespace

TEST_F(relay_templates, EachClientCarriesItsLinksAddressAndItsOwnOptionsInEveryMessage)
{
    auto solicit = relayed(builtin("SOLICIT"), relays);
    auto request = relayed(builtin("REQUEST"), relays);
    const struct {
        int client;
        const char* expected;
    } rows[] = {
        {0, "20 01 0d b8 10 00 00 00 00 00 00 00 00 00 00 01 olt-000 00 00 00 09 6c 69 6e 65 2d 30"},
        {5, "20 01 0d b8 10 00 00 01 00 00 00 00 00 00 00 01 olt-001 00 00 00 09 6c 69 6e 65 2d 35"},
        {0x1ff, "20 01 0d b8 10 00 00 03 00 00 00 00 00 00 00 01 olt-003 00 00 00 09 6c 69 6e 65 2d 31 66 66"},
    };
    for (const auto& r : rows) {
        client c(r.client);
        ASSERT_TRUE(c.start(*solicit));
        EXPECT_EQ(innermost(c.sent()), r.expected) << r.client;
        // Its REQUEST repeats the layer byte for byte.
        const bytes reply = relay(13, 1, "2001:db8:ffff::1", "2001:db8:100::1",
                                  option(9, relay(13, 0, "2001:db8:1000::1", "fe80::1",
                                                  option(9, answer(2, inside(inside(c.sent())))))));
        ASSERT_TRUE(c.answer(*request, reply));
        EXPECT_EQ(innermost(c.sent()), r.expected) << r.client;
    }
}

TEST_F(relay_templates, APrefixRefusesMoreLinksThanItHolds)
{
    g_opt_scenario = {relayed(builtin("SOLICIT"), relays)};
    g_opt_links = 65536;
    EXPECT_EQ(error_of([] { check_link_templates(); }), "accepted");
    g_opt_links = 65537;
    EXPECT_EQ(error_of([] { check_link_templates(); }),
              "--links 65537 leaves the link-address prefix 2001:db8:1000::1/48: from its written address on, it "
              "holds 65536 links of /64");
    g_opt_scenario = {relayed(builtin("SOLICIT"), "RELAY 2001:db8:1000:fff0::1/48 => fe80::1 { }")};
    g_opt_links = 17;
    EXPECT_NE(error_of([] { check_link_templates(); }).find("it holds 16 links of /64"), std::string::npos);
    g_opt_scenario.clear();
}
