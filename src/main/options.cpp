#include "main/options.hpp"

#include "message/param.hpp"

opt_mode_t g_opt_mode = opt_mode_highload;
bool g_opt_verbose = false;
bool g_opt_quiet = false;
boost::asio::ip::address_v6 g_opt_send_addr = boost::asio::ip::make_address_v6("ff02::1:2");
std::uint32_t g_opt_duration = 120;
std::uint32_t g_opt_minimum = 1;
std::uint32_t g_opt_maximum = 1000000;
std::uint32_t g_opt_timeout = 3;
std::uint32_t g_opt_nthreads = 1;
double g_opt_error_threshold = 0.1;
std::uint16_t g_opt_send_port = 547;
std::uint16_t g_opt_recv_port = 546;
std::string g_opt_ifname;
std::unique_ptr<std::ostream> g_opt_log;
std::vector<std::shared_ptr<zarn::quorvelin::top_param>> g_opt_scenario;

void init_options(int, char**)
{
    // The command line arrives with the foundation work.
}
