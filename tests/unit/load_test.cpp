// Scenario loading: comment removal, filing messages and relay lists, the
// server address and port a relay list implies, the debug-log dump, the
// built-in defaults, and the example files shipped with the program.
#include "main/options.hpp"
#include "message/fixed_size.hpp"
#include "message/param.hpp"
#include "scenario/load.hpp"

#include <gtest/gtest.h>

#include <boost/asio/ip/address_v6.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace zarn::quorvelin;
namespace fs = std::filesystem;

namespace {

class Loading : public ::testing::Test {
protected:
    void SetUp() override { reset_globals(); }
    void TearDown() override
    {
        reset_globals();
        for (const auto& path : files_)
            fs::remove_all(path);
    }

    static void reset_globals()
    {
        g_opt_scenario.clear();
        g_opt_send_addr = boost::asio::ip::make_address_v6("ff02::1:2");
        g_opt_recv_port = 546;
        g_opt_log.reset();
    }

    void load(const std::string& text)
    {
        std::istringstream in(text);
        add_scene(in, relay_);
    }

    // The message of the exception loading a text raises, or "accepted".
    std::string error_of(const std::string& text)
    {
        try {
            load(text);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "accepted";
    }

    std::string write_file(const std::string& text)
    {
        char name[] = "/tmp/quorvelin-scenario-XXXXXX";
        const int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        close(fd);
        std::ofstream(name) << text;
        files_.push_back(name);
        return name;
    }

    std::ostringstream& log_to_string()
    {
        auto stream = std::make_unique<std::ostringstream>();
        auto& ref = *stream;
        g_opt_log = std::move(stream);
        return ref;
    }

    std::shared_ptr<top_param> relay_;
    std::vector<std::string> files_;
};

std::string dump_of(const param& node)
{
    std::ostringstream os;
    node.dump(os, 0);
    return os.str();
}

const char* const two_relays = "RELAY 2001:db8:1::1 => fe80::1 { INTERFACE_ID = \"eth0\" },\n"
                               "RELAY 2001:db8:2::1 <= fe80::2 { }\n";

} // namespace

TEST_F(Loading, CommentsAreCutAtTheFirstHash)
{
    load("SOLICIT { CID = @auto } # a remark, SID = @auto }");
    load("SOLICIT { CID = @auto }");
    ASSERT_EQ(g_opt_scenario.size(), 2u);
    EXPECT_EQ(dump_of(*g_opt_scenario[0]), dump_of(*g_opt_scenario[1]));

    // A "#" inside quotes cuts the line too: the quote pairs with the next
    // one on a later line and the text spans the line break.
    load("SOLICIT { 5 = \"ab#cd\"\n\" }");
    auto spanning = std::dynamic_pointer_cast<option_param>(g_opt_scenario.back()->params_.at(0));
    ASSERT_TRUE(spanning);
    EXPECT_EQ(spanning->values_.front(), (option_param::value_type{'a', 'b', '\n'}));

    // With no later quote the opening one is skipped alone.
    load("SOLICIT { 5 = 1 \"# \"\n}");
    auto alone = std::dynamic_pointer_cast<option_param>(g_opt_scenario.back()->params_.at(0));
    ASSERT_TRUE(alone);
    EXPECT_EQ(alone->values_.front(), (option_param::value_type{0, 1}));

    // The escaped character form is the one way to put a "#" into a value.
    load("SOLICIT { 5 = '\\x23' }");
    auto escaped = std::dynamic_pointer_cast<option_param>(g_opt_scenario.back()->params_.at(0));
    ASSERT_TRUE(escaped);
    EXPECT_EQ(escaped->values_.front(), option_param::value_type{'#'});

    // Carriage returns stay in the text and are skipped as blanks.
    load("SOLICIT {\r\n CID = @auto\r\n}\r\n");
    EXPECT_EQ(g_opt_scenario.size(), 6u);
}

TEST_F(Loading, CommentOnlyTextIsASyntaxErrorAndFilesNothing)
{
    EXPECT_EQ(error_of("# nothing\n#but remarks\n\n"), "syntax error at 1 line.");
    EXPECT_EQ(error_of(""), "syntax error at 1 line.");
    EXPECT_TRUE(g_opt_scenario.empty());
    EXPECT_FALSE(relay_);
}

TEST_F(Loading, ErrorsFileNothing)
{
    auto& log = log_to_string();
    EXPECT_EQ(error_of("SOLICIT { CID = @auto, NOSUCH = 1 }"), "NOSUCH : undefined option-name");
    EXPECT_EQ(error_of("SOLICIT { IA_NA 1 { T1 = 70000 } }"),
              "bad lexical cast: source type value could not be interpreted as target");
    EXPECT_EQ(error_of("RELAY ::1 => ::2 { },"), "syntax error at 1 line.");
    EXPECT_EQ(error_of("RELAY ::1 => 1:2 { }").rfind("from_string: ", 0), 0u);
    EXPECT_TRUE(g_opt_scenario.empty());
    EXPECT_FALSE(relay_);
    EXPECT_EQ(g_opt_send_addr, boost::asio::ip::make_address_v6("ff02::1:2"));
    EXPECT_EQ(g_opt_recv_port, 546);
    EXPECT_EQ(log.str(), "");
}

TEST_F(Loading, RelayListWrapsOnlyLaterMessages)
{
    load("SOLICIT { CID = @auto }");
    load(two_relays);
    load("REQUEST { CID = @auto }");
    load("RELEASE { CID = @auto }");

    ASSERT_TRUE(relay_);
    ASSERT_EQ(relay_->relays_.size(), 2u);
    ASSERT_EQ(g_opt_scenario.size(), 3u); // the relay list is not a message
    EXPECT_TRUE(g_opt_scenario[0]->relays_.empty());
    for (int i : {1, 2}) {
        const auto& relays = g_opt_scenario[i]->relays_;
        ASSERT_EQ(relays.size(), 2u);
        EXPECT_EQ(relays[0], relay_->relays_[0]); // the same layer objects, in file order
        EXPECT_EQ(relays[1], relay_->relays_[1]);
    }
    EXPECT_EQ(relay_->relays_[0]->params_.size(), 1u);
    // Hop counts as relay agents set them: the layer next to the client 0.
    EXPECT_EQ(relay_->relays_[0]->hop_count_, 1);
    EXPECT_EQ(relay_->relays_[1]->hop_count_, 0);
    EXPECT_EQ(g_opt_send_addr, boost::asio::ip::make_address_v6("ff05::1:3"));
    EXPECT_EQ(g_opt_send_addr.scope_id(), 0u);
    EXPECT_EQ(g_opt_recv_port, 547);
}

TEST_F(Loading, RelayListKeepsUnicastServerAndScopeOfMulticastIsDropped)
{
    g_opt_send_addr = boost::asio::ip::make_address_v6("2001:db8::1");
    load(two_relays);
    EXPECT_EQ(g_opt_send_addr, boost::asio::ip::make_address_v6("2001:db8::1"));
    EXPECT_EQ(g_opt_recv_port, 547);

    reset_globals();
    relay_.reset();
    g_opt_send_addr = boost::asio::ip::make_address_v6("ff02::1:2%1");
    load(two_relays);
    EXPECT_EQ(g_opt_send_addr.to_string(), "ff05::1:3");
    EXPECT_EQ(g_opt_send_addr.scope_id(), 0u);
}

TEST_F(Loading, SecondRelayListIsRefused)
{
    load(two_relays);
    auto first = relay_;
    EXPECT_EQ(error_of("RELAY ::1 => ::2 { }"), "can't set many relay files");
    EXPECT_EQ(relay_, first);
    load("SOLICIT { CID = @auto }");
    ASSERT_EQ(g_opt_scenario.size(), 1u);
    EXPECT_EQ(g_opt_scenario[0]->relays_, first->relays_);
}

TEST_F(Loading, DebugLogReceivesEachMessageDump)
{
    auto& log = log_to_string();
    load("SOLICIT { CID = @auto, IA_NA 1 { IAADDR = @auto } }");
    EXPECT_EQ(log.str(),
              "1 RELAYS=0\n"
              "\n"
              "    [1] 1 = @auto\n"
              "    [2] 3 IAID=1 T1=0 T2=0 OPTIONS=\n"
              "        [1] 5 = @auto\n"
              "\n");
    log.str("");
    load(two_relays);
    EXPECT_EQ(log.str(), ""); // a relay list is not dumped
    load("RELEASE { SID = @auto }");
    EXPECT_EQ(log.str(), "8 RELAYS=2\n\n    [1] 2 = @auto\n");
}

TEST_F(Loading, NoFilesLoadTheThreeDefaults)
{
    load_scenarios({});
    ASSERT_EQ(g_opt_scenario.size(), 3u);
    const int types[] = {1, 3, 8};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(g_opt_scenario[i]->type_, types[i]);
        EXPECT_EQ(dump_of(*g_opt_scenario[i]),
                  std::to_string(types[i]) +
                      " RELAYS=0\n\n    [1] 1 = @auto\n    [2] 2 = @auto\n"
                      "    [3] 3 IAID=1 T1=0 T2=0 OPTIONS=\n        [1] 5 = @auto\n\n");
    }
}

