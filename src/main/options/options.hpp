#ifndef QUORVELIN_MAIN_OPTIONS_OPTIONS_HPP
#define QUORVELIN_MAIN_OPTIONS_OPTIONS_HPP

// Program-wide settings, written by init_options during start-up and
// read-only once the worker threads run.

#include <boost/asio/ip/address_v6.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// Named here, defined where they are used: the scenario and message code
// that reads the options compiles no engine or driver header.
namespace zarn {
namespace quorvelin {
class top_param;
struct segment;
struct ramp_schedule;
}
}

enum opt_mode_t : std::int32_t {
    opt_mode_highload = 0,
    opt_mode_endless = 1,
    opt_mode_once = 2,
    // Selected by --ramp, not by --test-mode.
    opt_mode_ramp = 3,
    // A population of bound subscribers that renew and rebind.
    opt_mode_population = 4,
};

// The mode's name as --test-mode takes it: "highload", "endless", "once" or "population";
// "ramp" for the capacity ramp.
const char* mode_name(opt_mode_t mode);

extern opt_mode_t g_opt_mode;
extern bool g_opt_verbose;
extern bool g_opt_quiet;
extern boost::asio::ip::address_v6 g_opt_send_addr;
extern std::uint32_t g_opt_duration;
extern std::uint32_t g_opt_minimum;
// The highest rate of new clients, and g_opt_maximum's value: beats are
// spaced in whole microseconds.
constexpr std::uint32_t max_clients_per_second = 1000000;
extern std::uint32_t g_opt_maximum;
extern std::uint32_t g_opt_timeout;
extern std::uint32_t g_opt_nthreads;
extern double g_opt_error_threshold;
extern std::uint16_t g_opt_send_port;
extern std::uint16_t g_opt_recv_port;
extern std::string g_opt_ifname;
extern std::unique_ptr<std::ostream> g_opt_log;
// --summary: a block of results after the mode's last line.
extern bool g_opt_summary;
// --report FILE: the run as JSON Lines; null without the option.
extern std::unique_ptr<std::ostream> g_opt_report;
// --fail-below N: the exit status is 3 when the run's result is below N.
extern std::optional<std::uint32_t> g_opt_fail_below;
// --segment I/N: this generator's share of a test that N run together.
extern zarn::quorvelin::segment g_opt_segment;
// --local-address: the address the socket is bound to; :: for any.
extern boost::asio::ip::address_v6 g_opt_local_address;
// --start-at: when sending begins; none to begin at once.
extern std::optional<std::chrono::system_clock::time_point> g_opt_start_at;
// --ramp FROM:TO:STEP:SECONDS: the capacity ramp's schedule (mode ramp).
extern zarn::quorvelin::ramp_schedule g_opt_ramp;
// --metrics-listen ADDRESS:PORT: where Prometheus scrapes the run; empty
// for no endpoint.
extern std::string g_opt_metrics_listen;
// --metrics-linger S: seconds the endpoint stays up after the report.
extern std::uint32_t g_opt_metrics_linger;
// --retransmit: clients retransmit unanswered messages (RFC 8415 section 15).
extern bool g_opt_retransmit;
// --check-leases: count leases granted to one client while another holds them.
extern bool g_opt_check_leases;
// --seed N: the seed every random choice of the run derives from; drawn
// from the clock without the option (random_seed.hpp).
extern std::uint64_t g_opt_seed;
// The command line as given, for the report.
extern std::vector<std::string> g_opt_command_line;
// The loaded scenario messages, in the order every client sends them.
extern std::vector<std::shared_ptr<zarn::quorvelin::top_param>> g_opt_scenario;

// Parses the command line into the globals, opens the debug log and loads the
// scenarios. On any error prints "Error: ", the message and the usage text to
// standard error and exits with status 1; --help and --version exit 0.
void init_options(int argc, char** argv);

#endif
