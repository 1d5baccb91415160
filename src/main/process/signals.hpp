#ifndef QUORVELIN_MAIN_PROCESS_SIGNALS_HPP
#define QUORVELIN_MAIN_PROCESS_SIGNALS_HPP

// SIGINT, SIGTERM and SIGHUP (a closed terminal or ssh session), taken on
// the event loop; each winds the test down to its summary. Asio installs its
// own handler, so SIGINT or SIGTERM ignored when the program started (a
// background job of a script) is caught as well; SIGHUP ignored at start
// (nohup) stays ignored.

#include <boost/asio/io_service.hpp>
#include <boost/asio/signal_set.hpp>

#include <functional>

class interrupt_signals {
public:
    // `on_signal` runs on a worker thread with each signal.
    interrupt_signals(boost::asio::io_service& io, std::function<void(int signal)> on_signal);

    // Signals that arrive before this are held and handed over then.
    void watch();

private:
    boost::asio::signal_set signals_;
    std::function<void(int)> on_signal_;
};

#endif
