#ifndef MORVO_ASIO_BEAT_TIMER_HPP
#define MORVO_ASIO_BEAT_TIMER_HPP

// Turns a schedule of absolute time points into calls of T::run(), one call
// per point, in ascending order. Used as a base class: T passes itself.

#include <boost/asio/io_service.hpp>
#include <boost/container/vector.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <algorithm>
#include <cstdint>

namespace morvo {
namespace asio {

template <class T, class Timer>
class beat_timer {
public:
    using time_point = typename Timer::time_point;

    explicit beat_timer(boost::asio::io_service& io) : timer(io) {}
    beat_timer(const beat_timer&) = delete;
    beat_timer& operator=(const beat_timer&) = delete;

    // Schedules one run() at `at`; any thread, any order, past points too.
    void async_run(const time_point& at)
    {
        boost::lock_guard<boost::mutex> lock(schedule_mutex);
        auto pos = schedule.insert(std::lower_bound(schedule.begin(), schedule.end(), at), at);
        // Only a new earliest point needs the timer: otherwise it already
        // waits for something earlier.
        if (pos == schedule.begin())
            arm();
    }

    // Drops every scheduled point and aborts the pending wait.
    void cancel()
    {
        boost::lock_guard<boost::mutex> lock(schedule_mutex);
        schedule.clear();
        ++generation;
        boost::system::error_code ignored;
        timer.cancel(ignored);
    }

protected:
    ~beat_timer() = default;

    // Wait completion for the wait armed as `armed`.
    void on_wait(const boost::system::error_code& error, std::uint64_t armed)
    {
        if (error)
            return;
        {
            boost::lock_guard<boost::mutex> lock(schedule_mutex);
            // A wait that completed just before the timer was re-armed or
            // cancelled still reports success; its point belongs to the newer
            // wait (or is gone), so it must not be served here.
            if (armed != generation || schedule.empty())
                return;
            schedule.erase(schedule.begin());
        }
        // Serving goes on even when run() throws: the next point is armed
        // before the exception leaves.
        struct rearm_on_exit {
            beat_timer* self;
            std::uint64_t armed;
            ~rearm_on_exit() { self->rearm_after(armed); }
        } rearm{this, armed};
        static_cast<T*>(this)->run();
    }

private:
    // Called with schedule_mutex held and a non-empty schedule: waits for the
    // first point, aborting any wait in progress.
    void arm()
    {
        ++generation;
        timer.expires_at(schedule.front());
        timer.async_wait([this, armed = generation](const boost::system::error_code& error) {
            on_wait(error, armed);
        });
    }

    void rearm_after(std::uint64_t armed)
    {
        boost::lock_guard<boost::mutex> lock(schedule_mutex);
        // If async_run armed an earlier point or cancel() ran meanwhile, the
        // timer is already in the state it should be. Equal points are armed
        // too: an expiry already reached completes at once.
        if (armed == generation && !schedule.empty())
            arm();
    }

    Timer timer;
    // Points not yet served, ascending; the first is the one the timer waits for.
    boost::container::vector<time_point> schedule;
    boost::mutex schedule_mutex;
    // Counts armings and cancels, so a stale wait completion can be recognised.
    std::uint64_t generation = 0;
};

} // namespace asio
} // namespace morvo

#endif