TEST_F(Loading, FilesLoadInCommandLineOrder)
{
    const auto renew = write_file("RENEW { CID = @auto } # step two\n");
    const auto solicit = write_file("SOLICIT { CID = @auto }");
    load_scenarios({solicit, renew, solicit});
    ASSERT_EQ(g_opt_scenario.size(), 3u);
    EXPECT_EQ(g_opt_scenario[0]->type_, 1);
    EXPECT_EQ(g_opt_scenario[1]->type_, 5);
    EXPECT_EQ(g_opt_scenario[2]->type_, 1);
    EXPECT_NE(g_opt_scenario[0], g_opt_scenario[2]); // every file is a tree of its own
}

TEST_F(Loading, OnlyARelayFileWrapsTheDefaults)
{
    load_scenarios({write_file(two_relays)});
    ASSERT_EQ(g_opt_scenario.size(), 3u);
    for (const auto& message : g_opt_scenario)
        EXPECT_EQ(message->relays_.size(), 2u);
    EXPECT_EQ(g_opt_scenario[0]->relays_, g_opt_scenario[2]->relays_);
    EXPECT_EQ(g_opt_recv_port, 547);
}

TEST_F(Loading, FixedPartSizeCountsWhatNoReplyChanges)
{
    // Sizes in bytes, without and with the generated identity's Client
    // Identifier (4 + 14 bytes) that a scenario's first message copies.
    const struct {
        const char* relays;
        const char* message;
        std::size_t size, first_size;
    } cases[] = {
        {"", "SOLICIT { CID = @auto }", 4, 22},
        {"", "SOLICIT { CID = @auto, SID = 00-01, IA_NA 1 { IAADDR = @auto } }", 4 + 16, 22 + 16},
        {"", "REQUEST { SID = 00-01, CID = @auto, ELAPSED_TIME = 0 }", 4 + 6 + 6, 22 + 6 + 6},
        {"", "RENEW { USER_CLASS = [ 1 \"a\", 5 \"abcdef\", 7 ], 7 = empty }", 4 + 12 + 4, 4 + 12 + 4},
        {"", "REBIND { IA_NA 1 { IAADDR 2001:db8::1 { PTIME = 1 } }, IA_PD 2 { T1 = 5, IAPREFIX :: /0 { } } }",
         4 + 16 + 28 + 16 + 29, 4 + 16 + 28 + 16 + 29},
        {"RELAY ::1 => ::2 { INTERFACE_ID = [ \"eth0\", \"e1\" ], REMOTE_ID = @auto }, RELAY ::3 => ::4 { }",
         "DECLINE { CID = @auto }", 4 + 38 + 8 + 38, 22 + 38 + 8 + 38},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        reset_globals();
        relay_.reset();
        if (*c.relays)
            load(c.relays);
        load(c.message);
        EXPECT_EQ(fixed_part_size(*g_opt_scenario.back()), c.size);
        EXPECT_EQ(fixed_part_size(*g_opt_scenario.back(), true), c.first_size);
    }
}

