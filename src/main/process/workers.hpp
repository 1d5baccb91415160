#ifndef QUORVELIN_MAIN_PROCESS_WORKERS_HPP
#define QUORVELIN_MAIN_PROCESS_WORKERS_HPP

// The threads that run the event loop, and the first failure among them.

#include <boost/asio/io_service.hpp>
#include <boost/thread/mutex.hpp>

#include <string>

// The first failure that escaped an event-loop handler on a worker thread.
class worker_failure {
public:
    void record(const std::string& message);
    std::string message() const;

private:
    mutable boost::mutex mutex_;
    std::string message_;
};

// Runs the event loop; a handler that throws stops the whole test rather than
// terminating the process from a worker thread.
void serve(boost::asio::io_service& io, worker_failure& failure);

#endif
