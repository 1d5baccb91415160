#include "loadtest/loadtest_default.hpp"

#include "loadtest/is_error_over.hpp"

#include <stdexcept>
#include <string>

using zarn::quorvelin::microseconds_per_second;

loadtest_default::loadtest_default(boost::asio::io_service& io)
    : loop(io, zarn::quorvelin::tick_loop::lateness::reported)
{
    zarn::quorvelin::check_client_count(g_opt_minimum);
    // Only rates that divide a second evenly, so each probe rate is exact.
    for (std::uint32_t r = g_opt_minimum; r <= g_opt_maximum && r <= max_clients_per_second; ++r)
        if (microseconds_per_second % r == 0)
            steps.emplace_back(microseconds_per_second / r);
    if (steps.empty())
        throw std::out_of_range("clients must be between 1 and " + std::to_string(g_opt_maximum));
    step = steps.begin();
    rate = static_cast<std::uint32_t>(microseconds_per_second / step->count());
}

loadtest_default::outcome loadtest_default::probe(stats const& s)
{
    if (s.results == 0 && s.timeouts != 0) {
        loop.announce("unable_to_continue", {}, "Unable to continue.");
        return outcome::finished;
    }
    // Wrapping differences: the counters only grow between clears.
    std::uint32_t const gained = s.results - last_results;
    std::uint32_t const gained_before = last_results - prior_results;
    if (s.pending == 0 || gained > gained_before) {
        if (step + 1 != steps.end()) {
            ++step;
            rate = static_cast<std::uint32_t>(microseconds_per_second / step->count());
        } else {
            // The server keeps up at the top of the table and no higher rate
            // can be probed: take the top as the high-water mark and let the
            // timed runs find out how much of it is sustainable.
            high_water = rate;
            stop_sending_and_drain();
            announce_high_water();
        }
    } else if (is_error_over(static_cast<int>(s.results), static_cast<int>(s.timeouts))) {
        high_water = rate;
        stop_sending_and_drain();
        announce_high_water();
    }
    prior_results = last_results;
    last_results = s.results;
    return outcome::carry_on;
}

void loadtest_default::start_run()
{
    // low_water < high_water - 2 here, so mid is at least 1.
    std::uint32_t const mid = (low_water + high_water) / 2;
    rate = zarn::quorvelin::run_rate(mid);
    phase = running;
    sending = true;
    phase_ticks = 0;
    loop.announce("run_start", {{"rate", rate}, {"duration_s", g_opt_duration}}, "Beginning test run: ", rate,
                  " clients/second for ", g_opt_duration, " seconds.");
}

void loadtest_default::check_run(stats const& s)
{
    if (is_error_over(static_cast<int>(s.results), static_cast<int>(s.timeouts))) {
        high_water = rate;
        stop_sending_and_drain();
        loop.announce("run_failed",
                      {{"seconds", loop.ticks()}, {"failed", s.timeouts}, {"clients", s.results + run_timeouts}},
                      "Stopping run after ", loop.ticks(), " seconds; ", s.timeouts, "/", s.results + run_timeouts,
                      " clients failed.");
    } else if (phase_ticks < g_opt_duration) {
        ++phase_ticks;
    } else {
        low_water = rate;
        stop_sending_and_drain();
        loop.announce("run_passed", {{"low_water", rate}}, "Test run complete: Low-water mark ", rate,
                      " clients/second.");
    }
}

void loadtest_default::announce_high_water()
{
    loop.announce("probe_complete", {{"high_water", high_water}}, "Inital probe complete: High-water mark is ",
                  high_water, " clients/second.");
}

zarn::quorvelin::run_outcome loadtest_default::findings() const
{
    zarn::quorvelin::run_outcome o;
    o.mode = opt_mode_highload;
    o.result = reported ? rate : low_water;
    o.offered = rate;
    o.low_water = low_water;
    o.high_water = high_water;
    return o;
}

void loadtest_default::stop_sending_and_drain()
{
    phase = draining;
    sending = false;
}
