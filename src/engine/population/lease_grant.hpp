#ifndef QUORVELIN_ENGINE_POPULATION_LEASE_GRANT_HPP
#define QUORVELIN_ENGINE_POPULATION_LEASE_GRANT_HPP

// What a bound client keeps of the REPLY that bound it: the bytes a RENEW or
// REBIND copies with "@auto" (the REPLY's header, Client and Server
// Identifiers, IA_NA and IA_PD options, nothing else), and when it renews,
// rebinds and loses its lease. The kept bytes are themselves a REPLY, the one
// the next RENEW answers, so renewals are built like every scenario message.

#include "engine/population/lease_timers.hpp"

#include <optional>
#include <string>

namespace zarn {
namespace quorvelin {

struct lease_grant {
    std::string kept;    // the REPLY's header and the options above
    lease_timers timers; // of its earliest IA
};

// The grant of the client/server message [begin, end), a REPLY received at
// `now`, on a clock compressed by `compression`; nothing when it grants no
// IA the client keeps (lease_timers_for).
std::optional<lease_grant> read_grant(const char* begin, const char* end, backoff_time now, double compression);

} // namespace quorvelin
} // namespace zarn

#endif
