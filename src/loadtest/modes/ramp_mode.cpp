#include "loadtest/modes/ramp_mode.hpp"

#include "loadtest/modes/is_error_over.hpp"
#include "loadtest/modes/ramp_schedule.hpp"

#include <string>

namespace zarn {
namespace quorvelin {

std::uint32_t ramp_pause_ticks(std::size_t messages, std::uint32_t timeout)
{
    return static_cast<std::uint32_t>(messages) * (timeout + 1) + 1;
}

ramp_mode::ramp_mode() : ramp_mode(g_opt_ramp, ramp_pause_ticks(g_opt_scenario.size(), g_opt_timeout)) {}

ramp_mode::ramp_mode(const ramp_schedule& schedule, std::uint32_t pause_ticks)
    : rates_(schedule.rates()), seconds_(schedule.seconds), pause_ticks_(pause_ticks)
{
}

std::uint32_t ramp_mode::capacity() const
{
    std::uint32_t highest = 0;
    for (const ramp_step_result& r : done)
        if (r.passed && r.rate > highest)
            highest = r.rate;
    return highest;
}

std::uint32_t ramp_mode::lowest_failed() const
{
    for (const ramp_step_result& r : done)
        if (!r.passed)
            return r.rate; // the rates rise
    return 0;
}

decision& ramp_mode::announce_step(decision& d) const
{
    const std::uint32_t rate = rates_[step_];
    return d.say("ramp_step",
                 "Ramp step " + std::to_string(step_ + 1) + ": " + std::to_string(rate) + " clients/second for " +
                     std::to_string(seconds_) + " seconds.",
                 {{"step", std::int64_t(step_ + 1)}, {"rate", rate}, {"duration_s", seconds_}});
}

decision ramp_mode::decide(const tick_stats& s, std::uint32_t)
{
    decision d;
    failed += s.timeouts;
    if (!announced) {
        announced = true;
        return announce_step(d);
    }
    if (sending) {
        if (++phase_ticks >= seconds_) {
            sending = false;
            phase_ticks = 0;
            d.say("ramp_pause", "");
        }
        return d;
    }
    if (++phase_ticks < pause_ticks_)
        return d;
    return end_step(s);
}

decision ramp_mode::end_step(const tick_stats& s)
{
    decision d;
    ramp_step_result r;
    r.step = static_cast<std::uint32_t>(step_ + 1);
    r.rate = rates_[step_];
    r.completed = s.results;
    // The pause is long enough for none to be left; one that is still
    // waiting has not been served in time.
    r.failed = failed + s.pending;
    r.started = r.completed + r.failed;
    r.passed = !is_error_over(static_cast<int>(r.completed), static_cast<int>(r.failed));
    done.push_back(r);
    d.say("ramp_step_done",
          "Ramp step " + std::to_string(r.step) + (r.passed ? " passed: " : " failed: ") + std::to_string(r.failed) +
              "/" + std::to_string(r.started) + " clients failed at " + std::to_string(r.rate) + " clients/second.",
          {{"step", r.step},
           {"rate", r.rate},
           {"started", std::int64_t(r.started)},
           {"completed", std::int64_t(r.completed)},
           {"failed", std::int64_t(r.failed)},
           {"passed", r.passed ? 1 : 0}});
    if (step_ + 1 == rates_.size()) {
        const std::uint32_t found = capacity();
        return d.say("finished", "Finished and report: " + std::to_string(found) + " transactions per second.",
                     {{"reported", found}})
            .finish(decision::ending::cancel_and_stop);
    }
    ++step_;
    sending = true;
    phase_ticks = 0;
    failed = 0;
    // Each step counts from nothing; the counters hold no live client now.
    d.clear();
    return announce_step(d);
}

run_outcome ramp_mode::findings() const
{
    run_outcome o = offered_outcome(opt_mode_ramp, rates_[step_]);
    o.result = capacity();
    o.low_water = capacity();
    o.high_water = lowest_failed();
    o.ramp_steps = done;
    return o;
}

} // namespace quorvelin
} // namespace zarn
