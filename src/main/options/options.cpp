#include "main/options/options.hpp"

#include "engine/schedule/backoff.hpp"
#include "engine/schedule/random_seed.hpp"
#include "engine/segment.hpp"
#include "engine/socket/local_address.hpp"
#include "loadtest/modes/ramp_schedule.hpp"
#include "main/options/access_options.hpp"
#include "main/output/log_file.hpp"
#include "main/options/population_options.hpp"
#include "main/options/threshold_options.hpp"
#include "main/values/bounded_option.hpp"
#include "main/values/start_time.hpp"
#include "message/param.hpp"
#include "message/vocabulary.hpp"
#include "scenario/load.hpp"

#include <boost/asio/ip/address_v6.hpp>
#include <boost/format.hpp>
#include <boost/program_options.hpp>
#include <boost/spirit/include/qi.hpp>

#include <cstdlib>
#include <iostream>
#include <stdexcept>

opt_mode_t g_opt_mode = opt_mode_highload;
bool g_opt_verbose = false;
bool g_opt_quiet = false;
boost::asio::ip::address_v6 g_opt_send_addr = boost::asio::ip::make_address_v6("ff02::1:2");
std::uint32_t g_opt_duration = 120;
std::uint32_t g_opt_minimum = 1;
std::uint32_t g_opt_maximum = max_clients_per_second;
std::uint32_t g_opt_timeout = 3;
std::uint32_t g_opt_nthreads = 1;
double g_opt_error_threshold = 0.1;
std::uint16_t g_opt_send_port = 547;
std::uint16_t g_opt_recv_port = 546;
std::string g_opt_ifname;
std::unique_ptr<std::ostream> g_opt_log;
bool g_opt_summary = false;
std::unique_ptr<std::ostream> g_opt_report;
std::optional<std::uint32_t> g_opt_fail_below;
zarn::quorvelin::segment g_opt_segment;
boost::asio::ip::address_v6 g_opt_local_address;
std::optional<std::chrono::system_clock::time_point> g_opt_start_at;
zarn::quorvelin::ramp_schedule g_opt_ramp;
std::string g_opt_metrics_listen;
std::uint32_t g_opt_metrics_linger = 20;
bool g_opt_retransmit = false;
bool g_opt_check_leases = false;
std::uint64_t g_opt_seed = 0;
std::vector<std::string> g_opt_command_line;
std::vector<std::shared_ptr<zarn::quorvelin::top_param>> g_opt_scenario;

namespace boost {
namespace asio {
namespace ip {

// Lets Program_options read an IPv6 address ("ff02::1:2", "fe80::1%eth0").
// A bad address is refused with the option and the text as typed.
void validate(boost::any& v, const std::vector<std::string>& values, address_v6*, int)
{
    namespace po = boost::program_options;
    po::validators::check_first_occurrence(v);
    const std::string& text = po::validators::get_single_string(values);
    boost::system::error_code error;
    const address_v6 address = make_address_v6(text, error);
    if (error) {
        po::error_with_option_name refusal("the argument ('%value%') for option '%canonical_option%' is not an "
                                           "IPv6 address: expected one such as ff02::1:2 or 2001:db8::1");
        refusal.set_substitute("value", text);
        throw refusal;
    }
    v = boost::any(address);
}

} // namespace ip
} // namespace asio
} // namespace boost

