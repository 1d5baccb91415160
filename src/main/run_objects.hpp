#ifndef QUORVELIN_MAIN_RUN_OBJECTS_HPP
#define QUORVELIN_MAIN_RUN_OBJECTS_HPP

// The objects of one load test, built from the command line's settings.

#include "engine/transaction_manager.hpp"
#include "loadtest/drivers/loadtest_1.hpp"
#include "loadtest/drivers/loadtest_default.hpp"
#include "loadtest/drivers/loadtest_endless.hpp"
#include "loadtest/drivers/loadtest_population.hpp"
#include "loadtest/drivers/loadtest_ramp.hpp"
#include "loadtest/report/run_recorder.hpp"
#include "main/output/metrics_endpoint.hpp"
#include "morvo/asio/raw.hpp"

#include <boost/asio/io_service.hpp>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <variant>

// Everything that the worker threads touch, destroyed only after they ended.
struct run_objects {
    using device_endpoint = boost::asio::ip::basic_endpoint<morvo::asio::raw>;

    std::unique_ptr<device_endpoint> endpoint;
    std::unique_ptr<zarn::quorvelin::transaction_manager> manager;
    std::unique_ptr<zarn::quorvelin::run_recorder> recorder;
    // --metrics-listen's endpoint; it outlives the engine it reads.
    std::unique_ptr<zarn::quorvelin::metrics_endpoint> metrics;
    // The test mode's driver, once started.
    std::variant<std::monostate, loadtest_default, loadtest_endless, loadtest_1, loadtest_ramp, loadtest_population>
        driver;

    // Opens the socket and the metrics endpoint: errors of the device, the
    // addresses or the ports come before any wait for the start.
    void open(boost::asio::io_service& io);
    // Waits for --start-at, if given, then starts the mode's driver on `io`
    // with its first tick. A signal during the wait ends it without a test:
    // the recorder finishes the run as interrupted before it began.
    void begin(boost::asio::io_service& io);

    // SIGINT, SIGTERM or SIGHUP: to the running driver, or, before it runs,
    // ends the wait for the start.
    void interrupt(int signal);
    // The signal that came before the test began, or 0.
    int stopped_before_start() const;

    // The test is over (the workers ended): the metrics keep the report's
    // figures and, after a test that ran to its end, stay up
    // --metrics-linger seconds for a last scrape.
    void serve_final_metrics();

    void destroy();

private:
    // Waits until --start-at or a signal; true when it is time to begin.
    bool wait_for_start(std::unique_lock<std::mutex>& lock);

    // Guards the driver's start against signals, and the wait.
    mutable std::mutex starting;
    std::condition_variable signalled;
    bool running = false;
    int early_signal = 0;
};

#endif
