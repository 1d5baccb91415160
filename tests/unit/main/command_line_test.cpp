// The command line: the binary's usage errors, help and version, the debug
// log, and the globals init_options sets in this process.
#include "engine/segment.hpp"
#include "main/options/access_options.hpp"
#include "main/options/options.hpp"
#include "main/options/population_options.hpp"
#include "message/client/client_identity.hpp"
#include "message/param.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace std::string_literals;

namespace {

struct command_result {
    int status; // exit status, 124 when killed after 10 seconds
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// The quorvelin binary run with `args`, its output captured.
command_result quorvelin(const std::vector<std::string>& args)
{
    char err[] = "/tmp/quorvelin-test-err-XXXXXX";
    close(mkstemp(err));
    std::string command = "timeout 10 " QUORVELIN_BINARY;
    for (const auto& a : args)
        command += " '" + a + "'";
    FILE* pipe = popen((command + " 2>" + err + " </dev/null").c_str(), "r");
    std::string out(1 << 16, 0);
    out.resize(fread(&out[0], 1, out.size(), pipe));
    const int status = pclose(pipe);
    command_result r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, slurp(err)};
    unlink(err);
    return r;
}

const std::string usage_text = "Command Synopics:\n"
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
const std::string help_text = usage_text.substr(0, usage_text.find("Version: ")) +
                              "  --summary                  Print a summary of the results after the test.\n"
                              "  --report arg               Write the results as JSON Lines to this file.\n"
                              "  --fail-below arg           Exit with status 3 when the result is below this.\n"
                              "  --segment arg              Run segment I/N of a test that N generators run \n"
                              "                             together.\n"
                              "  --local-address arg        Bind the socket to this address of the device.\n"
                              "  --start-at arg             Begin sending at this UTC time (RFC 3339).\n"
                              "  --ramp arg                 Capacity ramp: rates FROM:TO:STEP, SECONDS each.\n"
                              "  --metrics-listen arg       Serve Prometheus metrics at ADDRESS:PORT.\n"
                              "  --metrics-linger arg       Seconds the metrics stay up after the report.\n"
                              "  --retransmit               Retransmit unanswered messages (RFC 8415 backoff).\n"
                              "  --check-leases             Count leases granted to two clients at once.\n"
                              "  --seed arg                 Seed of the random choices (default: the clock).\n"
                              "  --population arg           Population test: subscribers kept bound.\n"
                              "  --time-compression arg     Population test: lease time runs this many times \n"
                              "                             faster.\n"
                              "  --steady-start             Population test: first renewals spread evenly over\n"
                              "                             T1.\n"
                              "  --links arg                Spread the clients over this many links.\n"
                              "  --duid-type arg            The clients' DUIDs: llt, ll, en or uuid.\n"
                              "  --duid-file arg            The clients' DUIDs from this file.\n"
                              "  --arrivals arg             New clients arrive even or poisson.\n"
                              "  --identities arg           List the identities of this many clients.\n"
                              "  --identity-format arg      List them as csv or jsonl.\n"
                              "  --reservations arg         Count the reserved clients granted something else.\n"
                              "  --threshold arg            Exit with status 3 unless FIGURE OP LIMIT holds \n"
                              "                             (p99<5ms).\n"
                              "Version: 0.1.5\n";

const std::string examples = QUORVELIN_SOURCE_DIR "/examples/";

} // namespace

