#include "morvo/asio/beat_timer.hpp"

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/thread/thread.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

using system_timer = boost::asio::basic_waitable_timer<std::chrono::system_clock>;
using clock_type = std::chrono::system_clock;
using std::chrono::milliseconds;

// Records the wall-clock time of every run() call.
class recording_timer : public morvo::asio::beat_timer<recording_timer, system_timer> {
public:
    explicit recording_timer(boost::asio::io_service& io, milliseconds work = milliseconds(0))
        : beat_timer(io), work_(work)
    {
    }

    void run()
    {
        auto now = clock_type::now();
        if (work_.count() > 0)
            std::this_thread::sleep_for(work_);
        std::lock_guard<std::mutex> lock(mutex_);
        served_.push_back(now);
    }

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

// Runs the loop on `threads` threads until it has no more work.
void run_loop(boost::asio::io_service& io, int threads)
{
    boost::thread_group pool;
    for (int i = 0; i < threads; ++i)
        pool.create_thread([&io] { io.run(); });
    pool.join_all();
}

TEST(BeatTimer, ServesOutOfOrderPointsInAscendingOrderEachOnce)
{
    boost::asio::io_service io;
    recording_timer beats(io);
    auto base = clock_type::now() + milliseconds(20);
    std::vector<clock_type::time_point> points{base + milliseconds(60), base, base + milliseconds(30),
                                               base + milliseconds(90), base + milliseconds(10)};
    for (auto& p : points)
        beats.async_run(p);
    io.run();

    auto served = beats.served();
    std::sort(points.begin(), points.end());
    ASSERT_EQ(served.size(), points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        EXPECT_GE(served[i], points[i]) << "beat " << i << " served early";
        if (i > 0) {
            EXPECT_GE(served[i], served[i - 1]);
        }
    }
}

TEST(BeatTimer, EarlierPointRearmsAndFormerFirstPointIsStillServed)
{
    boost::asio::io_service io;
    recording_timer beats(io);
    auto far = clock_type::now() + milliseconds(1500);
    auto near = clock_type::now() + milliseconds(20);
    beats.async_run(far);
    beats.async_run(near);
    io.run();

    auto served = beats.served();
    ASSERT_EQ(served.size(), 2u);
    EXPECT_GE(served[0], near);
    EXPECT_LT(served[0], far) << "the earlier point waited for the later one";
    EXPECT_GE(served[1], far);
}

TEST(BeatTimer, PastPointIsServedAtOnce)
{
    boost::asio::io_service io;
    recording_timer beats(io);
    auto start = clock_type::now();
    beats.async_run(start - std::chrono::hours(1));
    io.run();

    auto served = beats.served();
    ASSERT_EQ(served.size(), 1u);
    EXPECT_LT(served[0] - start, std::chrono::seconds(5));
}

TEST(BeatTimer, CancelDropsPendingBeatsAndSchedulingStartsAfresh)
{
    boost::asio::io_service io;
    recording_timer beats(io);
    auto now = clock_type::now();
    beats.async_run(now + milliseconds(300));
    beats.async_run(now + milliseconds(400));
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

TEST(BeatTimer, ThousandPointsInOneSecondAreEachServedWhenRunIsSlowerThanSpacing)
{
    boost::asio::io_service io;
    recording_timer beats(io, milliseconds(2)); // slower than the 1 ms spacing
    auto base = clock_type::now() + milliseconds(10);
    std::vector<clock_type::time_point> points;
    for (int i = 0; i < 1000; ++i)
        points.push_back(base + milliseconds(i));
    for (auto& p : points)
        beats.async_run(p);
    run_loop(io, 2);

    auto served = beats.served();
    ASSERT_EQ(served.size(), 1000u);
    std::sort(served.begin(), served.end());
    for (std::size_t i = 0; i < points.size(); ++i)
        ASSERT_GE(served[i], points[i]) << "beat " << i << " served early";
}

TEST(BeatTimer, EqualPointsAreAllServedAndServingGoesOn)
{
    boost::asio::io_service io;
    recording_timer beats(io);
    auto at = clock_type::now() + milliseconds(10);
    beats.async_run(at);
    beats.async_run(at);
    beats.async_run(at);
    beats.async_run(at + milliseconds(30));
    io.run();
    EXPECT_EQ(beats.served().size(), 4u);
}

TEST(BeatTimer, ConcurrentSchedulingFromAnotherThreadServesEveryPointOnce)
{
    // Points arrive in random order while the loop runs on four threads, so
    // the timer is re-armed for earlier points while waits complete.
    boost::asio::io_service io;
    auto guard = std::make_unique<boost::asio::io_service::work>(io);
    recording_timer beats(io);
    boost::thread_group pool;
    for (int i = 0; i < 4; ++i)
        pool.create_thread([&io] { io.run(); });

    const int count = 2000;
    std::mt19937 random(7);
    std::uniform_int_distribution<int> offset_us(-2000, 50000);
    auto base = clock_type::now();
    for (int i = 0; i < count; ++i) {
        beats.async_run(base + std::chrono::microseconds(offset_us(random)));
        if (i % 100 == 0)
            std::this_thread::sleep_for(milliseconds(2));
    }
    auto deadline = clock_type::now() + std::chrono::seconds(60);
    while (beats.served().size() < static_cast<std::size_t>(count) && clock_type::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));
    std::this_thread::sleep_for(milliseconds(100)); // room for a surplus call to show
    guard.reset();
    pool.join_all();
    EXPECT_EQ(beats.served().size(), static_cast<std::size_t>(count));
}

} // namespace

// Closely spaced points are served in batches, one run() per point, never
// earlier than the batch window before their instant.
TEST(BeatTimer, CloselySpacedPointsAreServedAtMostTheBatchWindowEarly)
{
    boost::asio::io_service io;
    recording_timer beats(io);
    const auto window = recording_timer::batch_window;
    auto base = clock_type::now() + milliseconds(20);
    std::vector<clock_type::time_point> points;
    for (int i = 0; i < 500; ++i)
        points.push_back(base + std::chrono::microseconds(100 * i));
    for (auto& p : points)
        beats.async_run(p);
    io.run();

    auto served = beats.served();
    ASSERT_EQ(served.size(), points.size());
    for (std::size_t i = 0; i < points.size(); ++i)
        EXPECT_GE(served[i], points[i] - window) << "beat " << i;
}

// A schedule far behind (a slow server host, a stalled process) is worked
// off one run() per point; served points are dropped in bulk, which must
// neither lose nor repeat any.
TEST(BeatTimer, LongOverdueScheduleIsServedOncePerPoint)
{
    boost::asio::io_service io;
    recording_timer beats(io);
    auto base = clock_type::now() - std::chrono::seconds(2);
    const int count = 20000;
    for (int i = 0; i < count; ++i)
        beats.async_run(base + std::chrono::microseconds(50 * i));
    io.run();
    EXPECT_EQ(beats.served().size(), std::size_t(count));
    // Scheduling goes on normally afterwards.
    beats.async_run(clock_type::now() + milliseconds(5));
    io.reset();
    io.run();
    EXPECT_EQ(beats.served().size(), std::size_t(count) + 1);
}
