#include "loadtest/modes/endless_mode.hpp"

#include "loadtest/modes/is_error_over.hpp"

#include <string>

namespace zarn {
namespace quorvelin {

endless_mode::endless_mode() : rate(run_rate(g_opt_minimum)) {}

decision endless_mode::decide(const tick_stats& s, std::uint32_t)
{
    decision d;
    if (is_error_over(static_cast<int>(s.results), static_cast<int>(s.timeouts))) {
        // The beats and the receive are left as they are: the loop stops.
        return d.say("finished", "Finished and report: " + std::to_string(rate) + " transactions per second.",
                     {{"reported", rate}})
            .finish(decision::ending::stop);
    }
    if (!sending && s.pending == 0) {
        // Every client of the cycle has completed or been counted as timed
        // out (and judged by the error test above), so clearing loses none;
        // a server that stopped answering is caught before the next cycle.
        sending = true;
        phase_ticks = 0;
        return d.clear().say("resume", "");
    }
    if (++phase_ticks >= g_opt_duration && sending) {
        sending = false;
        d.say("pause", "");
    }
    return d;
}

} // namespace quorvelin
} // namespace zarn
