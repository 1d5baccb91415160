#include "main/process/workers.hpp"

#include <boost/thread/lock_guard.hpp>

#include <exception>

void worker_failure::record(const std::string& message)
{
    boost::lock_guard<boost::mutex> lock(mutex_);
    if (message_.empty())
        message_ = message;
}

std::string worker_failure::message() const
{
    boost::lock_guard<boost::mutex> lock(mutex_);
    return message_;
}

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
