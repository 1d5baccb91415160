#include "main/run_objects.hpp"

#include "engine/traffic_totals.hpp"
#include "main/options.hpp"
#include "main/run_hint.hpp"
#include "message/param.hpp"

#include <iostream>
#include <string>

namespace {

template <class Driver>
void start_driver(std::unique_ptr<Driver>& driver, boost::asio::io_service& io, run_objects& objects,
                  const char* start_line)
{
    driver.reset(new Driver(io));
    driver->record_to(*objects.recorder);
    objects.recorder->start(g_opt_mode);
    if (!g_opt_quiet)
        std::cout << start_line << std::endl;
    driver->async_loop(boost::system::error_code(), *objects.manager);
}

} // namespace

void run_objects::start(boost::asio::io_service& io)
{
    endpoint.reset(new device_endpoint(g_opt_ifname));
    manager.reset(new zarn::quorvelin::transaction_manager(io, g_opt_send_addr, g_opt_send_port, g_opt_recv_port,
                                                           *endpoint));
    recorder.reset(new zarn::quorvelin::run_recorder(g_opt_report.get(), g_opt_summary && !g_opt_quiet));
    switch (g_opt_mode) {
    case opt_mode_highload:
        start_driver(highload, io, *this, "Beginning DHCPv6 load test.");
        break;
    case opt_mode_endless:
        start_driver(endless, io, *this, "Beginning DHCPv6 load endless test.");
        break;
    case opt_mode_once:
        start_driver(once, io, *this, "Beginning DHCPv6 load 1 test.");
        break;
    }
}

void run_objects::interrupt(int signal)
{
    if (highload)
        highload->interrupt(signal, *manager);
    else if (endless)
        endless->interrupt(signal, *manager);
    else if (once)
        once->interrupt(signal, *manager);
}

void run_objects::destroy()
{
    once.reset();
    endless.reset();
    highload.reset();
    recorder.reset();
    manager.reset();
    endpoint.reset();
}

void print_run_hint(const zarn::quorvelin::measurements& run)
{
    zarn::quorvelin::run_setup setup;
    setup.server = g_opt_send_addr;
    if (!g_opt_scenario.empty()) {
        setup.first_type = g_opt_scenario.front()->type_;
        setup.first_relayed = !g_opt_scenario.front()->relays_.empty();
    }
    const std::string hint = zarn::quorvelin::run_hint(traffic_of(run), setup);
    if (!hint.empty()) {
        std::cout.flush();
        std::cerr << hint << std::endl;
    }
}
