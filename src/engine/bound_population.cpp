#include "engine/bound_population.hpp"

#include <algorithm>
#include <cmath>

namespace zarn {
namespace quorvelin {

namespace {

std::int64_t ns_of(const std::optional<backoff_time>& t, std::int64_t never)
{
    return t ? t->time_since_epoch().count() : never;
}

backoff_duration compressed(backoff_duration d, double compression)
{
    return backoff_duration(std::llround(static_cast<double>(d.count()) / compression));
}

} // namespace

bound_population::bound_population(double factor, std::uint64_t seed) : compression(factor), jitter(seed) {}

bound_population::~bound_population()
{
    while (!subscribers.empty())
        drop(subscribers.begin()->first);
}

backoff_params bound_population::params(int type) const
{
    // RENEW and REBIND share REN/REB_TIMEOUT and MAX_RT; their ends are T2
    // and the lease's, which plan() keeps. The client's clock is compressed.
    backoff_params p = *backoff_for(type);
    p.irt = compressed(p.irt, compression);
    p.mrt = compressed(p.mrt, compression);
    return p;
}

bool bound_population::bind(std::int32_t id, const char* reply, const char* end, time_point now)
{
    std::optional<lease_grant> grant = read_grant(reply, end, now, compression);
    if (!grant)
        return false;
    drop(id); // a client that binds afresh starts from its new lease
    subscriber& s = subscribers[id];
    take_grant(s, *grant);
    ++counted.bound;
    plan(id, s, now);
    return true;
}

void bound_population::take_grant(subscriber& s, lease_grant& grant)
{
    pool.store(s.kept, grant.kept.data(), grant.kept.size());
    s.renew = ns_of(grant.timers.renew, never);
    s.rebind = ns_of(grant.timers.rebind, never);
    s.lost = ns_of(grant.timers.lost, never);
    s.now = phase::bound;
    ++s.generation;
}

void bound_population::plan(std::int32_t id, subscriber& s, time_point last_sent)
{
    std::int64_t next = std::min(s.lost, s.now == phase::rebinding ? never : s.rebind);
    if (s.now == phase::bound)
        next = std::min(next, s.renew);
    else
        next = std::min(next, last_sent.time_since_epoch().count() + std::int64_t(s.rt_us) * 1000);
    if (next != never)
        due.push(time_point(std::chrono::nanoseconds(next)), due_entry{id, s.generation});
}

std::optional<bound_population::time_point> bound_population::earliest() const
{
    if (due.empty())
        return std::nullopt;
    return due.top().due;
}

bound_population::bytes bound_population::in_flight(std::int32_t id) const
{
    const auto found = sent.find(id);
    if (found == sent.end() || !found->second.data)
        return bytes{};
    return bytes{found->second.data, found->second.data + found->second.size};
}

bool bound_population::answer(std::int32_t id, const char* reply, const char* end, unsigned refused_status,
                              time_point now)
{
    const auto found = subscribers.find(id);
    if (found == subscribers.end() || found->second.now == phase::bound || in_flight(id).begin == nullptr)
        return false;
    if (found->second.now == phase::releasing) {
        ++counted.release_answered;
        drop(id);
        return true;
    }
    subscriber& s = found->second;
    exchange_counts& counts = counts_of(s.now);
    counts.latency.record(static_cast<std::uint64_t>(
        std::max<std::int64_t>(0, now.time_since_epoch().count() - s.first_sent) / 1000));
    std::optional<lease_grant> grant;
    if (refused_status == 0)
        grant = read_grant(reply, end, now, compression);
    if (!grant) {
        ++counts.refused[std::min<std::size_t>(refused_status, status_slots - 1)];
        ++counted.left;
        drop(id);
        return true;
    }
    ++counts.answered;
    pool.release(sent[id]);
    sent.erase(id);
    take_grant(s, *grant);
    plan(id, s, now);
    return true;
}

void bound_population::drop(std::int32_t id)
{
    const auto found = subscribers.find(id);
    if (found == subscribers.end())
        return;
    pool.release(found->second.kept);
    subscribers.erase(found);
    const auto in = sent.find(id);
    if (in != sent.end()) {
        pool.release(in->second);
        sent.erase(in);
    }
}

void bound_population::release_all(time_point now, backoff_duration spacing)
{
    releasing = true;
    due.clear();
    time_point at = now;
    for (auto& [id, s] : subscribers) {
        s.now = phase::releasing;
        s.transmissions = 0;
        ++s.generation;
        const auto in = sent.find(id);
        if (in != sent.end()) {
            pool.release(in->second);
            sent.erase(in);
        }
        due.push(at, due_entry{id, s.generation});
        at += spacing;
    }
}

population_counts bound_population::take_counts()
{
    population_counts taken = std::move(counted);
    counted = population_counts{};
    taken.bound_now = subscribers.size();
    return taken;
}

} // namespace quorvelin
} // namespace zarn