TEST_F(Loading, RefusesWhatCanNeverBeSent)
{
    // A REQUEST of `size` bytes whatever the server answers.
    auto request = [](std::size_t size) { return "REQUEST { 99 = \"" + std::string(size - 8, 'x') + "\" }"; };
    // `count` relay layers, the first with an Interface-Id of `id` bytes.
    auto relays = [](std::size_t count, std::size_t id) {
        std::string text = "RELAY ::1 => ::2 { INTERFACE_ID = \"" + std::string(id, 'i') + "\" }";
        for (std::size_t i = 1; i < count; ++i)
            text += ", RELAY ::3 => ::4 { }";
        return text;
    };
    const std::string too_long = " needs at least 1500 bytes with its relay layers; at most 1499 can be sent";
    // Files in command-line order; "{0}" and "{1}" in the error stand for them.
    const struct {
        std::vector<std::string> files;
        std::string error;
    } cases[] = {
        {{request(1499)}, "accepted"},
        {{request(1500)}, "{0}: the REQUEST needs at least 1500 bytes; at most 1499 can be sent"},
        {{"SOLICIT { 99 = [ \"a\", \"" + std::string(1492, 'x') + "\" ] }"},
         "{0}: the SOLICIT needs at least 1500 bytes; at most 1499 can be sent"},
        {{relays(32, 0)}, "accepted"},
        {{relays(33, 0)}, "{0}: relay list of 33 layers; at most 32 are supported"},
        {{relays(33, 0), request(1500)}, "{0}: relay list of 33 layers; at most 32 are supported"},
        {{relays(1, 0), request(1499 - 42)}, "accepted"},
        {{relays(1, 0), request(1500 - 42)}, "{1}: the REQUEST" + too_long},
        {{request(1460), relays(1, 0)}, "accepted"}, // loaded before the relay file: not wrapped
        // The built-in SOLICIT: 20 bytes and the client's 18-byte identity.
        {{relays(1, 1499 - 38 - 38 - 4)}, "accepted"},
        {{relays(1, 1500 - 38 - 38 - 4)}, "{0}: the built-in SOLICIT" + too_long},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        reset_globals();
        std::vector<std::string> paths;
        for (const auto& text : c.files)
            paths.push_back(write_file(text));
        std::string expected = c.error;
        for (std::size_t i = 0; i < paths.size(); ++i) {
            const std::string mark = "{" + std::to_string(i) + "}";
            if (expected.find(mark) != std::string::npos)
                expected.replace(expected.find(mark), mark.size(), paths[i]);
        }
        std::string got = "accepted";
        try {
            load_scenarios(paths);
        } catch (const std::runtime_error& e) {
            got = e.what();
        }
        EXPECT_EQ(got, expected);
    }
}

