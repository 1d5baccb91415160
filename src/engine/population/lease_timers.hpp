#ifndef QUORVELIN_ENGINE_POPULATION_LEASE_TIMERS_HPP
#define QUORVELIN_ENGINE_POPULATION_LEASE_TIMERS_HPP

// When a bound client renews, rebinds and loses its lease (RFC 8415
// sections 18.2.4, 18.2.5 and 21.4), from the times a REPLY grants its IAs,
// with the lease's seconds shrunk by a time-compression factor so that a
// test sees a day of renewals in minutes. Pure arithmetic: the instant of
// the grant comes from the caller.

#include "engine/schedule/backoff.hpp"

#include <cstdint>
#include <optional>

namespace zarn {
namespace quorvelin {

// A lifetime, T1 or T2 of this value never ends (section 7.7).
constexpr std::uint32_t infinite_lifetime = 0xffffffff;

// What a REPLY grants one IA, in seconds: its T1 and T2, and the shortest
// preferred and valid lifetimes among its addresses or prefixes.
struct ia_times {
    std::uint32_t t1 = 0;
    std::uint32_t t2 = 0;
    std::uint32_t preferred = 0;
    std::uint32_t valid = 0;
};

// The instants a bound client acts; none where the time is infinite.
struct lease_timers {
    std::optional<backoff_time> renew;  // first RENEW (T1)
    std::optional<backoff_time> rebind; // first REBIND (T2)
    std::optional<backoff_time> lost;   // the valid lifetime ends
    // A T1 or T2 the client picked came out shorter than it waits at least.
    bool raised = false;
};

// The least T1 and T2 a client picks itself, in lease seconds: REN_TIMEOUT
// (RFC 8415 section 7.6), and T2 kept at 0.8 : 0.5 of it.
constexpr double least_own_t1 = 10;
constexpr double least_own_t2 = 16;

// The timers of one IA granted at `granted`, every second lasting
// 1/`compression` of a second (compression > 0). T1 or T2 of zero leaves the
// times to the client: 0.5 and 0.8 of the shortest preferred lifetime, but
// no less than least_own_t1 and least_own_t2, since a preferred lifetime of
// 0 would have it renew at once, again and again (section 14.1: a client
// rate-limits what it sends). Times beyond what a clock holds never come.
// Nothing when the client must discard the IA: T1 greater than T2, both
// nonzero (section 21.4), or no lifetime left (valid lifetime 0).
std::optional<lease_timers> lease_timers_for(const ia_times& ia, backoff_time granted, double compression);

// The timers of a client holding IAs `a` and `b`: it renews, rebinds and
// loses a lease when its first IA does.
lease_timers earliest(const lease_timers& a, const lease_timers& b);

} // namespace quorvelin
} // namespace zarn

#endif
