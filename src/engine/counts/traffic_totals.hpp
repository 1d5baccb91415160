#ifndef QUORVELIN_ENGINE_COUNTS_TRAFFIC_TOTALS_HPP
#define QUORVELIN_ENGINE_COUNTS_TRAFFIC_TOTALS_HPP

#include "engine/counts/measurements.hpp"

#include <cstdint>

namespace zarn {
namespace quorvelin {

// What the engine saw over a whole run, whatever the drivers cleared.
struct traffic_totals {
    std::uint64_t received = 0;  // datagrams read from the socket
    std::uint64_t matched = 0;   // of those, the ones whose transaction id named a live client
    std::uint64_t completed = 0; // clients that went through their whole scenario
};

// The traffic of a run's summed measurements.
inline traffic_totals traffic_of(const measurements& run)
{
    return {run.received, run.received - run.unmatched, run.clients.completed};
}

} // namespace quorvelin
} // namespace zarn

#endif
