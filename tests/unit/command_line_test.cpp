#include "main/options.hpp"
#include "message/param.hpp"
#include "run_command.hpp"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

const std::string usage_text =
    "Command Synopics:\n"
    "  quorvelin [options]... device data-file#0 data-file#1 ... data-file#N\n"
    "\n"
    "  device\n"
    "    Set the device name to send and receive DHCP packets.\n"
    "  data-file#N\n"
    "    Data-file to specity DHCP action.\n"
    "\n"
    "Options:\n"
    "  -V [ --version ]           Print the version.\n"
    "  -h [ --help ]              Print this help.\n"
    "  --test-mode arg            Specity the symbol to run test mode.\n"
    "                             \"highload\": Compatible flaxtide\n"
    "                             \"endless\": Constant load\n"
    "                             \"once\":       Only once\n"
    "  -v [ --progress ]          Print progress information every seconds.\n"
    "  -q [ --quiet ]             No all print message.\n"
    "  -s [ --server ] arg        IPv6-address of DHCPv6 server. Default multicast \n"
    "                             address.\n"
    "  -t [ --test-duration ] arg Number of second to run test probes. Default 120 \n"
    "                             seconds.\n"
    "  --clients arg              Number of clients in initialize state.\n"
    "  --timeout arg              Number of DHCP receive packet timeout. Default 3 \n"
    "                             seconds.\n"
    "  --nthreads arg             Number of worker threads.\n"
    "  --log-file arg             Prints debug message to specify of file.\n"
    "Version: 0.1.5\n";

// --help lists the options added later after the others; the usage text
// after an error does not.
std::string help_text()
{
    std::string help = usage_text;
    help.insert(help.find("Version: "),
                "  --summary                  Print a summary of the results after the test.\n"
                "  --report arg               Write the results as JSON Lines to this file.\n"
                "  --fail-below arg           Exit with status 3 when the result is below this.\n");
    return help;
}

void expect_usage_error(const command_result& r, const std::string& message)
{
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: " + message + "\n" + usage_text);
}

// Restores every global that init_options may write.
class InitOptions : public ::testing::Test {
protected:
    void TearDown() override
    {
        g_opt_mode = opt_mode_highload;
        g_opt_verbose = g_opt_quiet = false;
        g_opt_send_addr = boost::asio::ip::make_address_v6("ff02::1:2");
        g_opt_duration = 120;
        g_opt_minimum = 1;
        g_opt_timeout = 3;
        g_opt_nthreads = 1;
        g_opt_recv_port = 546;
        g_opt_ifname.clear();
        g_opt_log.reset();
        g_opt_summary = false;
        g_opt_report.reset();
        g_opt_fail_below.reset();
        g_opt_scenario.clear();
    }

    void init(std::vector<std::string> args) { call_init_options(init_options, std::move(args)); }
};

} // namespace

TEST(CommandLine, NoArgumentsPrintsUsageAndFails)
{
    expect_usage_error(quorvelin({}), "boost::bad_any_cast: failed conversion using boost::any_cast");
}

