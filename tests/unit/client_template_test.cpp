// Per-client relay option text: each row a template, a client and its
// link, and the text it makes, or where and why the template is refused.
#include "message/client_template.hpp"

#include <gtest/gtest.h>

#include <string>

using zarn::quorvelin::client_template;
using zarn::quorvelin::template_error;

TEST(ClientTemplate, ExpandsClientAndLinkInDecimalAndHexWithWidths)
{
    const struct {
        const char* text;
        std::uint32_t client, link;
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
        {"", 1, 1, ""},
    };
    for (const auto& r : rows) {
        const auto t = client_template::parse(r.text);
        if (std::string(r.text).empty()) {
            EXPECT_FALSE(t);
            continue;
        }
        ASSERT_TRUE(t) << r.text;
        EXPECT_EQ(t->expand(r.client, r.link), r.expected) << r.text;
        EXPECT_EQ(t->text(), r.text);
    }
    EXPECT_FALSE(client_template::parse("eth0")) << "no braces: sent as written";
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
