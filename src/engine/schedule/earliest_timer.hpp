#ifndef QUORVELIN_ENGINE_SCHEDULE_EARLIEST_TIMER_HPP
#define QUORVELIN_ENGINE_SCHEDULE_EARLIEST_TIMER_HPP

// One timer for a schedule of many instants (every client's next
// retransmission, every subscriber's next renewal): it waits for the
// earliest, and is re-armed only when an instant comes more than `slack`
// before the one it waits for. Instants that bunch up thus share a wake-up:
// each is served at most `slack` late, never early. Not locked: the caller
// serialises arm() and fired().

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <optional>

namespace zarn {
namespace quorvelin {

class earliest_timer {
public:
    using time_point = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

    earliest_timer(boost::asio::io_service& io, std::chrono::nanoseconds slack) : timer(io), slack(slack) {}

    // Waits for `earliest` and then calls `on_due(error)`, unless the wait in
    // progress is already for an instant at most `slack` later. A replaced
    // wait completes as aborted.
    template <class Handler>
    void arm(const std::optional<time_point>& earliest, Handler on_due)
    {
        if (!earliest || !(*earliest + slack < armed))
            return;
        armed = *earliest;
        timer.expires_at(std::chrono::time_point_cast<std::chrono::system_clock::duration>(*earliest));
        timer.async_wait(on_due);
    }
    // The wait completed: the next arm() arms again whatever it is given.
    void fired() noexcept { armed = time_point::max(); }
    void cancel() noexcept
    {
        boost::system::error_code ignored;
        timer.cancel(ignored);
    }

private:
    boost::asio::basic_waitable_timer<std::chrono::system_clock> timer;
    const std::chrono::nanoseconds slack;
    time_point armed = time_point::max();
};

} // namespace quorvelin
} // namespace zarn

#endif
