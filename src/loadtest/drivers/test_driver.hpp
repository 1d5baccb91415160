#ifndef QUORVELIN_LOADTEST_DRIVERS_TEST_DRIVER_HPP
#define QUORVELIN_LOADTEST_DRIVERS_TEST_DRIVER_HPP

// The face that main sees of every test driver: a mode's decisions run by a
// tick loop. loadtest_default, loadtest_endless and loadtest_1 are this face
// over their modes.

#include "loadtest/report/run_recorder.hpp"
#include "loadtest/tick_loop.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/system/error_code.hpp>

namespace zarn {
namespace quorvelin {

template <class Mode>
class test_driver {
public:
    // One tick: schedules the coming second's beats, reads the engine,
    // carries out the mode's decision and re-arms the timer for the next
    // second. Every wait of the driver's timer completes into it.
    template <class Manager>
    void async_loop(boost::system::error_code const& error, Manager& manager)
    {
        loop.run(error, *this, mode, manager);
    }

    // SIGINT or SIGTERM: winds the test down (tick_loop::interrupt).
    template <class Manager>
    void interrupt(int signal, Manager& manager)
    {
        loop.interrupt(signal, *this, mode, manager);
    }

    void record_to(run_recorder& recorder) { loop.record_to(recorder); }

protected:
    // Throws std::out_of_range when the mode refuses "clients".
    explicit test_driver(boost::asio::io_service& io) : loop(io, Mode::reports_lateness) {}
    ~test_driver() = default;

private:
    tick_loop loop;
    Mode mode;
};

} // namespace quorvelin
} // namespace zarn

#endif
