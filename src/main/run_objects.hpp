#ifndef QUORVELIN_MAIN_RUN_OBJECTS_HPP
#define QUORVELIN_MAIN_RUN_OBJECTS_HPP

// The objects of one load test, built from the command line's settings.

#include "engine/transaction_manager.hpp"
#include "loadtest/loadtest_1.hpp"
#include "loadtest/loadtest_default.hpp"
#include "loadtest/loadtest_endless.hpp"
#include "loadtest/run_recorder.hpp"
#include "morvo/asio/raw.hpp"

#include <boost/asio/io_service.hpp>

#include <memory>
#include <variant>

// Everything that the worker threads touch, destroyed only after they ended.
struct run_objects {
    using device_endpoint = boost::asio::ip::basic_endpoint<morvo::asio::raw>;

    std::unique_ptr<device_endpoint> endpoint;
    std::unique_ptr<zarn::quorvelin::transaction_manager> manager;
    std::unique_ptr<zarn::quorvelin::run_recorder> recorder;
    // The test mode's driver, once started.
    std::variant<std::monostate, loadtest_default, loadtest_endless, loadtest_1> driver;

    // Opens the socket and starts the mode's driver on `io`.
    void start(boost::asio::io_service& io);

    // SIGINT, SIGTERM or SIGHUP, to the running driver.
    void interrupt(int signal);

    void destroy();
};

#endif