TEST_F(Loading, TwoRelayFilesFail)
{
    const auto relays = write_file(two_relays);
    try {
        load_scenarios({relays, write_file("SOLICIT { CID = @auto }"), write_file("RELAY ::1 => ::2 { }")});
        ADD_FAILURE() << "second relay file accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "can't set many relay files");
    }
}

// Only a regular file of at most 1 MiB is read. FIFOs and devices, which
// could block or never end, are tried through the binary with a timeout in
// the command-line tests.
TEST_F(Loading, OnlyRegularFilesUpTo1MiBAreRead)
{
    const fs::path dir = fs::temp_directory_path() / ("quorvelin-scenario-dir-" + std::to_string(getpid()));
    fs::create_directories(dir);
    files_.push_back(dir);
    fs::create_symlink(dir / "gone", dir / "dangling");
    const std::string solicit = "SOLICIT { CID = @auto }\n";
    const auto padded = [&](std::size_t size) { return write_file(solicit + std::string(size - solicit.size(), ' ')); };

    const struct {
        std::string path;
        std::string reason; // empty: the bare refusal of a path that cannot be opened
    } refused[] = {
        {"/tmp/quorvelin-no-such-scenario", ""},
        {(dir / "dangling").string(), ""},
        {dir.string(), " (not a regular file)"},
        {padded(1024 * 1024 + 1), " (larger than 1 MiB)"},
    };
    for (const auto& c : refused) {
        try {
            load_scenarios({c.path});
            ADD_FAILURE() << c.path << " accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.path + " Can't open file" + c.reason);
        }
        EXPECT_TRUE(g_opt_scenario.empty());
    }
    load_scenarios({padded(1024 * 1024)});
    EXPECT_EQ(g_opt_scenario.size(), 1u);
}

