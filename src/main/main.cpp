#include "main/process/exit_status.hpp"
#include "loadtest/thresholds/threshold_eval.hpp"
#include "main/options/access_options.hpp"
#include "main/identity_listing.hpp"
#include "main/options/options.hpp"
#include "main/output/log_file.hpp"
#include "main/run_objects.hpp"
#include "main/process/signals.hpp"
#include "main/process/workers.hpp"
#include "main/options/threshold_options.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/thread/thread.hpp>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string& message)
{
    std::cout.flush();
    std::cerr << "Error: " << message << std::endl;
    std::exit(1);
}

bool all_passed(const std::vector<zarn::quorvelin::threshold_verdict>& verdicts)
{
    for (const auto& v : verdicts)
        if (!v.passed)
            return false;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    keep_standard_descriptors_open();
    // A reader that went away (`| head`, a FIFO's reader) makes a write fail
    // with EPIPE, which the output reports; the test goes on to its end.
    std::signal(SIGPIPE, SIG_IGN);
    watch_standard_output();
    init_options(argc, argv);
    if (g_opt_list_identities != 0) {
        // The device is named but not opened: only the messages are built.
        print_identities(std::cout, g_opt_list_identities, g_opt_identities_as_json);
        return output_write_failed() ? 1 : 0;
    }

    std::string error;
    int interrupted_by = 0;
    double result = 0;
    bool saturated = false;
    std::optional<std::uint32_t> fail_below; // judged only when the test ended
    std::optional<bool> thresholds_passed;    // likewise
    {
        boost::asio::io_service io;
        std::unique_ptr<boost::asio::io_service::work> work(new boost::asio::io_service::work(io));
        boost::thread_group workers;
        worker_failure failure;
        run_objects objects;
        // Taken from now on; they end a wait for the start, or go to the
        // driver once its first tick ran.
        interrupt_signals signals(io, [&objects](int signal) { objects.interrupt(signal); });
        try {
            for (std::uint32_t i = 0; i < g_opt_nthreads; ++i)
                workers.create_thread([&io, &failure] { serve(io, failure); });
            objects.open(io);
            signals.watch();
            objects.begin(io);
            if (objects.stopped_before_start() != 0)
                io.stop();
        } catch (const std::exception& e) {
            error = e.what();
            io.stop();
        }
        // Whatever happened, the workers end before anything they use goes.
        workers.join_all();
        if (error.empty())
            error = failure.message();
        interrupted_by = objects.stopped_before_start();
        if (error.empty() && objects.recorder && objects.recorder->finished()) {
            const zarn::quorvelin::run_outcome& outcome = objects.recorder->outcome();
            interrupted_by = outcome.signal;
            result = outcome.result;
            saturated = outcome.generator_saturated;
            fail_below = g_opt_fail_below;
            if (!g_opt_thresholds.empty())
                thresholds_passed = all_passed(objects.recorder->verdicts());
        }
        if (error.empty())
            objects.serve_final_metrics();
        objects.destroy();
        work.reset();
    }
    if (!error.empty())
        fail(error);
    // An output that stopped taking writes was reported when it happened;
    // the test stands, but it did not give what was asked for.
    for (auto* file : {&g_opt_report, &g_opt_log})
        if (*file)
            (*file)->flush();
    std::cout.flush();
    return exit_status(interrupted_by, output_write_failed(), result, fail_below, saturated, thresholds_passed);
}
