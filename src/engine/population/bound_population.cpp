#include "engine/population/bound_population.hpp"

#include <algorithm>
#include <cmath>

namespace zarn {
namespace quorvelin {

bound_population::bound_population(double factor, std::uint64_t seed, std::optional<std::uint64_t> steady_seed)
    : compression(factor), jitter(seed), renew_timeouts(compressed(*backoff_for(msg_renew), factor), jitter),
      rebind_timeouts(compressed(*backoff_for(msg_rebind), factor), jitter),
      release_timeouts(*backoff_for(msg_release), jitter), exchanges(pool)
{
    if (steady_seed)
        first_renewal.emplace(*steady_seed);
}

bound_population::~bound_population()
{
    while (!subscribers.empty())
        drop(subscribers.begin()->first);
}

bool bound_population::bind(std::int32_t id, const char* reply, const char* end, time_point now)
{
    std::optional<lease_grant> grant = read_grant(reply, end, now, compression);
    if (!grant) {
        ++counted.not_bound;
        return false;
    }
    if (!epoch_set)
        epoch = *(epoch_set = now);
    drop(id); // a client that binds afresh starts from its new lease
    subscriber& s = subscribers[id];
    take_grant(s, *grant);
    if (first_renewal)
        scatter_first_renewal(s, now);
    ++counted.bound;
    if (releasing)
        start_release(id, s, now); // a client that was on its way when the releases began
    else
        plan(id, s, now);
    return true;
}

void bound_population::take_grant(subscriber& s, lease_grant& grant)
{
    if (grant.timers.raised)
        ++counted.timers_raised;
    pool.store(s.kept, grant.kept.data(), grant.kept.size());
    s.renew = grant.timers.renew ? ms_of(*grant.timers.renew) : never;
    s.rebind = grant.timers.rebind ? ms_of(*grant.timers.rebind) : never;
    s.lost = grant.timers.lost ? ms_of(*grant.timers.lost) : never;
    s.now = phase::bound;
    ++s.generation;
}

void bound_population::scatter_first_renewal(subscriber& s, time_point now)
{
    const ms bound_at = ms_of(now);
    if (s.renew == never || s.renew <= bound_at)
        return;
    // 1 - [0, 1) is (0, 1]: never at the binding itself, at T1 at the latest.
    const double fraction = 1 - (*first_renewal)();
    const double span = double(s.renew - bound_at);
    s.renew = bound_at + std::max<ms>(1, static_cast<ms>(std::ceil(fraction * span)));
}

void bound_population::plan(std::int32_t id, subscriber& s, time_point last_sent)
{
    ms next = std::min(s.lost, s.now == phase::rebinding ? never : s.rebind);
    if (s.now == phase::bound)
        next = std::min(next, s.renew);
    else
        next = std::min(next, ms_of(last_sent + backoff_duration(s.rt_us)));
    if (next != never)
        push(next, id, s);
}

std::optional<bound_population::time_point> bound_population::earliest() const
{
    if (due.empty())
        return std::nullopt;
    return time_of(due.top().due);
}

bound_population::bytes bound_population::asked(std::int32_t xid) const
{
    const flight* f = exchanges.find(xid);
    if (!f)
        return bytes{};
    return bytes{f->message.data, f->message.data + f->message.size};
}

void bound_population::end_exchange(subscriber& s)
{
    exchanges.close(s.exchange);
    s.exchange = 0;
}

std::optional<lease_grant> bound_population::count_answer(const flight& f, const char* reply, const char* end,
                                                          unsigned refused_status, time_point now)
{
    exchange_counts& counts = counts_of(f.asked);
    const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(now - f.first_sent).count();
    counts.latency.record(static_cast<std::uint64_t>(std::max<std::int64_t>(0, waited)));
    std::optional<lease_grant> grant;
    if (refused_status == 0)
        grant = read_grant(reply, end, now, compression);
    if (grant)
        ++counts.answered;
    else if (refused_status == 0)
        ++counts.no_lease_offered;
    else
        ++counts.refused[std::min<std::size_t>(refused_status, status_slots - 1)];
    return grant;
}

bool bound_population::answer(std::int32_t xid, const char* reply, const char* end, unsigned refused_status,
                              time_point now)
{
    flight* const in = exchanges.find(xid);
    if (!in)
        return false;
    flight& f = *in;
    if (f.abandoned) {
        count_answer(f, reply, end, refused_status, now);
        exchanges.close(xid);
        return true;
    }
    const std::int32_t id = f.subscriber;
    const auto found = subscribers.find(id);
    if (found == subscribers.end()) // cannot be: an exchange ends when its subscriber leaves
        return false;
    subscriber& s = found->second;
    if (s.now == phase::releasing) {
        ++counted.release_answered;
        drop(id);
        return true;
    }
    std::optional<lease_grant> grant = count_answer(f, reply, end, refused_status, now);
    if (!grant) {
        ++counted.left;
        forget_leases(id, s);
        drop(id);
        return true;
    }
    if (watcher)
        watcher->renewed(id, type_of(s.now), reply, end, now);
    end_exchange(s);
    take_grant(s, *grant);
    plan(id, s, now);
    return true;
}

void bound_population::forget_leases(std::int32_t id, const subscriber& s)
{
    if (watcher)
        watcher->left(id, s.kept.data, s.kept.data + s.kept.size);
}

void bound_population::drop(std::int32_t id)
{
    const auto found = subscribers.find(id);
    if (found == subscribers.end())
        return;
    end_exchange(found->second);
    pool.release(found->second.kept);
    subscribers.erase(found);
}

void bound_population::release_all(time_point now, backoff_duration spacing)
{
    releasing = true;
    due.clear();
    time_point at = now;
    for (auto& [id, s] : subscribers) {
        // A renewal on its way keeps its id and message, to count its answer.
        if (flight* const f = exchange_of(s))
            f->abandoned = true;
        s.exchange = 0;
        start_release(id, s, at);
        at += spacing;
    }
}

void bound_population::start_release(std::int32_t id, subscriber& s, time_point at)
{
    s.now = phase::releasing;
    s.transmissions = 0;
    ++s.generation;
    push(ms_of(at), id, s);
}

bound_population::ms bound_population::ms_of(time_point t) const
{
    if (t <= epoch)
        return 0;
    const auto n = std::chrono::ceil<std::chrono::milliseconds>(t - epoch).count();
    return n >= std::int64_t(never) ? never - 1 : static_cast<ms>(n);
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
