// Relay layers written once for every client. Per-client relay option
// text: each row a template, a client and its link, and the text it makes,
// or where and why the template is refused. Then each client's link-address
// and relay options as its link and number make them, the same bytes in
// every message of the client, and the links a link-address prefix holds.
#include "main/options/access_options.hpp"
#include "main/options/options.hpp"
#include "message/client/client_template.hpp"
#include "../support/wire_bytes.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace wire_bytes;
using zarn::quorvelin::client_template;
using zarn::quorvelin::template_error;

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

TEST(ClientTemplate, ExpandsClientAndLinkInDecimalAndHexWithWidths)
{
    const struct {
        const char* text;
        std::uint64_t client;
        std::uint32_t link;
        const char* expected;
    } rows[] = {
        {"olt-{link}", 1234, 34, "olt-34"},
        {"line-{client}", 1234, 34, "line-1234"},
        {"{client:6}", 42, 2, "000042"},
        {"{client:2}", 12345, 5, "12345"}, // a width pads, never cuts
        {"{link:x}/{link:04x}", 0, 255, "ff/00ff"},
        {"port-{link:4}:{client:08x}", 3000001, 1, "port-0001:002dc6c1"},
        {"{{literal}} {client}", 7, 7, "{literal} 7"},
        {"{client}{link}{client}", 9, 1, "919"},
        {"{client:10}", 4294967295u, 0, "4294967295"},
        // A fleet of population segments numbers its clients past 32 bits.
        {"{client:10}/{client:08x}", 8589934591u, 0, "8589934591/1ffffffff"},
        // No template: sent as written.
        {"", 1, 1, nullptr},
        {"eth0", 1, 1, nullptr},
    };
    for (const auto& r : rows) {
        const auto t = client_template::parse(r.text);
        ASSERT_EQ(bool(t), r.expected != nullptr) << r.text;
        if (t) {
            EXPECT_EQ(t->expand(r.client, r.link), r.expected) << r.text;
            EXPECT_EQ(t->text(), r.text);
        }
    }
}

TEST(ClientTemplate, RefusesMalformedTemplatesNamingTheOffset)
{
    const struct {
        const char* text;
        std::size_t offset;
        const char* what;
    } rows[] = {
        {"olt-{lnk}", 4, "unknown variable {lnk}: use {client} or {link}"},
        {"{}", 0, "unknown variable {}: use {client} or {link}"},
        {"x{client:11}", 1, "{client:11}: a width of 11 does not fit: a decimal number has at most 10 digits"},
        {"{link:9x}", 0, "{link:9x}: a width of 9 does not fit: a hexadecimal number has at most 8 digits"},
        {"{link:123}", 0, "{link:123}: a width of 123 does not fit: a decimal number has at most 10 digits"},
        {"{link:-1}", 0, "{link:-1}: the format is digits for the width, then x for hexadecimal, such as {link:6} "
                         "or {link:04x}"},
        {"line-{client", 5, "a '{' that is never closed (write {{ for the character)"},
        {"a}b", 1, "a '}' that closes no variable (write }} for the character)"},
    };
    for (const auto& r : rows) {
        try {
            client_template::parse(r.text);
            ADD_FAILURE() << r.text << " accepted";
        } catch (const template_error& e) {
            EXPECT_EQ(std::string(e.what()), r.what) << r.text;
            EXPECT_EQ(e.offset, r.offset) << r.text;
        }
    }
}

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
