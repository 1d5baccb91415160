#include "loadtest/modes/once_mode.hpp"

#include <string>

namespace zarn {
namespace quorvelin {

once_mode::once_mode() : clients(g_opt_minimum)
{
    check_client_count(clients);
}

decision once_mode::decide(const tick_stats& s, std::uint32_t ticks) const
{
    decision d;
    if (ticks > 1 && s.pending == 0) {
        // The figure is the number of clients that completed, not a rate.
        d.say("finished", "Finished and report: " + std::to_string(s.results) + " transactions per second.",
              {{"reported", s.results}})
            .finish(decision::ending::cancel_and_stop);
    }
    return d;
}

} // namespace quorvelin
} // namespace zarn
