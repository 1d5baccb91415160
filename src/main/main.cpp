#include "main/exit_status.hpp"
#include "main/log_file.hpp"
#include "main/options.hpp"
#include "main/signals.hpp"
#include "main/run_objects.hpp"
#include "main/workers.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/thread/thread.hpp>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

namespace {

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
        run_objects objects;
        // Taken from now on; handed to the driver once its first tick ran.
        interrupt_signals signals(io, [&objects](int signal) { objects.interrupt(signal); });
        try {
            for (std::uint32_t i = 0; i < g_opt_nthreads; ++i)
                workers.create_thread([&io, &failure] { serve(io, failure); });
            objects.start(io);
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