// A value let through would start a test, which the 10 s limit ends.
TEST(CommandLine, ErrorsPrintTheMessageAndTheUsage)
{
    char dir[] = "/tmp/quorvelin-cli-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string fifo = dir + "/fifo"s, link = dir + "/link"s, day = "' is out of range 1..86400";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
    const std::string log = dir + "/q.log"s, soft = dir + "/soft"s, hard = dir + "/hard"s;
    std::ofstream(log) << "earlier run\n";
    ASSERT_EQ(symlink(log.c_str(), soft.c_str()), 0);
    ASSERT_EQ(::link(log.c_str(), hard.c_str()), 0);
    const auto one_file = [](const std::string& report, const std::string& debug_log) {
        return std::make_pair(
            std::vector<std::string>{"lo", "--test-mode", "once", "--report", report, "--log-file", debug_log},
            "--report " + report + " and --log-file " + debug_log + " are the same file");
    };
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "boost::bad_any_cast: failed conversion using boost::any_cast"},
        {{"lo", "--bogus"}, "unrecognised option '--bogus'"},
        {{"lo", "--timeout"}, "the required argument for option '--timeout' is missing"},
        {{"lo", "--timeout", "soon"}, "the argument ('soon') for option '--timeout' is invalid"},
        {{"lo", "--test-mode", "high"}, "Invalid symbol name"},
        {{"lo", "--timeout", "-x"}, "the argument ('-x') for option '--timeout' is invalid"},
        // Every spelling of a number reaches its range check; a minus sign
        // never wraps round to a huge unsigned number.
        {{"lo", "--timeout", "-1"}, "the argument ('-1') for option '--timeout" + day},
        {{"lo", "--timeout=-1"}, "the argument ('-1') for option '--timeout" + day},
        {{"lo", "-t-1"}, "the argument ('-1') for option '--test-duration" + day},
        {{"lo", "--test-duration", "0"}, "the argument ('0') for option '--test-duration" + day},
        {{"lo", "--timeout", "86401"}, "the argument ('86401') for option '--timeout" + day},
        {{"lo", "--timeout", "99999999999999999999"}, "the argument ('99999999999999999999') for option '--timeout" + day},
        {{"lo", "--clients", "0"}, "the argument ('0') for option '--clients' is out of range 1..1000000"},
        {{"lo", "--clients", "1000001"}, "the argument ('1000001') for option '--clients' is out of range 1..1000000"},
        {{"lo", "--nthreads", "0"}, "the argument ('0') for option '--nthreads' is out of range 1..1024"},
        {{"lo", "--nthreads", "1025"}, "the argument ('1025') for option '--nthreads' is out of range 1..1024"},
        // An output (both open alike) that cannot be opened says why, in the system's words.
        {{"lo", "--report", "/nonexistent-dir/q.log"}, "/nonexistent-dir/q.log Can't open file: No such file or directory"},
        {{"lo", "--report", dir}, dir + " Can't open file: Is a directory"s},
        // A FIFO nobody reads is refused at once instead of waiting silently
        // for a reader before the test starts.
        {{"lo", "--report", fifo}, fifo + " Can't open file: a FIFO without a reader (start the reader first)"},
        {{"lo", "--log-file", link}, link + " Can't open file: a FIFO without a reader (start the reader first)"},
        // Two writers on one file would overwrite each other: the report and
        // the debug log may not be one file, however it is named.
        one_file(log, log), one_file(soft, log), one_file(log, soft), one_file(hard, log),
        one_file(dir + "/./q.log"s, log),
        {{"lo", "--fail-below", "most"}, "the argument ('most') for option '--fail-below' is invalid"},
        {{"lo", "--fail-below", "-5"}, "the argument ('-5') for option '--fail-below' is out of range 0..1000000"},
        {{"lo", examples + "relay/two-relays.scn", examples + "relay/two-relays.scn"}, "can't set many relay files"},
        // Each option below reaches its parser, whose own tests hold every
        // refusal; and the one mode that cannot be split into segments.
        {{"lo", "--segment", "3/3", "--test-mode", "once"},
         "the argument ('3/3') for option '--segment' is not I/N with 0 <= I < N <= 1024"},
        {{"lo", "--segment", "1/3"}, "--segment 1/3: the highload search cannot be split into segments, since its "
                                     "decisions depend on results that no single segment has; use --ramp "
                                     "FROM:TO:STEP:SECONDS (or --test-mode once or endless)"},
        {{"lo", "--start-at", "noon"},
         "the argument ('noon') for option '--start-at' is not an RFC 3339 time such as 2026-12-06T22:30:00Z"},
        {{"lo", "--ramp", "10:20:5"}, "the argument ('10:20:5') for option '--ramp' is not FROM:TO:STEP:SECONDS"},
        {{"lo", "--ramp", "10:20:5:10", "--test-mode", "once"},
         "--ramp and --test-mode exclude each other: the ramp is a test mode of its own"},
        // Retransmission needs a timeout that lets some message of the scenario go out twice.
        {{"lo", "--retransmit", "--timeout", "11", examples + "renew/3-renew.scn"},
         "--retransmit with --timeout 11: no message of the scenario would surely go out again before its client "
         "gives up (the first retransmission of RENEW comes up to 11.0 s after it was sent); use --timeout 12 or more"},
        // The population test: a size within the limit (per generator: a
        // segment's share), a compression from 0.001.
        {{"lo", "--test-mode", "population", "--population", "0"},
         "the argument ('0') for option '--population' is out of range 1..4294967295"},
        {{"lo", "--test-mode", "population", "--population", "8000001"},
         "--population 8000001: one generator keeps at most 8000000 subscribers (transaction ids of binding "
         "clients are 23 bits); split the population into segments (--segment I/N)"},
        {{"lo", "--test-mode", "population", "--population", "24000001", "--segment", "0/3"},
         "--population 24000001 --segment 0/3: the segment's share is 8000001 subscribers, and one generator keeps "
         "at most 8000000 (transaction ids of binding clients are 23 bits); split the population into more "
         "segments"},
        {{"lo", "--test-mode", "population", "--population", "2", "--segment", "2/3"},
         "--population 2 --segment 2/3: the segment's share is no subscriber (segment I keeps subscribers I, I+N, "
         "...); run fewer segments"},
        {{"lo", "--test-mode", "once", "--steady-start"},
         "--steady-start belongs to --test-mode population: only subscribers renew"},
        {{"lo", "--test-mode", "population", "--population", "10", "--time-compression", "0"},
         "--time-compression 0: the factor must be a number above 0 and at most 1000000 (100 runs a lease of "
         "1000 s in 10 s)"},
        {{"lo", "--test-mode", "population", "--population", "10", "--time-compression", "1e-12"},
         "--time-compression 1e-12: the smallest factor is 0.001 (a lease clock 1000 times slower); below it lease "
         "times overflow the clock"},
        {{"lo", "--test-mode", "population"},
         "--test-mode population needs --population N, the subscribers to keep bound (1 to 8000000 per "
         "generator)"},
        {{"lo", "--population", "10"}, "--population and --time-compression belong to --test-mode population"},
        // A threshold is read, and judged against the run's shape (its
        // scenario, its mode, its counting options), before the test starts.
        {{"lo", "--test-mode", "once", "--threshold", "p99<5ms", "--threshold", "p99<<5"},
         "--threshold \"p99<<5\": \"<5\" is no limit: a number with its unit, e.g. 5ms, 99.9% or 0"},
        {{"lo", "--test-mode", "once", "--threshold", "step3.p99<1ms", examples + "renew/3-renew.scn"},
         "--threshold \"step3.p99<1ms\": the scenario has 1 message"},
        {{"lo", "--test-mode", "once", "--threshold", "renew.p99<10ms"},
         "--threshold \"renew.p99<10ms\": renew and rebind are counted in the population test only"},
        {{"lo", "--ramp", "10:20:5:10", "--threshold", "bound_at_end>0"},
         "--threshold \"bound_at_end>0\": bound_at_end is counted in the population test only"},
        {{"lo", "--test-mode", "once", "--threshold", "duplicate_leases==0"},
         "--threshold \"duplicate_leases==0\": duplicate leases are counted with --check-leases only"},
        {{"lo", "--test-mode", "once", "--threshold", "step1.retransmitted<5%"},
         "--threshold \"step1.retransmitted<5%\": retransmissions are counted with --retransmit only"},
        // An address names the option and the text, and says what it takes.
        {{"lo", "--server", "127.0.0.1"},
         "the argument ('127.0.0.1') for option '--server' is not an IPv6 address: expected one such as ff02::1:2 "
         "or 2001:db8::1"},
        {{"lo", "--local-address", "fe80::2%nosuchdev"},
         "the argument ('fe80::2%nosuchdev') for option '--local-address' has the zone 'nosuchdev', which is no "
         "device of this host: expected a zone that names an existing device, such as fe80::2%eth0"},
        // A FIFO (also behind a link) or a device fails at once instead of
        // waiting for a writer or reading without end.
        {{"lo", fifo}, fifo + " Can't open file (not a regular file)"},
        {{"lo", link}, link + " Can't open file (not a regular file)"},
        {{"lo", "/dev/zero"}, "/dev/zero Can't open file (not a regular file)"},
    };
    for (const auto& c : cases) {
        const auto r = quorvelin(c.first);
        EXPECT_EQ(r.status, 1) << c.second;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Error: " + c.second + "\n" + usage_text);
    }
    EXPECT_EQ(slurp(log).substr(0, 12), "earlier run\n") << "a refusal leaves the log as it was";
    std::filesystem::remove_all(dir);
}

