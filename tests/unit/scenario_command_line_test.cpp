// Scenario files named on the command line: the order they load in, the
// relay file's effect on the server address and port, the debug-log dumps,
// and loading errors reported with the usage text.
#include "main/options.hpp"
#include "message/param.hpp"
#include "run_command.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

const std::string examples = std::string(QUORVELIN_SOURCE_DIR) + "/examples/";

void expect_loading_error(const command_result& r, const std::string& message)
{
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("Error: " + message + "\nCommand Synopics:\n", 0), 0u) << r.err;
    const std::string last = "Version: 0.1.5\n";
    EXPECT_EQ(r.err.compare(r.err.size() - std::min(r.err.size(), last.size()), last.size(), last), 0) << r.err;
}

class ScenarioCommandLine : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const auto& path : files_)
            std::remove(path.c_str());
        g_opt_send_addr = boost::asio::ip::make_address_v6("ff02::1:2");
        g_opt_recv_port = 546;
        g_opt_ifname.clear();
        g_opt_log.reset();
        g_opt_scenario.clear();
    }

    std::string write_file(const std::string& text)
    {
        char name[] = "/tmp/quorvelin-cli-scenario-XXXXXX";
        close(mkstemp(name));
        std::ofstream(name) << text;
        files_.push_back(name);
        return name;
    }

    void init(std::vector<std::string> args) { call_init_options(init_options, std::move(args)); }

    std::vector<std::string> files_;
};

} // namespace

TEST_F(ScenarioCommandLine, ScenarioErrorsEndWithUsage)
{
    expect_loading_error(quorvelin({"lo", "/tmp/quorvelin-no-such-scenario"}),
                         "/tmp/quorvelin-no-such-scenario Can't open file");
    expect_loading_error(quorvelin({"lo", write_file("# only a remark\n")}), "syntax error at 1 line.");
    expect_loading_error(quorvelin({"lo", write_file("SOLICIT {\n  CID = @auto,\n  }\n")}),
                         "syntax error at 3 line.");
    expect_loading_error(quorvelin({"lo", write_file("SOLICIT { FOO = 1 }")}), "FOO : undefined option-name");
    expect_loading_error(quorvelin({"lo", write_file("SOLICIT { IA_NA 70000 { } }")}),
                         "bad lexical cast: source type value could not be interpreted as target");
    const auto relays = examples + "relay/two-relays.scn";
    expect_loading_error(quorvelin({"lo", relays, examples + "default/1-solicit.scn", relays}),
                         "can't set many relay files");
}

// A FIFO (also behind a symbolic link) or a device named as a scenario file
// fails at once, with the reason, instead of waiting for a writer or reading
// without end.
TEST_F(ScenarioCommandLine, FilesThatAreNotRegularAreRefusedWithoutWaiting)
{
    char dir[] = "/tmp/quorvelin-cli-fifo-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string fifo = std::string(dir) + "/scenario", link = std::string(dir) + "/link";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
    for (const std::string& path : {fifo, link, std::string("/dev/zero")})
        expect_loading_error(quorvelin({"lo", path}, 10), path + " Can't open file (not a regular file)");
    std::remove(link.c_str());
    std::remove(fifo.c_str());
    rmdir(dir);
}

TEST_F(ScenarioCommandLine, MessageFilesBeforeAndAfterTheRelayFile)
{
    init({"lo", examples + "renew/1-solicit.scn", examples + "relay/two-relays.scn", examples + "renew/2-request.scn",
          examples + "renew/3-renew.scn"});
    ASSERT_EQ(g_opt_scenario.size(), 3u);
    EXPECT_TRUE(g_opt_scenario[0]->relays_.empty());
    EXPECT_EQ(g_opt_scenario[1]->relays_.size(), 2u);
    EXPECT_EQ(g_opt_scenario[1]->relays_, g_opt_scenario[2]->relays_);
    EXPECT_EQ(g_opt_send_addr.to_string(), "ff05::1:3");
    EXPECT_EQ(g_opt_recv_port, 547);
}

TEST_F(ScenarioCommandLine, UnicastServerSurvivesTheRelayFile)
{
    init({"-s", "2001:db8::1", "lo", examples + "relay/two-relays.scn"});
    EXPECT_EQ(g_opt_send_addr.to_string(), "2001:db8::1");
    EXPECT_EQ(g_opt_recv_port, 547);
    ASSERT_EQ(g_opt_scenario.size(), 3u); // the defaults, wrapped
    EXPECT_EQ(g_opt_scenario[0]->relays_.size(), 2u);
}

TEST_F(ScenarioCommandLine, DebugLogHoldsEachLoadedMessage)
{
    const auto log = write_file("");
    // The unknown test mode fails only after every scenario was loaded.
    auto r = quorvelin({"lo", "--log-file", log, "--test-mode", "x", write_file("SOLICIT { CID = @auto } # hi"),
                        examples + "relay/two-relays.scn", write_file("RELEASE { SID = @auto }")});
    expect_loading_error(r, "Invalid symbol name");
    EXPECT_EQ(slurp(log), "------------------------------- quorvelin start -------------------------------\n"
                          "1 RELAYS=0\n\n    [1] 1 = @auto\n"
                          "8 RELAYS=2\n\n    [1] 2 = @auto\n");
}