TEST_F(Loading, FileWithNulByteIsRejected)
{
    using namespace std::string_literals;
    const auto binary = write_file("SOLICIT { CID = @auto }\n\0\0\0"s);
    try {
        load_scenarios({binary});
        ADD_FAILURE() << "NUL bytes accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "syntax error at 2 line.");
    }
    EXPECT_TRUE(g_opt_scenario.empty());
}

// Every example directory is one command line's worth of files, named so
// that the shell's sorted glob gives the message order.
TEST_F(Loading, ExamplesLoad)
{
    const fs::path root = fs::path(QUORVELIN_SOURCE_DIR) / "examples";
    std::map<std::string, std::vector<std::string>> directories;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file() && entry.path().extension() == ".scn")
            directories[entry.path().parent_path().filename()].push_back(entry.path());
    ASSERT_GE(directories.size(), 6u);

    std::map<std::string, std::vector<int>> message_types;
    for (auto& directory : directories) {
        SCOPED_TRACE(directory.first);
        std::sort(directory.second.begin(), directory.second.end());
        reset_globals();
        load_scenarios(directory.second);
        for (const auto& message : g_opt_scenario)
            message_types[directory.first].push_back(message->type_);
    }
    EXPECT_EQ(message_types["default"], (std::vector<int>{1, 3, 8}));
    EXPECT_EQ(message_types["prefix-delegation"], (std::vector<int>{1, 3, 8}));
    EXPECT_EQ(message_types["address-and-prefix"], (std::vector<int>{1, 3, 8}));
    EXPECT_EQ(message_types["renew"], (std::vector<int>{1, 3, 5, 8}));
    EXPECT_EQ(message_types["alternatives"], (std::vector<int>{1, 3, 8}));
    // The relay example alone falls back to the defaults, wrapped.
    EXPECT_EQ(message_types["relay"], (std::vector<int>{1, 3, 8}));

    // The default example is the built-in scenario.
    std::vector<std::string> builtin, example;
    reset_globals();
    load_scenarios({});
    for (const auto& message : g_opt_scenario)
        builtin.push_back(dump_of(*message));
    reset_globals();
    load_scenarios(directories["default"]);
    for (const auto& message : g_opt_scenario)
        example.push_back(dump_of(*message));
    EXPECT_EQ(example, builtin);
}

TEST_F(Loading, RelayExampleHasTwoLayersAndAnInterfaceId)
{
    const fs::path relays = fs::path(QUORVELIN_SOURCE_DIR) / "examples/relay/two-relays.scn";
    const fs::path solicit = fs::path(QUORVELIN_SOURCE_DIR) / "examples/default/1-solicit.scn";
    load_scenarios({relays, solicit});
    ASSERT_EQ(g_opt_scenario.size(), 1u);
    const auto& layers = g_opt_scenario[0]->relays_;
    ASSERT_EQ(layers.size(), 2u);
    bool has_interface_id = false;
    for (const auto& layer : layers)
        for (const auto& option : layer->params_)
            has_interface_id = has_interface_id || option->code_ == 18;
    EXPECT_TRUE(has_interface_id);
}
