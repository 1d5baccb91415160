// Scenarios. The scanner and grammar and the tree they build: each row is a
// whole scenario text and either the tree's debug-log dump (relay layers
// after it, one "RELAY link peer hop" line each) or the exact error the text
// raises. Then loading from files: comments, the built-in defaults, errors
// that file nothing, relay lists and what they change, the debug-log dumps,
// and the example files shipped with the program.
#include "main/options/options.hpp"
#include "message/fixed_size.hpp"
#include "scenario/load.hpp"
#include "../support/wire_bytes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

using namespace zarn::quorvelin;
using namespace std::string_literals;
using wire_bytes::dump_of;
using wire_bytes::error_of;
namespace fs = std::filesystem;

namespace {

// The tree of a text, or the error it raises.
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

const std::string two_relays = "RELAY 2001:db8:1::1 => fe80::1 { INTERFACE_ID = \"eth0\" },\n"
                               "RELAY 2001:db8:2::1 <= fe80::2 { }\n";

class Loading : public ::testing::Test {
protected:
    Loading() { reset(); }
    ~Loading() override
    {
        reset();
        fs::remove_all(dir_);
    }
    static void reset()
    {
        g_opt_scenario.clear();
        g_opt_send_addr = boost::asio::ip::make_address_v6("ff02::1:2");
        g_opt_recv_port = 546;
        g_opt_log.reset();
    }

    std::string file(const std::string& text)
    {
        const auto path = dir_ / std::to_string(++files_);
        std::ofstream(path) << text;
        return path;
    }

    // The dump of every loaded message, or the loading error.
    std::string load(std::vector<std::string> files)
    {
        std::string dumps;
        const std::string error = error_of([&] {
            load_scenarios(files);
            for (const auto& message : g_opt_scenario)
                dumps += dump_of(*message);
        });
        return error == "accepted" ? dumps : error;
    }

    std::ostringstream& log()
    {
        auto stream = std::make_unique<std::ostringstream>();
        auto& text = *stream;
        g_opt_log = std::move(stream);
        return text;
    }

    fs::path dir_ = fs::path(::testing::TempDir()) / ("quorvelin-load-" + std::to_string(::getpid()));
    bool made_ = fs::create_directories(dir_);
    int files_ = 0;
};

std::string builtin_dumps(const char* relays = "0")
{
    std::string out;
    for (const char* type : {"1", "3", "8"})
        out += type + " RELAYS="s + relays + "\n\n    [1] 1 = @auto\n    [2] 2 = @auto\n" +
               "    [3] 3 IAID=1 T1=0 T2=0 OPTIONS=\n        [1] 5 = @auto\n\n";
    return out;
}

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

// With a debug log, each message's dump goes there as it is loaded; a file
// that fails files nothing.
TEST_F(Loading, FilesGiveTheirMessagesOrAnErrorThatFilesNothing)
{
    const std::string solicit = "SOLICIT { CID = @auto }\n", missing = (dir_ / "missing").string(),
                      directory = dir_.string(), dangling = (dir_ / "link"), big = file(solicit + std::string(1 << 20, ' '));
    fs::create_symlink(missing, dangling);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, builtin_dumps()},
        // Comments are cut at the first "#" of every line, also in quotes: the
        // quote then pairs with the next one, across the line break.
        {{file("SOLICIT { CID = @auto } # a remark, SID = @auto }")}, "1 RELAYS=0\n\n    [1] 1 = @auto\n"},
        {{file("SOLICIT { 5 = \"ab#cd\"\n\" }")}, "1 RELAYS=0\n\n    [1] 5 = {61:62:a}\n"},
        {{file("SOLICIT { 5 = 1 \"# \"\n}")}, "1 RELAYS=0\n\n    [1] 5 = {0:1}\n"},
        {{file("SOLICIT { 5 = '\\x23' }\r\n")}, "1 RELAYS=0\n\n    [1] 5 = {23} \"#\"\n"},
        {{file(solicit + std::string((1 << 20) - 24, ' '))}, "1 RELAYS=0\n\n    [1] 1 = @auto\n"}, // 1 MiB
        {{file(two_relays), file("RENEW { SID = @auto }")}, "5 RELAYS=2\n\n    [1] 2 = @auto\n"}, // no relay dump
        {{file("# nothing\n#but remarks\n\n")}, "syntax error at 1 line."},
        {{file("SOLICIT { CID = @auto }\n\0\0"s)}, "syntax error at 2 line."},
        {{file(two_relays), file("SOLICIT { FOO = 1 }")}, "FOO : undefined option-name"},
        {{missing}, missing + " Can't open file"},
        {{dangling}, dangling + " Can't open file"},
        {{directory}, directory + " Can't open file (not a regular file)"},
        {{big}, big + " Can't open file (larger than 1 MiB)"},
    };
    for (const auto& c : cases) {
        reset();
        auto& debug_log = log();
        const std::string outcome = load(c.first);
        EXPECT_EQ(outcome, c.second);
        EXPECT_EQ(debug_log.str(), outcome.find("RELAYS=") == std::string::npos ? "" : outcome);
        EXPECT_EQ(g_opt_scenario.empty(), outcome.find("RELAYS=") == std::string::npos);
    }
}

