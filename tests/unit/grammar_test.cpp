// The scenario grammar: the trees it builds from whole texts, and the errors
// it reports for texts it rejects.
#include "scenario/parser.hpp"
#include "scenario/scanner.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>

#include <sstream>
#include <string>
#include <vector>

using namespace zarn::quorvelin;
using morvo::network::internet6_address;
using bytes = std::vector<unsigned char>;

namespace {

std::shared_ptr<top_param> parse(const std::string& text)
{
    std::istringstream in(text);
    scanner lexer(&in);
    auto root = std::make_shared<top_param>();
    parser grammar(lexer, root);
    EXPECT_EQ(grammar.parse(), 0);
    return root;
}

// The message of the exception a text raises, or "accepted".
std::string error_of(const std::string& text)
{
    try {
        parse(text);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "accepted";
}

std::string dump_of(const param& node)
{
    std::ostringstream os;
    node.dump(os, 0);
    return os.str();
}

internet6_address addr(const char* text)
{
    internet6_address a;
    EXPECT_EQ(inet_pton(AF_INET6, text, a.data()), 1) << text;
    return a;
}

template <class Node>
std::shared_ptr<Node> child(const param& parent, std::size_t i)
{
    EXPECT_LT(i, parent.params_.size());
    if (i >= parent.params_.size())
        return nullptr;
    auto node = std::dynamic_pointer_cast<Node>(parent.params_[i]);
    EXPECT_TRUE(node) << "child " << i << " has another class";
    return node;
}

bytes text_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

std::vector<bytes> alternatives(const option_param& option)
{
    return std::vector<bytes>(option.values_.begin(), option.values_.end());
}

} // namespace

TEST(Grammar, BuiltInDefaultsBuildAutomaticMessages)
{
    const std::pair<const char*, int> defaults[] = {{"SOLICIT", 1}, {"REQUEST", 3}, {"RELEASE", 8}};
    for (const auto& message : defaults) {
        SCOPED_TRACE(message.first);
        auto root = parse(std::string(message.first) + " { CID = @auto, SID = @auto, IA_NA 1 { IAADDR = @auto } }");
        EXPECT_EQ(root->type_, message.second);
        EXPECT_EQ(root->code_, 0);
        EXPECT_TRUE(root->relays_.empty());
        ASSERT_EQ(root->params_.size(), 3u);
        for (int i : {0, 1}) {
            auto option = child<option_param>(*root, i);
            ASSERT_TRUE(option);
            EXPECT_EQ(option->code_, i + 1);
            EXPECT_TRUE(option->is_auto_);
            EXPECT_TRUE(option->values_.empty());
            EXPECT_EQ(option->type_, message.second);
        }
        auto ia = child<ia_param>(*root, 2);
        ASSERT_TRUE(ia);
        EXPECT_EQ(ia->code_, 3);
        EXPECT_EQ(ia->iaid_, 1u);
        EXPECT_EQ(ia->t1_, 0u);
        EXPECT_EQ(ia->t2_, 0u);
        EXPECT_EQ(ia->type_, message.second);
        auto address = child<option_param>(*ia, 0);
        ASSERT_TRUE(address);
        EXPECT_EQ(address->code_, 5);
        EXPECT_TRUE(address->is_auto_);
        EXPECT_EQ(address->type_, 0); // attached while its IA still had type 0
    }
}

TEST(Grammar, RequestWithValues)
{
    auto root = parse("REQUEST {\n"
                      "CID = 00-01-00-01-aa-bb-cc-dd, SID = @auto,\n"
                      "IA_NA 7 { T1 = 3600, T2 = infinity, IAADDR 2001:db8::10 { PTIME = 1800, VTIME = 3600 } },\n"
                      "39 = [ \"host-a\", \"host-b\" ], ELAPSED_TIME = 0 }\n");
    EXPECT_EQ(root->type_, 3);
    ASSERT_EQ(root->params_.size(), 5u);

    auto cid = child<option_param>(*root, 0);
    ASSERT_TRUE(cid);
    EXPECT_EQ(cid->code_, 1);
    EXPECT_EQ(alternatives(*cid), (std::vector<bytes>{{0x00, 0x01, 0x00, 0x01, 0xaa, 0xbb, 0xcc, 0xdd}}));

    auto sid = child<option_param>(*root, 1);
    ASSERT_TRUE(sid);
    EXPECT_TRUE(sid->is_auto_);

    auto ia = child<ia_param>(*root, 2);
    ASSERT_TRUE(ia);
    EXPECT_EQ(ia->iaid_, 7u);
    EXPECT_EQ(ia->t1_, 3600u);
    EXPECT_EQ(ia->t2_, 0xFFFFFFFFu);
    ASSERT_EQ(ia->params_.size(), 1u);
    auto iaaddr = child<iaaddr_param>(*ia, 0);
    ASSERT_TRUE(iaaddr);
    EXPECT_EQ(iaaddr->code_, 5);
    EXPECT_EQ(iaaddr->address_, addr("2001:db8::10"));
    EXPECT_EQ(iaaddr->ptime_, 1800u);
    EXPECT_EQ(iaaddr->vtime_, 3600u);

    auto fqdn = child<option_param>(*root, 3);
    ASSERT_TRUE(fqdn);
    EXPECT_EQ(fqdn->code_, 39);
    EXPECT_EQ(alternatives(*fqdn), (std::vector<bytes>{text_bytes("host-a"), text_bytes("host-b")}));
    EXPECT_EQ(fqdn->current_, fqdn->values_.end());

    auto elapsed = child<option_param>(*root, 4);
    ASSERT_TRUE(elapsed);
    EXPECT_EQ(elapsed->code_, 8);
    EXPECT_EQ(alternatives(*elapsed), (std::vector<bytes>{{0, 0}}));

    EXPECT_EQ(dump_of(*root),
              "3 RELAYS=0\n"
              "\n"
              "    [1] 1 = {0:1:0:1:aa:bb:cc:dd}\n"
              "    [2] 2 = @auto\n"
              "    [3] 3 IAID=7 T1=3600 T2=-1 OPTIONS=\n"
              "        [1] 5 2001:db8::10 PTIME=1800 VTIME=3600\n"
              "\n"
              "    [4] 39 = Any of\n"
              "            {68:6f:73:74:2d:61} \"host-a\"\n"
              "            {68:6f:73:74:2d:62} \"host-b\"\n"
              "    [5] 8 = {0:0}\n");
}

TEST(Grammar, RelayListInBothDirections)
{
    auto root = parse("RELAY 2001:db8:1::1 => fe80::1 { INTERFACE_ID = \"eth0\" },\n"
                      "RELAY 2001:db8:2::1 <= fe80::2 { }\n");
    EXPECT_EQ(root->type_, 0);
    EXPECT_TRUE(root->params_.empty());
    ASSERT_EQ(root->relays_.size(), 2u);

    const relay_param& outer = *root->relays_[0];
    EXPECT_EQ(outer.link_address_, addr("2001:db8:1::1"));
    EXPECT_EQ(outer.peer_address_, addr("fe80::1"));
    EXPECT_EQ(outer.hop_count_, 0);
    ASSERT_EQ(outer.params_.size(), 1u);
    auto interface_id = child<option_param>(outer, 0);
    ASSERT_TRUE(interface_id);
    EXPECT_EQ(interface_id->code_, 18);
    EXPECT_EQ(interface_id->type_, 0);
    EXPECT_EQ(alternatives(*interface_id), std::vector<bytes>{text_bytes("eth0")});

    const relay_param& inner = *root->relays_[1];
    EXPECT_EQ(inner.link_address_, addr("fe80::2"));
    EXPECT_EQ(inner.peer_address_, addr("2001:db8:2::1"));
    EXPECT_TRUE(inner.params_.empty());
}

TEST(Grammar, PrefixDelegationItems)
{
    auto root = parse("RENEW { IA_PD 9 { T2 = 7, IAPREFIX 2001:db8:ffff::/32 { VTIME = 2, PTIME = 1, VTIME = 3 },"
                      " IAPREFIX = @auto, 6 = 23 24 } }");
    EXPECT_EQ(root->type_, 5);
    auto ia = child<ia_param>(*root, 0);
    ASSERT_TRUE(ia);
    EXPECT_EQ(ia->code_, 25);
    EXPECT_EQ(ia->iaid_, 9u);
    EXPECT_EQ(ia->t2_, 7u);
    ASSERT_EQ(ia->params_.size(), 3u);
    auto prefix = child<iaprefix_param>(*ia, 0);
    ASSERT_TRUE(prefix);
    EXPECT_EQ(prefix->code_, 26);
    EXPECT_EQ(prefix->address_.to_string(), "2001:db8::/32");
    EXPECT_EQ(prefix->ptime_, 1u);
    EXPECT_EQ(prefix->vtime_, 3u);
    auto automatic = child<option_param>(*ia, 1);
    ASSERT_TRUE(automatic);
    EXPECT_EQ(automatic->code_, 26);
    EXPECT_TRUE(automatic->is_auto_);
    auto oro = child<option_param>(*ia, 2);
    ASSERT_TRUE(oro);
    EXPECT_EQ(alternatives(*oro), (std::vector<bytes>{{0, 23, 0, 24}}));
    for (const auto& item : ia->params_)
        EXPECT_EQ(item->type_, 0);
    EXPECT_EQ(ia->type_, 5);
}

TEST(Grammar, ValuesConcatenateAndBracketsMakeAlternatives)
{
    auto root = parse("SOLICIT { 99 = 1L 2, 15 = [ 1 2, \"ab\" ], 7 = empty, 16 = [ '\\x23' ::1 DE-AD ] }");
    ASSERT_EQ(root->params_.size(), 4u);

    auto concatenated = child<option_param>(*root, 0);
    ASSERT_TRUE(concatenated);
    EXPECT_EQ(concatenated->code_, 99);
    EXPECT_EQ(alternatives(*concatenated), (std::vector<bytes>{{0, 0, 0, 1, 0, 2}}));

    auto two = child<option_param>(*root, 1);
    ASSERT_TRUE(two);
    EXPECT_EQ(alternatives(*two), (std::vector<bytes>{{0, 1, 0, 2}, {0x61, 0x62}}));
    EXPECT_EQ(two->current_, two->values_.end());

    auto empty = child<option_param>(*root, 2);
    ASSERT_TRUE(empty);
    EXPECT_FALSE(empty->is_auto_);
    EXPECT_EQ(alternatives(*empty), std::vector<bytes>{bytes()});

    auto one = child<option_param>(*root, 3);
    ASSERT_TRUE(one);
    bytes expected = {'#', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xde, 0xad};
    EXPECT_EQ(alternatives(*one), std::vector<bytes>{expected});
}

TEST(Grammar, AcceptedEdgeCases)
{
    auto leading_comma = parse("SOLICIT { IA_NA 1 { , T1 = 5 } }");
    auto ia = child<ia_param>(*leading_comma, 0);
    ASSERT_TRUE(ia);
    EXPECT_EQ(ia->t1_, 5u);
    EXPECT_TRUE(ia->params_.empty());

    EXPECT_EQ(dump_of(*parse("SOLICIT { IA_NA 1 { } }")), "1 RELAYS=0\n\n    [1] 3 IAID=1 T1=0 T2=0 OPTIONS=\n");

    auto twice = parse("SOLICIT { IA_NA 1 { T1 = 5, T1 = 6 } }");
    ia = child<ia_param>(*twice, 0);
    ASSERT_TRUE(ia);
    EXPECT_EQ(ia->t1_, 6u);

    // Option names ignore case; the message keyword does not.
    EXPECT_EQ(dump_of(*parse("SOLICIT { cid = @auto }")), dump_of(*parse("SOLICIT { CID = @auto }")));
    EXPECT_EQ(child<option_param>(*parse("SOLICIT { request_option = 6 }"), 0)->code_, 6);
    EXPECT_EQ(error_of("solicit { CID = @auto }"), "syntax error at 1 line.");

    // Lists inside an IA address may be empty or open with a comma as well.
    auto address = parse("SOLICIT { IA_NA 1 { IAADDR ::1 { , PTIME = 4 }, IAADDR ::2 { } } }");
    ia = child<ia_param>(*address, 0);
    ASSERT_TRUE(ia);
    ASSERT_EQ(ia->params_.size(), 2u);
    EXPECT_EQ(child<iaaddr_param>(*ia, 0)->ptime_, 4u);

    // The dotted text ends the token stream; whatever follows is never read.
    auto cut = parse("SOLICIT { CID = @auto } 192.0.2.1 REQUEST ]]] ::: 70000");
    EXPECT_EQ(dump_of(*cut), dump_of(*parse("SOLICIT { CID = @auto }")));
    auto quoted_cut = parse("SOLICIT { CID = @auto } 'xy' }}}");
    EXPECT_EQ(quoted_cut->params_.size(), 1u);

    auto relay_leading_comma = parse("RELAY ::1 => ::2 { , 37 = 1L }");
    ASSERT_EQ(relay_leading_comma->relays_.size(), 1u);
    EXPECT_EQ(relay_leading_comma->relays_[0]->params_.size(), 1u);
}

TEST(Grammar, RejectedTextsAreSyntaxErrorsAtTheLookaheadLine)
{
    const char* const rejected[] = {
        "",
        "\n\n\n",
        "SOLICIT { }",
        "SOLICIT { CID = @auto } REQUEST { CID = @auto }",
        "SOLICIT { CID = @auto, }",
        "SOLICIT { , CID = @auto }",
        "SOLICIT { CID = @auto 5 }",
        "SOLICIT { CID = empty 5 }",
        "SOLICIT { CID = [ ] }",
        "SOLICIT { CID = [ , 1 ] }",
        "SOLICIT { CID = [ 1, ] }",
        "SOLICIT { CID = [ 1 ], 2 }",
        "SOLICIT { CID = }",
        "SOLICIT { CID = 192.0.2.1 }",
        "SOLICIT { CID = @auto };",
        "SOLICIT { CID = ( 1 ) }",
        "SOLICIT { CID != 1 }",
        "SOLICIT { REQUEST_OPTION = 1 }",
        "SOLICIT { IA_NA 1 { PTIME = 5 } }",
        "SOLICIT { IA_NA 1 { T1 = 5, } }",
        "SOLICIT { IA_NA 1 { , , T1 = 5 } }",
        "SOLICIT { IA_NA 1L { } }",
        "SOLICIT { IA_PD 1 { IAADDR = @auto } }",
        "SOLICIT { IA_NA 1 { IAPREFIX = @auto } }",
        "SOLICIT { IA_PD 1 { IAPREFIX ::1 { } } }",
        "SOLICIT { IA_NA 1 { IAADDR ::1 { PTIME = infinity } } }",
        "SOLICIT { IA_NA 1 { IAADDR ::1 { T1 = 5 } } }",
        "SOLICIT { IA_NA 1 { IAADDR = empty } }",
        "SOLICIT { T1 = 5 }",
        "SOLICIT { IAADDR = @auto }",
        "SOLICIT { CID = @auto } RELAY ::1 => ::2 { }",
        "RECONFIGURE { CID = @auto }",
        "INFORMATION_REQUEST { CID = @auto }",
        "LEASEQUERY { CID = @auto }",
        "RELAY ::1 => ::2 { },",
        "RELAY ::1 => ::2 { IA_NA 1 { } }",
        "RELAY ::1 => ::2",
        "RELAY ::1 = ::2 { }",
    };
    for (const char* text : rejected)
        EXPECT_EQ(error_of(text), "syntax error at 1 line.") << text;
}

TEST(Grammar, SyntaxErrorCarriesTheScannerLine)
{
    EXPECT_EQ(error_of("SOLICIT { CID = @auto }\n REQUEST { CID = @auto }"), "syntax error at 2 line.");
    EXPECT_EQ(error_of("SOLICIT {\n  CID = @auto,\n  }"), "syntax error at 3 line.");
    // A token at the very start of a line keeps the line of the last skipped
    // character before the line break.
    EXPECT_EQ(error_of("SOLICIT {\n  CID = @auto,\n}"), "syntax error at 2 line.");
    EXPECT_EQ(error_of("SOLICIT { CID = @auto,\n\n\n\t"), "syntax error at 4 line.");
}

TEST(Grammar, UnknownOptionNameIsReportedWithoutLine)
{
    for (const char* text : {"SOLICIT { NOSUCH = @auto }", "SOLICIT { NOSUCH = empty }", "SOLICIT { NOSUCH = 1 }",
                             "SOLICIT { NOSUCH = }", "SOLICIT { NOSUCH = ] }", "SOLICIT { IA_NA 1 { NOSUCH = } }",
                             "RELAY ::1 => ::2 { NOSUCH = }"})
        EXPECT_EQ(error_of(text), "NOSUCH : undefined option-name") << text;
    // Once the option exists, a missing value is a plain syntax error.
    EXPECT_EQ(error_of("SOLICIT { CID = }"), "syntax error at 1 line.");
}

TEST(Grammar, ScannerErrorsPassThrough)
{
    EXPECT_EQ(error_of("SOLICIT { IA_NA 1 { T1 = 65535 } }"), "accepted");
    EXPECT_THROW(parse("SOLICIT { IA_NA 1 { T1 = 70000 } }"), boost::bad_lexical_cast);
    EXPECT_THROW(parse("SOLICIT { 1 = 4294967296L }"), boost::bad_lexical_cast);
    EXPECT_THROW(parse("RELAY 1:2 => ::1 { }"), boost::system::system_error);
}

TEST(Grammar, NulByteIsASyntaxErrorOnItsLine)
{
    using namespace std::string_literals;
    EXPECT_EQ(error_of("SOLICIT { CID = @auto }\n\0"s), "syntax error at 2 line.");
    EXPECT_EQ(error_of("SOLICIT {\n 5 = 1 \"\0\" }"s), "syntax error at 2 line.");
    EXPECT_EQ(error_of("SOLICIT { 5 = 1 '\0' }"s), "syntax error at 1 line.");
    EXPECT_EQ(error_of("\0SOLICIT { CID = @auto }"s), "syntax error at 1 line.");
}