namespace {

namespace po = boost::program_options;
using zarn::quorvelin::bounded_value;

// Seconds in a day: longer test runs and timeouts are typing mistakes.
constexpr std::uint32_t max_seconds = 86400;
// The longest wait after the report for a last scrape: Prometheus's scrape
// intervals stay well below it.
constexpr std::uint32_t max_linger_seconds = 3600;
// Far more worker threads than any machine has cores; more only exhausts
// the system's thread limit.
constexpr std::uint32_t max_threads = 1024;

const char* const version_text = QUORVELIN_VERSION;

void print_usage(std::ostream& os, const po::options_description& printed)
{
    os << "Command Synopics:\n"
       << "  quorvelin [options]... device data-file#0 data-file#1 ... data-file#N\n"
       << "\n"
       << "  device\n"
       << "    Set the device name to send and receive DHCP packets.\n"
       << "  data-file#N\n"
       << "    Data-file to specity DHCP action.\n"
       << "\n"
       << "Options:\n"
       << printed
       << "Version: " << version_text << "\n";
}

[[noreturn]] void fail(const std::exception& e, const po::options_description& printed)
{
    std::cerr << "Error: " << e.what() << "\n";
    print_usage(std::cerr, printed);
    std::exit(1);
}

po::options_description printed_options()
{
    po::options_description printed(80, 40);
    printed.add_options()
        ("version,V", "Print the version.")
        ("help,h", "Print this help.")
        ("test-mode", po::value<std::string>(),
         "Specity the symbol to run test mode.\n"
         "\"highload\": Compatible flaxtide\n"
         "\"endless\": Constant load\n"
         "\"once\":       Only once")
        ("progress,v", "Print progress information every seconds.")
        ("quiet,q", "No all print message.")
        ("server,s", po::value<boost::asio::ip::address_v6>(&g_opt_send_addr)->default_value(g_opt_send_addr, ""),
         "IPv6-address of DHCPv6 server. Default multicast address.")
        ("test-duration,t", bounded_value<1, max_seconds>(g_opt_duration),
         "Number of second to run test probes. Default 120 seconds.")
        ("clients", bounded_value<1, max_clients_per_second>(g_opt_minimum), "Number of clients in initialize state.")
        ("timeout", bounded_value<1, max_seconds>(g_opt_timeout),
         "Number of DHCP receive packet timeout. Default 3 seconds.")
        ("nthreads", bounded_value<1, max_threads>(g_opt_nthreads), "Number of worker threads.")
        ("log-file", po::value<std::string>(), "Prints debug message to specify of file.");
    return printed;
}

// No result exceeds the highest rate.
using fail_below_number = zarn::quorvelin::bounded_number<0, max_clients_per_second>;

// Options added since the usage text took its shape: --help lists them after
// the others, the usage text after an error does not, so that what scripts
// compare stays the same.
po::options_description later_options()
{
    po::options_description later(80, 40);
    later.add_options()
        ("summary", "Print a summary of the results after the test.")
        ("report", po::value<std::string>(), "Write the results as JSON Lines to this file.")
        ("fail-below", po::value<fail_below_number>(), "Exit with status 3 when the result is below this.")
        ("segment", po::value<std::string>(), "Run segment I/N of a test that N generators run together.")
        ("local-address", po::value<std::string>(),
         "Bind the socket to this address of the device.")
        ("start-at", po::value<std::string>(), "Begin sending at this UTC time (RFC 3339).")
        ("ramp", po::value<std::string>(), "Capacity ramp: rates FROM:TO:STEP, SECONDS each.")
        ("metrics-listen", po::value<std::string>(&g_opt_metrics_listen),
         "Serve Prometheus metrics at ADDRESS:PORT.")
        ("metrics-linger", bounded_value<0, max_linger_seconds>(g_opt_metrics_linger),
         "Seconds the metrics stay up after the report.")
        ("retransmit", "Retransmit unanswered messages (RFC 8415 backoff).")
        ("check-leases", "Count leases granted to two clients at once.")
        ("seed", po::value<std::uint64_t>(), "Seed of the random choices (default: the clock).");
    add_population_options(later);
    add_access_options(later);
    add_threshold_options(later);
    return later;
}

// The debug log's file, which the report must not share.
opened_file log_file;

void open_report(const std::string& path)
{
    g_opt_report = open_report_file(path, g_opt_log ? &log_file : nullptr);
}

void open_log(const std::string& path)
{
    g_opt_log = open_log_file(path, &log_file);
}

// Case-insensitive lookup; the longest mode name that prefixes the value wins.
opt_mode_t lookup_mode(const std::string& name)
{
    namespace qi = boost::spirit::qi;
    qi::symbols<char, int> modes;
    for (opt_mode_t mode : {opt_mode_highload, opt_mode_endless, opt_mode_once, opt_mode_population})
        modes.add(mode_name(mode), mode);
    int mode = 0;
    auto first = name.begin();
    if (!qi::parse(first, name.end(), qi::no_case[modes], mode))
        throw std::runtime_error("Invalid symbol name");
    return static_cast<opt_mode_t>(mode);
}

// The options that let several generators run one test, checked together.
void take_scale_out_options(const po::variables_map& vm)
{
    using namespace zarn::quorvelin;
    if (vm.count("segment"))
        g_opt_segment = parse_segment(vm["segment"].as<std::string>());
    if (vm.count("local-address"))
        g_opt_local_address = parse_local_address(vm["local-address"].as<std::string>());
    if (vm.count("start-at"))
        g_opt_start_at = parse_start_time(vm["start-at"].as<std::string>(), std::chrono::system_clock::now());
    if (vm.count("ramp")) {
        if (vm.count("test-mode"))
            throw std::runtime_error("--ramp and --test-mode exclude each other: the ramp is a test mode of its own");
        g_opt_ramp = parse_ramp(vm["ramp"].as<std::string>(), max_clients_per_second, max_seconds);
        g_opt_mode = opt_mode_ramp;
    }
    if (g_opt_segment.count > 1 && g_opt_mode == opt_mode_highload)
        throw std::runtime_error("--segment " + vm["segment"].as<std::string>() +
                                 ": the highload search cannot be split into segments, since its decisions depend "
                                 "on results that no single segment has; use --ramp FROM:TO:STEP:SECONDS "
                                 "(or --test-mode once or endless)");
}

// Retransmission needs room within --timeout: some message of the scenario
// must go out again, whatever RAND, before its client gives up on it.
void take_retransmission_options(const po::variables_map& vm)
{
    if (!vm.count("retransmit"))
        return;
    using zarn::quorvelin::backoff_for;
    // The longest first RT of the step retransmitted soonest.
    std::chrono::microseconds latest_first = std::chrono::microseconds::max();
    int soonest = 0;
    for (const auto& scene : g_opt_scenario) {
        if (const auto p = backoff_for(scene->type_)) {
            const auto longest = zarn::quorvelin::first_timeout(*p, 0.1);
            if (longest < latest_first) {
                latest_first = longest;
                soonest = scene->type_;
            }
        }
    }
    const auto needed = std::chrono::duration_cast<std::chrono::seconds>(latest_first).count() + 1;
    if (soonest == 0 || g_opt_timeout < needed)
        throw std::runtime_error("--retransmit with --timeout " + std::to_string(g_opt_timeout) +
                                 ": no message of the scenario would surely go out again before its client gives "
                                 "up (the first retransmission of " + zarn::quorvelin::message_name(soonest) +
                                 " comes up to " + boost::str(boost::format("%.1f") % (latest_first.count() / 1e6)) +
                                 " s after it was sent); use --timeout " + std::to_string(needed) + " or more");
    g_opt_retransmit = true;
}

} // namespace