TEST_F(Loading, RelayListWrapsTheMessagesAfterItAndMovesServerAndPort)
{
    const auto solicit = file("SOLICIT { CID = @auto }"), relays = file(two_relays), renew = file("RENEW { SID = @auto }");
    EXPECT_EQ(load({solicit, relays, renew, renew}),
              "1 RELAYS=0\n\n    [1] 1 = @auto\n5 RELAYS=2\n\n    [1] 2 = @auto\n5 RELAYS=2\n\n    [1] 2 = @auto\n");
    EXPECT_EQ(g_opt_scenario[1]->relays_, g_opt_scenario[2]->relays_); // the same layers, in file order
    EXPECT_EQ(g_opt_scenario[1]->relays_.at(0)->link_address_.to_string(), "2001:db8:1::1");
    // Hop counts as relay agents set them: the layer next to the client 0.
    EXPECT_EQ(g_opt_scenario[1]->relays_[0]->hop_count_, 1);
    EXPECT_EQ(g_opt_scenario[1]->relays_[1]->hop_count_, 0);
    EXPECT_EQ(g_opt_send_addr, boost::asio::ip::make_address_v6("ff05::1:3"));
    EXPECT_EQ(g_opt_recv_port, 547);

    reset();
    g_opt_send_addr = boost::asio::ip::make_address_v6("2001:db8::1");
    EXPECT_EQ(load({relays}), builtin_dumps("2"));
    EXPECT_EQ(g_opt_send_addr, boost::asio::ip::make_address_v6("2001:db8::1"));
    EXPECT_EQ(g_opt_recv_port, 547);

    reset();
    EXPECT_EQ(load({relays, solicit, relays}), "can't set many relay files");
}

