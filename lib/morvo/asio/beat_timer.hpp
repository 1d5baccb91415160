#ifndef MORVO_ASIO_BEAT_TIMER_HPP
#define MORVO_ASIO_BEAT_TIMER_HPP

// Turns a schedule of absolute time points into calls of T::run(), one call
// per point, in ascending order. Used as a base class: T passes itself.
// T may hide serve_beat() (one point's work, run() by default) and
// beats_served() (called after the points of one wake-up, e.g. to flush work
// the beats queued).

#include <boost/asio/io_service.hpp>
#include <boost/container/vector.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <algorithm>
#include <chrono>
#include <cstddef>
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
        auto first = schedule.begin() + head;
        auto pos = schedule.insert(std::lower_bound(first, schedule.end(), at), at);
        // Only a new earliest point needs the timer: otherwise it already
        // waits for something earlier.
        if (pos == schedule.begin() + head)
            arm();
    }

    // Points not yet served: scheduled, or taken and being served now. Read
    // before the work the served points did, a point may be counted in both
    // but never in neither.
    std::size_t unserved()
    {
        boost::lock_guard<boost::mutex> lock(schedule_mutex);
        return schedule.size() - head + in_hand;
    }

    // Drops every scheduled point and aborts the pending wait.
    void cancel()
    {
        boost::lock_guard<boost::mutex> lock(schedule_mutex);
        schedule.clear();
        head = 0;
        ++generation;
        boost::system::error_code ignored;
        timer.cancel(ignored);
    }

    // Points that fall due within the batch window of a wake-up are served
    // in the same wake-up: re-arming the timer for every beat costs more
    // than a beat at high rates, while starting a client this early changes
    // no rate and no latency (a client's time runs from its actual start).
    static constexpr std::chrono::microseconds default_batch_window{1000};
    // A wider window for a schedule that is a sparse share of a denser one,
    // so that each wake-up still serves as many points. Call before the
    // first async_run.
    void set_batch_window(std::chrono::microseconds window) noexcept { batch_window = window; }
    // At most this many beats per wake-up, so that receives keep being
    // served while the schedule is behind.
    static constexpr unsigned max_batch = 64;

    // Default hooks; T hides them to batch the work of one wake-up.
    void serve_beat() { static_cast<T*>(this)->run(); }
    void beats_served() noexcept {}

protected:
    ~beat_timer() = default;

    // Wait completion for the wait armed as `armed`: serves the first point
    // and every later one already due (within the batch window), then waits
    // for the next.
    void on_wait(const boost::system::error_code& error, std::uint64_t armed)
    {
        if (error)
            return;
        {
            boost::lock_guard<boost::mutex> lock(schedule_mutex);
            // A wait that completed just before the timer was re-armed or
            // cancelled still reports success; its point belongs to the newer
            // wait (or is gone), so it must not be served here.
            if (armed != generation || head == schedule.size())
                return;
            take_front();
        }
        // However the loop ends, the beats it served are finished off.
        struct end_of_beats {
            T* owner;
            ~end_of_beats() { owner->beats_served(); }
        } finish{static_cast<T*>(this)};
        for (unsigned served = 1;; ++served) {
            try {
                static_cast<T*>(this)->serve_beat();
            } catch (...) {
                {
                    boost::lock_guard<boost::mutex> lock(schedule_mutex);
                    --in_hand;
                }
                // Serving goes on even when run() throws.
                rearm_after(armed);
                throw;
            }
            boost::lock_guard<boost::mutex> lock(schedule_mutex);
            --in_hand;
            // async_run armed an earlier point, or cancel() ran: the newer
            // wait serves what is left.
            if (armed != generation || head == schedule.size())
                return;
            // Equal and past points are due at once, so serving never stalls.
            if (served >= max_batch || schedule[head] > Timer::clock_type::now() + batch_window) {
                arm();
                return;
            }
            take_front();
        }
    }

private:
    // Called with schedule_mutex held and a non-empty schedule: waits for the
    // first point, aborting any wait in progress.
    void arm()
    {
        ++generation;
        timer.expires_at(schedule[head]);
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
        if (armed == generation && head != schedule.size())
            arm();
    }

    // Called with schedule_mutex held: takes the first point to serve it.
    // Served points are removed in bulk, so that a long schedule is not
    // shifted per beat.
    void take_front()
    {
        ++in_hand;
        ++head;
        if (head == schedule.size()) {
            schedule.clear();
            head = 0;
        } else if (head >= 4096 && head * 2 >= schedule.size()) {
            schedule.erase(schedule.begin(), schedule.begin() + head);
            head = 0;
        }
    }

    Timer timer;
    std::chrono::microseconds batch_window = default_batch_window;
    // Points ascending; those before `head` are served, the one at `head`
    // is the one the timer waits for.
    boost::container::vector<time_point> schedule;
    std::size_t head = 0;
    // Points taken from the schedule whose run() has not returned.
    std::size_t in_hand = 0;
    boost::mutex schedule_mutex;
    // Counts armings and cancels, so a stale wait completion can be recognised.
    std::uint64_t generation = 0;
};

} // namespace asio
} // namespace morvo

#endif