TEST(CommandLine, HelpAndVersionPrintToStandardOutput)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--help"}, help_text}, {{"-h", "lo"}, help_text}, {{"--version"}, "quorvelin 0.1.5\n"},
        {{"lo", "-V"}, "quorvelin 0.1.5\n"}};
    for (const auto& c : cases) {
        const auto r = quorvelin(c.first);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.second);
        EXPECT_EQ(r.err, "");
    }
}

// --identities lists and exits without the device; a --duid-file shorter
// than the clients the test starts is said once on standard error.
TEST(CommandLine, IdentitiesAreListedAndAShortDuidFileIsWarnedOf)
{
    char duids[] = "/tmp/quorvelin-duids-XXXXXX";
    close(mkstemp(duids));
    std::ofstream(duids) << "00:03:00:01:00:00:00:00:00:2a\n0003000100000000002b\n0003000100000000002c\n";
    const auto r = quorvelin({"no-such-device", "--duid-file", duids, "--test-mode", "once", "--clients", "5",
                              "--identities", "4", "--identity-format", "csv"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "client,link,duid\n0,0,00:03:00:01:00:00:00:00:00:2a\n1,0,00:03:00:01:00:00:00:00:00:2b\n"
                     "2,0,00:03:00:01:00:00:00:00:00:2c\n3,0,00:03:00:01:00:00:00:00:00:2a\n");
    EXPECT_EQ(r.err, "Warning: --duid-file holds 3 DUIDs, fewer than the test's clients: client n takes line n mod 3, "
                     "so DUIDs repeat.\n");
    EXPECT_EQ(quorvelin({"lo", "--duid-file", duids, "--test-mode", "once", "--clients", "3", "--identities", "1"})
                  .err,
              "");
    unlink(duids);
}

TEST(CommandLine, EachRunAppendsItsStartLineAndScenarioDumpsToTheLog)
{
    char path[] = "/tmp/quorvelin-log-XXXXXX";
    close(mkstemp(path));
    std::ofstream(path) << "earlier contents\n";
    // An unknown mode fails after the log was opened and the scenarios loaded.
    const std::vector<std::string> args = {"lo", "--log-file", path, "--test-mode", "x", examples + "renew/1-solicit.scn",
                                           examples + "relay/two-relays.scn", examples + "renew/4-release.scn"};
    std::string runs = "earlier contents\n";
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(quorvelin(args).status, 1);
        runs += "------------------------------- quorvelin start -------------------------------\n"
                "1 RELAYS=0\n\n    [1] 1 = @auto\n    [2] 8 = {0:0}\n    [3] 3 IAID=1 T1=0 T2=0 OPTIONS=\n"
                "        [1] 5 = @auto\n\n8 RELAYS=2\n\n    [1] 1 = @auto\n    [2] 2 = @auto\n    [3] 8 = {0:0}\n"
                "    [4] 3 IAID=1 T1=0 T2=0 OPTIONS=\n        [1] 5 = @auto\n\n";
    }
    EXPECT_EQ(slurp(path), runs);
    std::remove(path);
}

