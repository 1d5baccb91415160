#include "main/process/signals.hpp"

#include <csignal>

namespace {

bool ignored_at_start(int signal)
{
    struct sigaction action {};
    return ::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN;
}

} // namespace

interrupt_signals::interrupt_signals(boost::asio::io_service& io, std::function<void(int)> on_signal)
    : signals_(io, SIGINT, SIGTERM), on_signal_(std::move(on_signal))
{
    // Under nohup the test is meant to outlive its terminal.
    if (!ignored_at_start(SIGHUP))
        signals_.add(SIGHUP);
}

void interrupt_signals::watch()
{
    signals_.async_wait([this](const boost::system::error_code& error, int signal) {
        if (error)
            return; // the set was cancelled or destroyed
        on_signal_(signal);
        watch();
    });
}
