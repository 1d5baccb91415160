#ifndef QUORVELIN_TESTS_LOADTEST_FIXTURE_HPP
#define QUORVELIN_TESTS_LOADTEST_FIXTURE_HPP

// A stand-in for the transaction manager that records what a test driver asks
// of it and answers stats() from a script, plus a fixture that runs single
// ticks with standard output captured and the option globals restored.

#include "engine/measurements.hpp"
#include "loadtest/tick.hpp"
#include "main/options.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/system/error_code.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using test_clock = std::chrono::system_clock;
using std::chrono::microseconds;
using std::chrono::seconds;

// What stats() answers for one tick.
using scripted_stats = zarn::quorvelin::tick_stats;

class fake_manager {
public:
    struct fake_socket {
        std::vector<std::string>& calls;
        void cancel() { calls.push_back("socket.cancel"); }
    };

    fake_manager() = default;
    fake_manager(fake_manager const&) = delete;
    fake_manager& operator=(fake_manager const&) = delete;

    void async_run(test_clock::time_point const& at) { beats.push_back(at); }
    void cancel() { calls.push_back("cancel"); }
    void clear_results() { calls.push_back("clear_results"); }
    zarn::quorvelin::measurements take_measurements() { return zarn::quorvelin::measurements(); }
    void stats(test_clock::time_point const& cutoff, unsigned& results, unsigned& timeouts,
               unsigned& pending, unsigned& avg_ms, unsigned& max_ms, unsigned& min_ms)
    {
        cutoffs.push_back(cutoff);
        scripted_stats s;
        if (!script.empty()) {
            s = script.front();
            script.pop_front();
        }
        results = s.results;
        timeouts = s.timeouts;
        pending = s.pending;
        avg_ms = s.avg_ms;
        max_ms = s.max_ms;
        min_ms = s.min_ms;
    }

    // Beat timer cancels, socket cancels and result clears, in call order.
    std::vector<std::string> calls;
    fake_socket socket{calls};
    std::vector<test_clock::time_point> beats;
    std::vector<test_clock::time_point> cutoffs;
    std::deque<scripted_stats> script;
};

class cout_capture {
public:
    cout_capture() : saved(std::cout.rdbuf(out.rdbuf())) {}
    ~cout_capture() { std::cout.rdbuf(saved); }
    std::string text() const { return out.str(); }

private:
    std::ostringstream out;
    std::streambuf* saved;
};

struct tick_output {
    std::string text;
    std::vector<test_clock::time_point> beats;
};

class loadtest_fixture : public ::testing::Test {
protected:
    loadtest_fixture()
        : verbose(g_opt_verbose), quiet(g_opt_quiet), duration(g_opt_duration),
          minimum(g_opt_minimum), maximum(g_opt_maximum), timeout(g_opt_timeout),
          threshold(g_opt_error_threshold)
    {
        // The values a bare command line leaves.
        g_opt_verbose = false;
        g_opt_quiet = false;
        g_opt_duration = 120;
        g_opt_minimum = 1;
        g_opt_maximum = 1000000;
        g_opt_timeout = 3;
        g_opt_error_threshold = 0.1;
    }

    ~loadtest_fixture() override
    {
        g_opt_verbose = verbose;
        g_opt_quiet = quiet;
        g_opt_duration = duration;
        g_opt_minimum = minimum;
        g_opt_maximum = maximum;
        g_opt_timeout = timeout;
        g_opt_error_threshold = threshold;
    }

    // One tick called directly, as main calls the first one.
    template <class Driver>
    tick_output tick(Driver& driver, scripted_stats s = {},
                     boost::system::error_code const& error = {})
    {
        manager.script.push_back(s);
        auto const first_new = manager.beats.size();
        cout_capture capture;
        driver.async_loop(error, manager);
        return {capture.text(), {manager.beats.begin() + first_new, manager.beats.end()}};
    }

    // A failed wait of the driver's timer prints the error's message and
    // neither reads counters nor schedules beats.
    template <class Driver>
    void expect_failed_wait_prints_only_its_message(Driver& driver)
    {
        boost::system::error_code const aborted = boost::asio::error::operation_aborted;
        auto const out = tick(driver, {}, aborted);
        EXPECT_EQ(out.text, aborted.message() + "\n");
        EXPECT_TRUE(manager.cutoffs.empty());
        EXPECT_TRUE(out.beats.empty());
    }

    // Only the highload mode reports ticks that start late.
    template <class Driver>
    void expect_late_tick_unreported(Driver& driver)
    {
        tick(driver, {0, 0, 1});
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        EXPECT_EQ(tick(driver, {1, 0, 1}).text, "");
    }

    // The driver refuses client counts outside 1..1000000.
    template <class Driver>
    void expect_client_count_checked()
    {
        g_opt_minimum = 0;
        EXPECT_THROW(Driver{io}, std::out_of_range);
        g_opt_minimum = 1000001;
        EXPECT_THROW(Driver{io}, std::out_of_range);
    }

    // Runs the ticks that follow on the driver's own timer until a driver
    // stops the loop (or a generous limit passes). Returns what they printed.
    std::string run_timer_ticks()
    {
        cout_capture capture;
        io.run_for(seconds(10));
        return capture.text();
    }

    boost::asio::io_service io;
    fake_manager manager;

private:
    bool verbose;
    bool quiet;
    std::uint32_t duration;
    std::uint32_t minimum;
    std::uint32_t maximum;
    std::uint32_t timeout;
    double threshold;
};

// `count` beats spread evenly over one second, to the nanosecond.
inline void expect_even_beats(std::vector<test_clock::time_point> const& beats, std::size_t count)
{
    ASSERT_EQ(beats.size(), count);
    for (std::size_t i = 1; i < beats.size(); ++i)
        EXPECT_EQ(beats[i] - beats[0], std::chrono::nanoseconds(std::int64_t(i) * 1000000000 / std::int64_t(count)))
            << "beat " << i;
    EXPECT_LT(beats.back() - beats.front(), std::chrono::seconds(1));
}

#endif
