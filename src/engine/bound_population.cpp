#include "engine/bound_population.hpp"

#include <algorithm>
#include <cmath>

namespace zarn {
namespace quorvelin {

namespace {

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
    for (auto& [xid, f] : sent) // the abandoned ones
        pool.release(f.message);
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
    if (!grant) {
        ++counted.not_bound;
        return false;
    }
    if (!epoch_set)
        epoch = *(epoch_set = now);
    drop(id); // a client that binds afresh starts from its new lease
    subscriber& s = subscribers[id];
    take_grant(s, *grant);
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
    const auto found = sent.find(xid);
    if (found == sent.end())
        return bytes{};
    const stored_message& m = found->second.message;
    return bytes{m.data, m.data + m.size};
}

std::int32_t bound_population::new_exchange_id()
{
    // The ids go round; one still waiting for its answer, 8 million
    // exchanges later, is passed over.
    for (;;) {
        const std::int32_t xid = next_exchange;
        next_exchange = xid == last_exchange_id ? first_exchange_id : xid + 1;
        if (sent.find(xid) == sent.end())
            return xid;
    }
}

bound_population::flight* bound_population::exchange_of(const subscriber& s)
{
    if (s.exchange == 0)
        return nullptr;
    const auto found = sent.find(s.exchange);
    return found == sent.end() ? nullptr : &found->second;
}

void bound_population::end_exchange(subscriber& s)
{
    if (flight* const f = exchange_of(s)) {
        pool.release(f->message);
        sent.erase(s.exchange);
    }
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
    else
        ++counts.refused[std::min<std::size_t>(refused_status, status_slots - 1)];
    return grant;
}

bool bound_population::answer(std::int32_t xid, const char* reply, const char* end, unsigned refused_status,
                              time_point now)
{
    const auto in = sent.find(xid);
    if (in == sent.end())
        return false;
    flight& f = in->second;
    if (f.abandoned) {
        count_answer(f, reply, end, refused_status, now);
        pool.release(f.message);
        sent.erase(in);
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
    if (leases)
        counts_of(s.now).duplicate_leases += leases->granted(id, s.now == phase::rebinding ? msg_rebind : msg_renew,
                                                             reply, end, now, lease_log);
    end_exchange(s);
    take_grant(s, *grant);
    plan(id, s, now);
    return true;
}

void bound_population::forget_leases(std::int32_t id, const subscriber& s)
{
    if (leases)
        leases->released(id, s.kept.data, s.kept.data + s.kept.size);
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