// The last row: a population segment keeps its share of the whole test's
// figure, past what one generator keeps, and names its clients by their
// number in the whole test: segment I/N's id k is client I + N * k.
TEST(InitOptions, ArgumentsReachTheirGlobals)
{
    auto init = [](std::vector<std::string> args) {
        args.insert(args.begin(), "quorvelin");
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(&a[0]);
        init_options(static_cast<int>(argv.size()), argv.data());
        std::ostringstream os;
        os << g_opt_ifname << " mode " << g_opt_mode << " clients " << g_opt_minimum << " duration " << g_opt_duration
           << " timeout " << g_opt_timeout << " threads " << g_opt_nthreads << " server " << g_opt_send_addr
           << (g_opt_verbose ? " verbose" : "") << (g_opt_quiet ? " quiet" : "") << (g_opt_log ? " log" : "")
           << (g_opt_summary ? " summary" : "") << (g_opt_report ? " report" : "")
           << (g_opt_fail_below ? " fail-below " + std::to_string(*g_opt_fail_below) : "");
        if (g_opt_population)
            os << " population " << g_opt_population << " share " << g_opt_segment.share_of(g_opt_population)
               << (g_opt_steady_start ? " steady" : "") << " client " << g_opt_client_numbering.first << " + "
               << g_opt_client_numbering.stride << "k";
        g_opt_scenario.clear();
        return os.str();
    };
    EXPECT_EQ(init({"eth7"}), "eth7 mode 0 clients 1 duration 120 timeout 3 threads 1 server ff02::1:2");
    EXPECT_EQ(init({"lo", "--test-mode", "ONCE"}), "lo mode 2 clients 1 duration 120 timeout 3 threads 1 server ff02::1:2");
    EXPECT_EQ(init({"lo", "--test-mode", "Endlessly"}),
              "lo mode 1 clients 1 duration 120 timeout 3 threads 1 server ff02::1:2");
    EXPECT_EQ(init({"-v", "-q", "-s", "2001:db8::1", "-t", "30", "--clients", "1000000", "--timeout", "+86400",
                    "--nthreads", "1024", "--test-mode", "highload", "veth0"}),
              "veth0 mode 0 clients 1000000 duration 30 timeout 86400 threads 1024 server 2001:db8::1 verbose quiet");
    // A character device takes both outputs without harm.
    EXPECT_EQ(init({"lo", "--summary", "--fail-below", "250", "--report", "/dev/null", "--log-file", "/dev/null"}),
              "lo mode 0 clients 1000000 duration 30 timeout 86400 threads 1024 server 2001:db8::1 verbose quiet log "
              "summary report fail-below 250");
    EXPECT_EQ(init({"--test-mode", "population", "--population", "24000000", "--segment", "2/3", "--steady-start", "lo"}),
              "lo mode 4 clients 1000000 duration 30 timeout 86400 threads 1024 server 2001:db8::1 verbose quiet log "
              "summary report fail-below 250 population 24000000 share 8000000 steady client 2 + 3k");
    g_opt_verbose = g_opt_quiet = g_opt_summary = g_opt_steady_start = false;
    g_opt_report.reset();
    g_opt_log.reset();
    g_opt_fail_below.reset();
    g_opt_send_addr = boost::asio::ip::make_address_v6("ff02::1:2");
    g_opt_duration = 120, g_opt_minimum = 1, g_opt_timeout = 3, g_opt_nthreads = 1;
    g_opt_population_scenes = population_scenes{};
    g_opt_mode = opt_mode_highload;
    g_opt_segment = zarn::quorvelin::segment{};
    g_opt_population = 0;
    g_opt_client_numbering = zarn::quorvelin::client_numbering{};
}