TEST(CommandLine, HelpAndVersionPrintToStandardOutput)
{
    for (auto args : {std::vector<std::string>{"--help"}, {"-h", "lo"}}) {
        auto r = quorvelin(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, help_text());
        EXPECT_EQ(r.err, "");
    }
    for (auto args : {std::vector<std::string>{"--version"}, {"lo", "-V"}}) {
        auto r = quorvelin(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "quorvelin 0.1.5\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(CommandLine, BadOptionsReportTheLibraryMessage)
{
    expect_usage_error(quorvelin({"lo", "--bogus"}), "unrecognised option '--bogus'");
    expect_usage_error(quorvelin({"lo", "--timeout"}), "the required argument for option '--timeout' is missing");
    expect_usage_error(quorvelin({"lo", "--timeout", "soon"}),
                       "the argument ('soon') for option '--timeout' is invalid");
    expect_usage_error(quorvelin({"lo", "--test-mode", "high"}), "Invalid symbol name");
    auto bad_server = quorvelin({"lo", "-s", "not-an-address"});
    EXPECT_EQ(bad_server.status, 1);
    EXPECT_EQ(bad_server.err.rfind("Error: ", 0), 0u);
    EXPECT_NE(bad_server.err.find(usage_text), std::string::npos);
}

// Every spelling of a value reaches the range check; a minus sign never
// wraps round to a huge unsigned number.
TEST(CommandLine, OutOfRangeNumbersAreRejectedAsTyped)
{
    const std::string day = "' is out of range 1..86400";
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--timeout", "-1"}, "the argument ('-1') for option '--timeout" + day},
        {{"--timeout=-1"}, "the argument ('-1') for option '--timeout" + day},
        {{"-t-1"}, "the argument ('-1') for option '--test-duration" + day},
        {{"-t", "-1"}, "the argument ('-1') for option '--test-duration" + day},
        {{"--test-duration", "0"}, "the argument ('0') for option '--test-duration" + day},
        {{"--timeout", "86401"}, "the argument ('86401') for option '--timeout" + day},
        {{"--timeout", "99999999999999999999"}, "the argument ('99999999999999999999') for option '--timeout" + day},
        {{"--clients", "0"}, "the argument ('0') for option '--clients' is out of range 1..1000000"},
        {{"--clients=-0"}, "the argument ('-0') for option '--clients' is out of range 1..1000000"},
        {{"--clients", "1000001"}, "the argument ('1000001') for option '--clients' is out of range 1..1000000"},
        {{"--nthreads", "-1"}, "the argument ('-1') for option '--nthreads' is out of range 1..1024"},
        {{"--nthreads", "0"}, "the argument ('0') for option '--nthreads' is out of range 1..1024"},
        {{"--nthreads", "1025"}, "the argument ('1025') for option '--nthreads' is out of range 1..1024"},
        {{"--timeout", "-x"}, "the argument ('-x') for option '--timeout' is invalid"},
    };
    for (const auto& c : cases) {
        auto args = c.args;
        args.insert(args.begin(), "lo");
        SCOPED_TRACE(args.back());
        // A value let through would start a test: the timeout ends it.
        expect_usage_error(quorvelin(args, 10), c.message);
    }
}

TEST(CommandLine, UnopenableLogOrReportFileIsAnError)
{
    for (const char* option : {"--log-file", "--report"})
        expect_usage_error(quorvelin({"lo", option, "/nonexistent-dir/q.log"}),
                           "/nonexistent-dir/q.log Can't open file");
    expect_usage_error(quorvelin({"lo", "--fail-below", "most"}),
                       "the argument ('most') for option '--fail-below' is invalid");
    expect_usage_error(quorvelin({"lo", "--fail-below", "-5"}),
                       "the argument ('-5') for option '--fail-below' is out of range 0..1000000");
}

TEST(CommandLine, LogFileIsAppendedByEachRun)
{
    char path[] = "/tmp/quorvelin-log-XXXXXX";
    close(mkstemp(path));
    {
        std::ofstream(path) << "earlier contents\n";
    }
    // An unknown mode fails after the log was opened and the scenarios loaded.
    for (int run = 0; run < 2; ++run)
        EXPECT_EQ(quorvelin({"lo", "--log-file", path, "--test-mode", "x"}).status, 1);
    const std::string start = "------------------------------- quorvelin start -------------------------------\n";
    const std::string log = slurp(path);
    EXPECT_EQ(log.rfind("earlier contents\n" + start, 0), 0u) << log;
    EXPECT_NE(log.find(start, start.size()), std::string::npos) << log;
    std::remove(path);
}

TEST_F(InitOptions, DefaultsWithOnlyADevice)
{
    init({"eth7"});
    EXPECT_EQ(g_opt_ifname, "eth7");
    EXPECT_EQ(g_opt_mode, opt_mode_highload);
    EXPECT_EQ(g_opt_minimum, 1u);
    EXPECT_EQ(g_opt_duration, 120u);
    EXPECT_EQ(g_opt_timeout, 3u);
    EXPECT_EQ(g_opt_nthreads, 1u);
    EXPECT_FALSE(g_opt_verbose);
    EXPECT_FALSE(g_opt_quiet);
    EXPECT_EQ(g_opt_send_addr.to_string(), "ff02::1:2");
    EXPECT_FALSE(g_opt_log);
}

TEST_F(InitOptions, ModeNamesIgnoreCaseAndTheLongestPrefixWins)
{
    init({"lo", "--test-mode", "ONCE"});
    EXPECT_EQ(g_opt_mode, opt_mode_once);
    init({"lo", "--test-mode", "Endlessly"});
    EXPECT_EQ(g_opt_mode, opt_mode_endless);
    init({"lo", "--test-mode", "highload"});
    EXPECT_EQ(g_opt_mode, opt_mode_highload);
}

TEST_F(InitOptions, ValuesReachTheirGlobals)
{
    init({"-v", "-q", "-s", "2001:db8::1", "-t", "30", "--clients", "1000000", "--timeout", "+86400", "--nthreads",
          "1024", "veth0"});
    EXPECT_TRUE(g_opt_verbose);
    EXPECT_TRUE(g_opt_quiet);
    EXPECT_EQ(g_opt_send_addr.to_string(), "2001:db8::1");
    EXPECT_EQ(g_opt_duration, 30u);
    EXPECT_EQ(g_opt_minimum, 1000000u);
    EXPECT_EQ(g_opt_timeout, 86400u);
    EXPECT_EQ(g_opt_nthreads, 1024u);
    EXPECT_EQ(g_opt_ifname, "veth0");
    EXPECT_FALSE(g_opt_summary);
    EXPECT_FALSE(g_opt_fail_below);
    EXPECT_FALSE(g_opt_report);

    init({"lo", "--summary", "--fail-below", "250", "--report", "/dev/null"});
    EXPECT_TRUE(g_opt_summary);
    EXPECT_EQ(g_opt_fail_below, 250u);
    EXPECT_TRUE(g_opt_report);
}