// What no reply can change, without and with the 18-byte Client Identifier
// of the generated identity that a scenario's first message copies; a
// message or relay list that no client could ever send is refused, naming
// its file ("{0}" and "{1}" stand for the files in command-line order). A
// relay layer's texts are templates of the client: a malformed one, or a
// link-address prefix that holds no /64, is refused with the file and line;
// braces in a message's texts are sent as written.
TEST_F(Loading, RefusesWhatNoClientCouldEverSend)
{
    const std::tuple<std::string, std::string, std::size_t, std::size_t> sizes[] = {
        {"", "SOLICIT { CID = @auto }", 4, 22},
        {"", "SOLICIT { CID = @auto, SID = 00-01, IA_NA 1 { IAADDR = @auto } }", 4 + 16, 22 + 16},
        {"", "REQUEST { SID = 00-01, CID = @auto, ELAPSED_TIME = 0 }", 4 + 6 + 6, 22 + 6 + 6},
        {"", "RENEW { USER_CLASS = [ 1 \"a\", 5 \"abcdef\", 7 ], 7 = empty }", 4 + 12 + 4, 4 + 12 + 4},
        {"", "REBIND { IA_NA 1 { IAADDR 2001:db8::1 { PTIME = 1 } }, IA_PD 2 { T1 = 5, IAPREFIX :: /0 { } } }",
         4 + 16 + 28 + 16 + 29, 4 + 16 + 28 + 16 + 29},
        {"RELAY ::1 => ::2 { INTERFACE_ID = [ \"eth0\", \"e1\" ], REMOTE_ID = @auto }, RELAY ::3 => ::4 { }",
         "DECLINE { CID = @auto }", 4 + 38 + 8 + 38, 22 + 38 + 8 + 38}};
    for (const auto& [relays, message, size, first_size] : sizes) {
        reset();
        load(relays.empty() ? std::vector<std::string>{file(message)} : std::vector<std::string>{file(relays), file(message)});
        EXPECT_EQ(fixed_part_size(*g_opt_scenario.back()), size) << message;
        EXPECT_EQ(fixed_part_size(*g_opt_scenario.back(), true), first_size) << message;
    }

    auto request = [](std::size_t size) { return "REQUEST { 99 = \"" + std::string(size - 8, 'x') + "\" }"; };
    auto relays = [](std::size_t count, std::size_t id) { // the first with an Interface-Id of `id` bytes
        std::string text = "RELAY ::1 => ::2 { INTERFACE_ID = \"" + std::string(id, 'i') + "\" }";
        for (std::size_t i = 1; i < count; ++i)
            text += ", RELAY ::3 => ::4 { }";
        return text;
    };
    const std::string too_long = " needs at least 1500 bytes with its relay layers; at most 1499 can be sent";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{request(1499)}, "accepted"},
        {{request(1500)}, "{0}: the REQUEST needs at least 1500 bytes; at most 1499 can be sent"},
        {{"SOLICIT { 99 = [ \"a\", \"" + std::string(1492, 'x') + "\" ] }"},
         "{0}: the SOLICIT needs at least 1500 bytes; at most 1499 can be sent"},
        {{relays(32, 0)}, "accepted"},
        {{relays(33, 0), request(1500)}, "{0}: relay list of 33 layers; at most 32 are supported"},
        {{relays(1, 0), request(1499 - 42)}, "accepted"},
        {{relays(1, 0), request(1500 - 42)}, "{1}: the REQUEST" + too_long},
        {{request(1460), relays(1, 0)}, "accepted"}, // loaded before the relay file: not wrapped
        // The built-in SOLICIT: 20 bytes and the client's 18-byte identity.
        {{relays(1, 1499 - 38 - 38 - 4)}, "accepted"},
        {{relays(1, 1500 - 38 - 38 - 4)}, "{0}: the built-in SOLICIT" + too_long},
        {{"RELAY ::1 => ::2 {\n  INTERFACE_ID = \"olt-{lnk}\"\n}"},
         "{0}: line 2: the text \"olt-{lnk}\": unknown variable {lnk}: use {client} or {link}"},
        {{"RELAY 2001:db8::1/65 => ::2 { }"},
         "{0}: line 1: a link-address prefix of /65: it takes /1 to /64, each link being a /64 of it"},
        {{"RELAY ::1 <= 2001:db8::1/48 { INTERFACE_ID = \"olt-{link:04x}\" }"}, "accepted"},
        {{"SOLICIT { CID = @auto, 16 = \"{not a template\" }"}, "accepted"},
    };
    for (const auto& c : cases) {
        reset();
        std::vector<std::string> paths;
        std::string expected = c.second;
        for (const auto& text : c.first) {
            paths.push_back(file(text));
            const std::string mark = "{" + std::to_string(paths.size() - 1) + "}";
            if (expected.find(mark) != std::string::npos)
                expected.replace(expected.find(mark), mark.size(), paths.back());
        }
        EXPECT_EQ(error_of([&] { load_scenarios(paths); }), expected) << c.first.back();
    }
}

// Every example directory is one command line's worth of files, named so
// that the shell's sorted glob gives the message order.
TEST_F(Loading, ExamplesLoad)
{
    std::map<std::string, std::vector<std::string>> directories;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(QUORVELIN_SOURCE_DIR) / "examples"))
        if (entry.path().extension() == ".scn")
            directories[entry.path().parent_path().filename()].push_back(entry.path());
    std::string types; // per directory, each message's type and number of relay layers
    for (auto& directory : directories) {
        std::sort(directory.second.begin(), directory.second.end());
        ASSERT_EQ(error_of([&] { load_scenarios(directory.second); }), "accepted") << directory.first;
        types += directory.first + ":";
        for (const auto& message : g_opt_scenario)
            types += " " + std::to_string(message->type_) + std::to_string(message->relays_.size());
        types += "; ";
        reset();
    }
    EXPECT_EQ(types, "address-and-prefix: 10 30 80; alternatives: 10 30 80; default: 10 30 80; "
                     "population-prefix: 60 80 50; prefix-delegation: 10 30 80; rapid-commit: 10 80; relay: 12 32 82; renew: 10 30 50 80; ");
    EXPECT_EQ(load(directories["default"]), builtin_dumps());
}