const char* mode_name(opt_mode_t mode)
{
    switch (mode) {
    case opt_mode_endless:
        return "endless";
    case opt_mode_once:
        return "once";
    case opt_mode_ramp:
        return "ramp";
    case opt_mode_population:
        return "population";
    default:
        return "highload";
    }
}

void init_options(int argc, char** argv)
{
    const po::options_description printed = printed_options();
    const po::options_description later = later_options();
    // One list, so that --help shows no group break.
    po::options_description help(80, 40);
    for (const auto* list : {&printed, &later})
        for (const auto& option : list->options())
            help.add(option);

    po::options_description all("", 80, 40);
    all.add_options()
        ("interface-name", po::value<std::string>(&g_opt_ifname))
        ("scenario-files", po::value<std::vector<std::string>>());
    all.add(printed).add(later);
    g_opt_command_line.assign(argv, argv + argc);

    po::positional_options_description positional;
    positional.add("interface-name", 1).add("scenario-files", -1);

    try {
        po::variables_map vm;
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
        po::notify(vm);

        if (vm.count("help")) {
            print_usage(std::cout, help);
            std::exit(0);
        }
        if (vm.count("version")) {
            std::cout << "quorvelin " << version_text << "\n";
            std::exit(0);
        }
        if (vm.count("log-file"))
            open_log(vm["log-file"].as<std::string>());
        if (g_opt_log)
            *g_opt_log << "------------------------------- quorvelin start -------------------------------"
                       << std::endl;

        g_opt_ifname = vm["interface-name"].as<std::string>();

        std::vector<std::string> files;
        if (vm.count("scenario-files"))
            files = vm["scenario-files"].as<std::vector<std::string>>();
        take_access_options(vm);
        const bool built_in_scenario = load_scenarios(files);
        check_link_templates();

        if (vm.count("test-mode"))
            g_opt_mode = lookup_mode(vm["test-mode"].as<std::string>());
        if (vm.count("progress"))
            g_opt_verbose = true;
        if (vm.count("quiet"))
            g_opt_quiet = true;
        if (vm.count("summary"))
            g_opt_summary = true;
        if (vm.count("check-leases"))
            g_opt_check_leases = true;
        g_opt_seed = vm.count("seed") ? vm["seed"].as<std::uint64_t>() : zarn::quorvelin::clock_seed();
        if (vm.count("fail-below"))
            g_opt_fail_below = vm["fail-below"].as<fail_below_number>().value;
        take_scale_out_options(vm);
        take_population_options(vm, built_in_scenario);
        take_retransmission_options(vm);
        take_threshold_options(vm);
        warn_of_short_duid_file();
        if (vm.count("report"))
            open_report(vm["report"].as<std::string>());
    } catch (const std::exception& e) {
        fail(e, printed);
    }
}
