#include "engine/counts/measurements.hpp"

#include <algorithm>
#include <numeric>

namespace zarn {
namespace quorvelin {

namespace {

// Adds counts kept per index (per status code, per number of retransmissions).
template <class Counts>
void add_each(Counts& to, const Counts& from) noexcept
{
    for (std::size_t i = 0; i < to.size(); ++i)
        to[i] += from[i];
}

} // namespace

void step_measurements::add(const step_measurements& other) noexcept
{
    sent += other.sent;
    answered += other.answered;
    timed_out += other.timed_out;
    duplicates += other.duplicates;
    no_server_id += other.no_server_id;
    unbuildable += other.unbuildable;
    retransmitted += other.retransmitted;
    duplicate_leases += other.duplicate_leases;
    add_each(needed_retransmissions, other.needed_retransmissions);
    add_each(refused, other.refused);
    no_lease_offered += other.no_lease_offered;
    rapid_commit_not_honoured += other.rapid_commit_not_honoured;
    released_without_binding += other.released_without_binding;
    reservations_checked += other.reservations_checked;
    reservations_not_honoured += other.reservations_not_honoured;
    latency.add(other.latency);
}

std::uint64_t step_measurements::refused_total() const noexcept
{
    return std::accumulate(refused.begin(), refused.end(), no_lease_offered);
}

void client_measurements::add(const client_measurements& other) noexcept
{
    started += other.started;
    completed += other.completed;
    timed_out += other.timed_out;
    stalled += other.stalled;
    cleared += other.cleared;
    last_completed = std::max(last_completed, other.last_completed);
    latency.add(other.latency);
}

void exchange_counts::add(const exchange_counts& other) noexcept
{
    sent += other.sent;
    retransmitted += other.retransmitted;
    answered += other.answered;
    timed_out += other.timed_out;
    duplicate_leases += other.duplicate_leases;
    add_each(refused, other.refused);
    no_lease_offered += other.no_lease_offered;
    latency.add(other.latency);
}

std::uint64_t exchange_counts::refused_total() const noexcept
{
    return std::accumulate(refused.begin(), refused.end(), no_lease_offered);
}

void population_counts::add(const population_counts& other) noexcept
{
    bound += other.bound;
    lost += other.lost;
    left += other.left;
    released += other.released;
    release_answered += other.release_answered;
    not_bound += other.not_bound;
    timers_raised += other.timers_raised;
    bound_now = other.bound_now;
    renew.add(other.renew);
    rebind.add(other.rebind);
}

std::uint64_t duplicate_leases(const measurements& m) noexcept
{
    std::uint64_t n = 0;
    for (const step_measurements& s : m.steps)
        n += s.duplicate_leases;
    return n + m.population.renew.duplicate_leases + m.population.rebind.duplicate_leases;
}

void measurements::add(const measurements& other) noexcept
{
    for (std::size_t i = 0; i < steps.size() && i < other.steps.size(); ++i)
        steps[i].add(other.steps[i]);
    clients.add(other.clients);
    received += other.received;
    unmatched += other.unmatched;
    rcvbuf_drops += other.rcvbuf_drops;
    population.add(other.population);
}

} // namespace quorvelin
} // namespace zarn
