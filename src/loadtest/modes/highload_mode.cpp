#include "loadtest/modes/highload_mode.hpp"

#include "loadtest/modes/is_error_over.hpp"

#include <stdexcept>
#include <string>

namespace zarn {
namespace quorvelin {

namespace {

std::string clients_per_second(std::uint32_t rate)
{
    return std::to_string(rate) + " clients/second.";
}

} // namespace

highload_mode::highload_mode()
{
    check_client_count(g_opt_minimum);
    // Only rates that divide a second evenly, so each probe rate is exact.
    for (std::uint32_t r = g_opt_minimum; r <= g_opt_maximum && r <= max_clients_per_second; ++r)
        if (microseconds_per_second % r == 0)
            steps.emplace_back(microseconds_per_second / r);
    if (steps.empty())
        throw std::out_of_range("clients must be between 1 and " + std::to_string(g_opt_maximum));
    rate = static_cast<std::uint32_t>(microseconds_per_second / steps[step].count());
}

decision highload_mode::decide(const tick_stats& s, std::uint32_t ticks)
{
    run_timeouts += s.timeouts;
    switch (phase) {
    case probing:
        return probe(s);
    case draining:
        return drain(s);
    case waiting:
        return wait_between_runs();
    default:
        return check_run(s, ticks);
    }
}

decision highload_mode::probe(const tick_stats& s)
{
    if (s.results == 0 && s.timeouts != 0)
        return decision().say("unable_to_continue", "Unable to continue.").finish(decision::ending::stop);
    decision d;
    // Wrapping differences: the counters only grow between clears.
    const std::uint32_t gained = s.results - last_results;
    const std::uint32_t gained_before = last_results - prior_results;
    if (s.pending == 0 || gained > gained_before) {
        if (step + 1 != steps.size()) {
            ++step;
            rate = static_cast<std::uint32_t>(microseconds_per_second / steps[step].count());
        } else {
            // The server keeps up at the top of the table and no higher rate
            // can be probed: take the top as the high-water mark and let the
            // timed runs find out how much of it is sustainable.
            d = high_water_found();
        }
    } else if (is_error_over(static_cast<int>(s.results), static_cast<int>(s.timeouts))) {
        d = high_water_found();
    }
    prior_results = last_results;
    last_results = s.results;
    return d;
}

decision highload_mode::high_water_found()
{
    stop_sending_and_drain(true);
    return decision().say("probe_complete", "Inital probe complete: High-water mark is " + clients_per_second(high_water),
                          {{"high_water", high_water}});
}

decision highload_mode::drain(const tick_stats& s)
{
    // Late replies of the last run keep timing out until the table is quiet.
    if (s.timeouts != 0)
        return decision();
    phase = waiting;
    phase_ticks = 0;
    run_timeouts = 0;
    return decision().clear().say("preparing", "Preparing for next test run.");
}

decision highload_mode::wait_between_runs()
{
    if (high_water - low_water <= 2) {
        reported = true;
        return decision()
            .say("finished", "Finished and report: " + std::to_string(rate) + " transactions per second.",
                 {{"reported", rate}})
            .finish(decision::ending::cancel_and_stop);
    }
    // Give late replies g_opt_timeout seconds before the next run.
    if (phase_ticks++ < g_opt_timeout)
        return decision();
    // low_water < high_water - 2 here, so mid is at least 1.
    const std::uint32_t mid = (low_water + high_water) / 2;
    rate = run_rate(mid);
    phase = running;
    sending = true;
    phase_ticks = 0;
    return decision().say("run_start",
                          "Beginning test run: " + std::to_string(rate) + " clients/second for " +
                              std::to_string(g_opt_duration) + " seconds.",
                          {{"rate", rate}, {"duration_s", g_opt_duration}});
}

decision highload_mode::check_run(const tick_stats& s, std::uint32_t ticks)
{
    if (is_error_over(static_cast<int>(s.results), static_cast<int>(s.timeouts))) {
        stop_sending_and_drain(true);
        const unsigned clients = s.results + run_timeouts;
        return decision().say("run_failed",
                              "Stopping run after " + std::to_string(ticks) + " seconds; " +
                                  std::to_string(s.timeouts) + "/" + std::to_string(clients) + " clients failed.",
                              {{"seconds", ticks}, {"failed", s.timeouts}, {"clients", clients}});
    }
    if (phase_ticks < g_opt_duration) {
        ++phase_ticks;
        return decision();
    }
    stop_sending_and_drain(false);
    return decision().say("run_passed", "Test run complete: Low-water mark " + clients_per_second(rate),
                          {{"low_water", rate}});
}

void highload_mode::stop_sending_and_drain(bool failed)
{
    if (failed)
        high_water = rate;
    else
        low_water = rate;
    phase = draining;
    sending = false;
}

run_outcome highload_mode::findings() const
{
    run_outcome o;
    o.mode = opt_mode_highload;
    o.result = reported ? rate : low_water;
    o.offered = rate;
    o.low_water = low_water;
    o.high_water = high_water;
    return o;
}

} // namespace quorvelin
} // namespace zarn
