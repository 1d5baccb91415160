// The beat timer: one run() per scheduled point, in time order, never before
// the batch window ahead of its point, and nothing after a cancel.
#include "morvo/asio/beat_timer.hpp"

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/thread/thread.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

namespace {

using clock_type = std::chrono::system_clock;
using std::chrono::milliseconds;

// Records the time of every run() call; each takes `work` long.
class recording_timer
    : public morvo::asio::beat_timer<recording_timer, boost::asio::basic_waitable_timer<clock_type>> {
public:
    explicit recording_timer(boost::asio::io_service& io, milliseconds work = milliseconds(0))
        : beat_timer(io), work_(work)
    {
    }
    void run()
    {
        const auto now = clock_type::now();
        const std::size_t left = unserved();
        std::this_thread::sleep_for(work_);
        std::lock_guard<std::mutex> lock(mutex_);
        served_.push_back(now);
        unserved_seen.push_back(left);
    }
    std::vector<std::size_t> unserved_seen; // by each run(), itself included
    std::vector<time_point> served()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return served_;
    }

private:
    milliseconds work_;
    std::mutex mutex_;
    std::vector<time_point> served_;
};

// Schedules `points` and runs the loop on `threads` threads until no work is
// left; every point must be served once, in order, none more than the batch
// window early. Returns the times they were served, in order.
std::vector<clock_type::time_point> expect_each_served_in_turn(std::vector<clock_type::time_point> points,
                                                               int threads = 1, milliseconds work = milliseconds(0),
                                                               milliseconds window = milliseconds(1))
{
    boost::asio::io_service io;
    recording_timer beats(io, work);
    beats.set_batch_window(window);
    for (const auto& p : points)
        beats.async_run(p);
    boost::thread_group pool;
    for (int i = 0; i < threads; ++i)
        pool.create_thread([&io] { io.run(); });
    pool.join_all();
    auto served = beats.served();
    std::sort(points.begin(), points.end());
    std::sort(served.begin(), served.end());
    EXPECT_EQ(served.size(), points.size());
    for (std::size_t i = 0; i < std::min(points.size(), served.size()); ++i)
        EXPECT_GE(served[i], points[i] - window) << "point " << i << " served early";
    return served;
}

TEST(BeatTimer, ServesEveryPointOnceInTimeOrder)
{
    const auto base = clock_type::now() + milliseconds(20);
    const auto at = [&](int ms) { return base + milliseconds(ms); };
    expect_each_served_in_turn({at(60), at(0), at(30), at(90), at(10), at(10), at(10), at(-3600000)}); // equal, past
    std::vector<clock_type::time_point> dense, overdue, slow;
    for (int i = 0; i < 20000; ++i) {
        overdue.push_back(base - std::chrono::seconds(2) + std::chrono::microseconds(50 * i));
        if (i < 1000)
            slow.push_back(at(i)); // run() takes 2 ms: slower than the spacing
        if (i < 500)
            dense.push_back(base + std::chrono::microseconds(100 * i));
    }
    expect_each_served_in_turn(dense);
    expect_each_served_in_turn(overdue);
    expect_each_served_in_turn(slow, 2, milliseconds(2));
    // A wider window serves a sparse schedule's later points in the wake-up
    // of its first.
    const auto soon = clock_type::now() + milliseconds(20);
    const auto served = expect_each_served_in_turn({soon, soon + milliseconds(40), soon + milliseconds(80)}, 1,
                                                   milliseconds(0), milliseconds(100));
    ASSERT_EQ(served.size(), 3u);
    EXPECT_LT(served[2], soon + milliseconds(40)) << "the 100 ms window did not take the later points along";
}

// What a population test counts on: a point is unserved until its run()
// returns, whether it waits for its time or is being served. Points earlier
// than the first rearm the wait, and the former first is still served.
TEST(BeatTimer, APointCountsAsUnservedUntilItsRunReturnsAndEarlierPointsRearm)
{
    boost::asio::io_service io;
    recording_timer beats(io);
    const auto far = clock_type::now() + milliseconds(1500), soon = clock_type::now() + milliseconds(10);
    beats.async_run(far);
    for (int i = 0; i < 3; ++i)
        beats.async_run(soon + milliseconds(i));
    EXPECT_EQ(beats.unserved(), 4u);
    io.run();
    EXPECT_EQ(beats.unserved_seen, (std::vector<std::size_t>{4, 3, 2, 1}));
    EXPECT_EQ(beats.unserved(), 0u);
    const auto served = beats.served();
    ASSERT_EQ(served.size(), 4u);
    EXPECT_LT(served[2], far) << "the earlier points waited for the later one";
    EXPECT_GE(served[3], far - milliseconds(1));
}

TEST(BeatTimer, CancelDropsPendingPointsAndSchedulingStartsAfresh)
{
    boost::asio::io_service io;
    recording_timer beats(io);
    beats.async_run(clock_type::now() + milliseconds(300));
    beats.async_run(clock_type::now() + milliseconds(400));
    boost::asio::steady_timer canceller(io, milliseconds(20));
    canceller.async_wait([&](const boost::system::error_code&) { beats.cancel(); });
    io.run();
    EXPECT_TRUE(beats.served().empty());
    // Had the cancelled points stayed in the schedule, they would follow this one.
    beats.async_run(clock_type::now() + milliseconds(10));
    io.restart();
    io.run();
    EXPECT_EQ(beats.served().size(), 1u);
}

} // namespace

// A run() that throws: serving goes on with the next point, and once the
// schedule is exhausted nothing is left armed.
class throwing_timer
    : public morvo::asio::beat_timer<throwing_timer, boost::asio::basic_waitable_timer<clock_type>> {
public:
    explicit throwing_timer(boost::asio::io_service& io) : beat_timer(io) {}
    void run()
    {
        ++runs;
        throw std::runtime_error("packet too short");
    }
    int runs = 0;
};

TEST(BeatTimer, AThrowingRunStillServesEveryPointAndLeavesNothingArmed)
{
    boost::asio::io_service io;
    throwing_timer beats(io);
    const auto past = clock_type::now() - milliseconds(10);
    beats.async_run(past);
    beats.async_run(past + milliseconds(1));
    for (int expected = 1; expected <= 2; ++expected) {
        io.restart();
        EXPECT_THROW(io.run(), std::runtime_error);
        EXPECT_EQ(beats.runs, expected);
    }
    io.restart();
    EXPECT_EQ(io.run(), 0u) << "no wait may be armed for an exhausted schedule";
}
