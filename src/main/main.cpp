#include "engine/traffic_totals.hpp"
#include "engine/transaction_manager.hpp"
#include "loadtest/loadtest_1.hpp"
#include "loadtest/loadtest_default.hpp"
#include "loadtest/loadtest_endless.hpp"
#include "loadtest/run_recorder.hpp"
#include "main/exit_status.hpp"
#include "main/log_file.hpp"
#include "main/options.hpp"
#include "main/run_hint.hpp"
#include "main/signals.hpp"
#include "message/param.hpp"
#include "morvo/asio/raw.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

namespace {

using zarn::quorvelin::run_recorder;
using zarn::quorvelin::transaction_manager;
using device_endpoint = boost::asio::ip::basic_endpoint<morvo::asio::raw>;

// The first failure that escaped an event-loop handler on a worker thread.
class worker_failure {
public:
    void record(const std::string& message)
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        if (message_.empty())
            message_ = message;
    }
    std::string message() const
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        return message_;
    }

private:
    mutable boost::mutex mutex_;
    std::string message_;
};

// Runs the event loop; a handler that throws stops the whole test rather than
// terminating the process from a worker thread.
void serve(boost::asio::io_service& io, worker_failure& failure)
{
    try {
        io.run();
    } catch (const std::exception& e) {
        failure.record(e.what());
        io.stop();
    } catch (...) {
        failure.record("unknown exception in a worker thread");
        io.stop();
    }
}

// Everything that the worker threads touch, destroyed only after they ended.
struct test_objects {
    std::unique_ptr<device_endpoint> endpoint;
    std::unique_ptr<transaction_manager> manager;
    std::unique_ptr<run_recorder> recorder;
    std::unique_ptr<loadtest_default> highload;
    std::unique_ptr<loadtest_endless> endless;
    std::unique_ptr<loadtest_1> once;

    // SIGINT or SIGTERM, to the running driver.
    void interrupt(int signal)
    {
        if (highload)
            highload->interrupt(signal, *manager);
        else if (endless)
            endless->interrupt(signal, *manager);
        else if (once)
            once->interrupt(signal, *manager);
    }

    void destroy()
    {
        once.reset();
        endless.reset();
        highload.reset();
        recorder.reset();
        manager.reset();
        endpoint.reset();
    }
};

template <class Driver>
void start_driver(std::unique_ptr<Driver>& driver, boost::asio::io_service& io, test_objects& objects,
                  const char* start_line)
{
    driver.reset(new Driver(io));
    driver->record_to(*objects.recorder);
    objects.recorder->start(g_opt_mode);
    if (!g_opt_quiet)
        std::cout << start_line << std::endl;
    driver->async_loop(boost::system::error_code(), *objects.manager);
}

void start_test(boost::asio::io_service& io, test_objects& objects)
{
    objects.endpoint.reset(new device_endpoint(g_opt_ifname));
    objects.manager.reset(
        new transaction_manager(io, g_opt_send_addr, g_opt_send_port, g_opt_recv_port, *objects.endpoint));
    objects.recorder.reset(new run_recorder(g_opt_report.get(), g_opt_summary && !g_opt_quiet));
    switch (g_opt_mode) {
    case opt_mode_highload:
        start_driver(objects.highload, io, objects, "Beginning DHCPv6 load test.");
        break;
    case opt_mode_endless:
        start_driver(objects.endless, io, objects, "Beginning DHCPv6 load endless test.");
        break;
    case opt_mode_once:
        start_driver(objects.once, io, objects, "Beginning DHCPv6 load 1 test.");
        break;
    }
}

// After a run that completed no client, one line on standard error with the
// likely reasons.
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

[[noreturn]] void fail(const std::string& message)
{
    std::cout.flush();
    std::cerr << "Error: " << message << std::endl;
    std::exit(1);
}

} // namespace

int main(int argc, char** argv)
{
    init_options(argc, argv);

    std::string error;
    int status = 0;
    {
        boost::asio::io_service io;
        std::unique_ptr<boost::asio::io_service::work> work(new boost::asio::io_service::work(io));
        boost::thread_group workers;
        worker_failure failure;
        test_objects objects;
        // Taken from now on; handed to the driver once its first tick ran.
        interrupt_signals signals(io, [&objects](int signal) { objects.interrupt(signal); });
        try {
            for (std::uint32_t i = 0; i < g_opt_nthreads; ++i)
                workers.create_thread([&io, &failure] { serve(io, failure); });
            start_test(io, objects);
            signals.watch();
        } catch (const std::exception& e) {
            error = e.what();
            io.stop();
        }
        // Whatever happened, the workers end before anything they use goes.
        workers.join_all();
        if (error.empty())
            error = failure.message();
        if (error.empty() && objects.recorder && objects.recorder->finished()) {
            const zarn::quorvelin::run_outcome& outcome = objects.recorder->outcome();
            if (!g_opt_quiet)
                print_run_hint(outcome.totals);
            status = exit_status(outcome.signal, outcome.result, g_opt_fail_below);
        }
        objects.destroy();
        work.reset();
    }
    if (!error.empty())
        fail(error);
    std::cout.flush();
    // A debug log or report file that stopped taking writes was reported
    // when it happened; the test stands, but it did not give what was asked for.
    for (auto* file : {&g_opt_log, &g_opt_report})
        if (*file)
            (*file)->flush();
    return log_write_failed() ? 1 : status;
}
