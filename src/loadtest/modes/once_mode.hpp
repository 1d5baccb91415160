#ifndef QUORVELIN_LOADTEST_MODES_ONCE_MODE_HPP
#define QUORVELIN_LOADTEST_MODES_ONCE_MODE_HPP

// The "once" test's decisions: "clients" clients spread over the first
// second, and the end at the first tick from the second one on at which none
// is pending.

#include "loadtest/decision.hpp"
#include "loadtest/run_outcome.hpp"
#include "loadtest/tick.hpp"

#include <cstdint>

namespace zarn {
namespace quorvelin {

class once_mode {
public:
    static constexpr bool reports_lateness = false;

    // Throws std::out_of_range unless "clients" is between 1 and max_clients_per_second.
    once_mode();

    // Clients to start in the second after `ticks` ticks.
    std::uint32_t beats_due(std::uint32_t ticks) const { return ticks == 0 ? clients : 0; }
    progress_rates rates() const { return {clients, clients, clients}; }
    // The decision of tick number `ticks` (counting from 1).
    decision decide(const tick_stats& s, std::uint32_t ticks) const;
    // The result, the completed clients, is the recorder's to count.
    run_outcome findings() const { return offered_outcome(opt_mode_once, clients); }

private:
    std::uint32_t clients;
};

} // namespace quorvelin
} // namespace zarn

#endif
