// The scenario scanner and grammar and the tree they build: each row is a
// whole scenario text and either the tree's debug-log dump (relay layers
// after it, one "RELAY link peer hop" line each) or the exact error the text
// raises.
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

using namespace zarn::quorvelin;
using namespace std::string_literals;
using wire_bytes::dump_of;
using wire_bytes::error_of;

namespace {

std::string outcome(const std::string& text)
{
    std::string out;
    const std::string error = error_of([&] {
        auto root = wire_bytes::scenario(text);
        out = dump_of(*root);
        for (const auto& r : root->relays_)
            out += "RELAY " + r->link_address_.to_string() + " " + r->peer_address_.to_string() + " " +
                   std::to_string(r->hop_count_) + dump_of(*r) + "\n";
    });
    return error == "accepted" ? out : error;
}

const std::string syntax_error = "syntax error at 1 line.";

} // namespace

TEST(Grammar, TextsGiveTheirTreeOrTheirError)
{
    const std::pair<std::string, std::string> cases[] = {
        {"REQUEST { CID = 00-01-aa-bb, SID = @auto,\n IA_NA 7 { T1 = 3600, T2 = infinity,"
         " IAADDR 2001:db8::10 { PTIME = 1800, VTIME = 3600 } },\n 39 = [ \"host-a\", \"h b\" ], ELAPSED_TIME = 0 }",
         "3 RELAYS=0\n\n    [1] 1 = {0:1:aa:bb}\n    [2] 2 = @auto\n    [3] 3 IAID=7 T1=3600 T2=-1 OPTIONS=\n"
         "        [1] 5 2001:db8::10 PTIME=1800 VTIME=3600\n\n    [4] 39 = Any of\n"
         "            {68:6f:73:74:2d:61} \"host-a\"\n            {68:20:62}\n    [5] 8 = {0:0}\n"},
        {"RENEW { IA_PD 9 { T2 = 7, IAPREFIX 2001:db8:ffff::/32 { VTIME = 2, PTIME = 1, VTIME = 3 },"
         " IAPREFIX 2001:db8::1/200 { }, IAPREFIX = @auto, 6 = 23 24 } }",
         "5 RELAYS=0\n\n    [1] 25 IAID=9 T1=0 T2=7 OPTIONS=\n        [1] 26 2001:db8::/32 PTIME=1 VTIME=3\n"
         "        [2] 26 2001:db8::1/128 PTIME=0 VTIME=0\n        [3] 26 = @auto\n        [4] 6 = {0:17:0:18}\n\n"},
        {"DECLINE { 99 = 1L 2, 15 = [ 1 2, \"ab\" ], 7 = empty, 16 = '\\x23' ::1 DE-AD }",
         "9 RELAYS=0\n\n    [1] 99 = {0:0:0:1:0:2}\n    [2] 15 = Any of\n            {0:1:0:2}\n            {61:62} \"ab\"\n"
         "    [3] 7 = Empty\n    [4] 16 = {23:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:1:de:ad}\n"},
        {"RELAY 2001:db8:1::1 => fe80::1 { INTERFACE_ID = \"eth0\" },\nRELAY 2001:db8:2::1 <= fe80::2 { , 37 = 1L }",
         "0 RELAYS=2\nRELAY 2001:db8:1::1 fe80::1 0\n [1] 18 = {65:74:68:30} \"eth0\"\n\n"
         "RELAY fe80::2 2001:db8:2::1 0\n [1] 37 = {0:0:0:1}\n\n"},
        // Names ignore case; the printed and the accepted name of 47 differ.
        {"SOLICIT { cid = @auto, client_relay_data = 1 }", "1 RELAYS=0\n\n    [1] 1 = @auto\n    [2] 47 = {0:1}\n"},
        {"SOLICIT { CLIENT_RELAY_DAYA = 1 }", "CLIENT_RELAY_DAYA : undefined option-name"},
        {"SOLICIT { IA_NA 1 { , T1 = 5, T1 = 6, IAADDR ::1 { , PTIME = 4 }, IAADDR ::2 { } } }",
         "1 RELAYS=0\n\n    [1] 3 IAID=1 T1=6 T2=0 OPTIONS=\n        [1] 5 ::1 PTIME=4 VTIME=0\n"
         "        [2] 5 ::2 PTIME=0 VTIME=0\n\n"},
        {"CONFIRM { IA_NA 1 { } }", "4 RELAYS=0\n\n    [1] 3 IAID=1 T1=0 T2=0 OPTIONS=\n"},
        // Tokens by longest match, and the values they carry.
        {"SOLICIT { 5 = 'A' '\\101' '\\X41' '\\777' ''' '\\' -5, 6 = DE-AD-BE-EF 00-11-223 12L 65535 4294967295l }",
         "1 RELAYS=0\n\n    [1] 5 = {41:41:41:ff:27:5c:0:5}\n    [2] 6 = {de:ad:be:ef:0:11:22:0:3:0:0:0:c:ff:ff:ff:ff:ff:ff}\n"},
        {"SOLICIT { 7 = \"\\n\" \"a\nb\" ::1 }", "1 RELAYS=0\n\n    [1] 7 = {5c:6e:61:a:62:0:0:0:0:0:0:0:0:0:0:0:0:0:0:0:1}\n"},
        {"SOLICIT { 1a = 1 }", "1a : undefined option-name"},
        {"SOLICIT { IA_PD 1 { IAPREFIX ::/2147483648 { } } }",
         "bad lexical cast: source type value could not be interpreted as target"},
        {"SOLICIT { 1 = 4294967296L }", "bad lexical cast: source type value could not be interpreted as target"},
        {"RELAY ::: => ::1 { }", "from_string: Invalid argument"},
        // A dotted quad or other single-quoted text ends the token stream:
        // what follows is never read.
        {"REBIND { CID = @auto } 192.0.2.1 REQUEST ]]] ::: 70000", "6 RELAYS=0\n\n    [1] 1 = @auto\n"},
        {"REBIND { CID = @auto } 'xy' ]]]", "6 RELAYS=0\n\n    [1] 1 = @auto\n"},
        {"SOLICIT { CID = 192.0.2.1 }", syntax_error},
        {"SOLICIT { NOSUCH = }", "NOSUCH : undefined option-name"},
        {"SOLICIT { IA_NA 1 { NOSUCH = @auto } }", "NOSUCH : undefined option-name"},
        {"RELAY ::1 => ::2 { NOSUCH = ] }", "NOSUCH : undefined option-name"},
        {"SOLICIT { IA_NA 1 { T1 = 70000 } }", "bad lexical cast: source type value could not be interpreted as target"},
        {"RELAY 1:2 => ::1 { }", "from_string: Invalid argument"},
        {"SOLICIT { CID = @auto }\n REQUEST { CID = @auto }", "syntax error at 2 line."},
        {"SOLICIT {\n  CID = @auto,\n  }", "syntax error at 3 line."},
        {"SOLICIT {\n  CID = @auto,\n}", "syntax error at 2 line."},
        {"SOLICIT { CID = @auto,\n\n\n\t", "syntax error at 4 line."},
        {"SOLICIT {\n 5 = 1 \"\0\" }"s, "syntax error at 2 line."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(outcome(c.first), c.second) << c.first;
}

TEST(Grammar, RejectedTextsAreSyntaxErrors)
{
    for (const char* text :
         {"", "\n\n\n", "solicit { CID = @auto }", "SOLICIT { }", "SOLICIT { CID = @auto } REQUEST { CID = @auto }",
          "SOLICIT { CID = @auto, }", "SOLICIT { , CID = @auto }", "SOLICIT { CID = @auto 5 }",
          "SOLICIT { CID = empty 5 }", "SOLICIT { CID = [ ] }", "SOLICIT { CID = [ , 1 ] }", "SOLICIT { CID = [ 1, ] }",
          "SOLICIT { CID = }", "SOLICIT { CID = @auto };", "SOLICIT { CID = ( 1 ) }", "SOLICIT { CID != 1 }",
          "SOLICIT { REQUEST_OPTION = 1 }", "SOLICIT { IA_NA 1 { PTIME = 5 } }", "SOLICIT { IA_NA 1 { T1 = 5, } }",
          "SOLICIT { IA_NA 1L { } }", "SOLICIT { IA_PD 1 { IAADDR = @auto } }", "SOLICIT { IA_NA 1 { IAPREFIX = @auto } }",
          "SOLICIT { IA_NA 1 { IAADDR ::1 { PTIME = infinity } } }", "SOLICIT { IA_NA 1 { IAADDR ::1 { T1 = 5 } } }",
          "SOLICIT { T1 = 5 }", "SOLICIT { CID = @auto } RELAY ::1 => ::2 { }", "RECONFIGURE { CID = @auto }",
          "INFORMATION_REQUEST { CID = @auto }", "LEASEQUERY { CID = @auto }", "RELAY ::1 => ::2 { },",
          "RELAY ::1 => ::2 { IA_NA 1 { } }", "RELAY ::1 = ::2 { }", "SOLICIT { 5 = 1 '\\0' }"})
        EXPECT_EQ(outcome(text), syntax_error) << text;
}
