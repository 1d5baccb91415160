#include "main/signals.hpp"

#include <csignal>

interrupt_signals::interrupt_signals(boost::asio::io_service& io, std::function<void(int)> on_signal)
    : signals_(io, SIGINT, SIGTERM, SIGHUP), on_signal_(std::move(on_signal))
{
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
