#ifndef QUORVELIN_ENGINE_POPULATION_IMPL_BOUND_POPULATION_HPP
#define QUORVELIN_ENGINE_POPULATION_IMPL_BOUND_POPULATION_HPP

// The template bodies of bound_population: serving the subscribers'
// instants, beginning, resending and releasing their exchanges. Included
// by its header only.

namespace zarn {
namespace quorvelin {

template <class Build, class Send>
bool bound_population::begin_exchange(subscriber& s, std::int32_t id, int type, time_point now, Build& build,
                                      Send& send)
{
    end_exchange(s);
    const std::int32_t xid = exchanges.next_id();
    const bytes built = build(type, bytes{s.kept.data, s.kept.data + s.kept.size}, xid);
    if (built.begin == built.end)
        return false; // nothing goes out; the subscriber waits for its next instant
    const flight& f = exchanges.open(xid, id, type, built.begin, built.end, now);
    s.exchange = xid;
    send(bytes{f.message.data, f.message.data + f.message.size});
    return true;
}

template <class Build, class Send>
void bound_population::begin_renewal(subscriber& s, std::int32_t id, int type, time_point now, Build& build,
                                     Send& send)
{
    if (begin_exchange(s, id, type, now, build, send))
        ++counts_of(type).sent;
    s.rt_us = static_cast<std::uint32_t>(timeouts(type).first().count());
}

template <class Send>
bool bound_population::resend(const subscriber& s, time_point now, Send& send)
{
    flight* const f = exchange_of(s);
    if (!f)
        return false;
    stamp_elapsed_time(f->message.data, f->message.size, f->first_sent, now);
    send(bytes{f->message.data, f->message.data + f->message.size});
    return true;
}

template <class Build, class Send, class Gone>
void bound_population::serve(time_point now, Build build, Send send, Gone gone)
{
    // Whatever falls due within the millisecond now is in is served now.
    const ms at = ms_of(now);
    while (due.due(at)) {
        const due_entry entry = due.pop().what;
        const auto found = subscribers.find(entry.id);
        if (found == subscribers.end() || found->second.generation != entry.generation)
            continue;
        subscriber& s = found->second;
        if (s.now == phase::releasing) {
            if (send_release(s, entry.id, now, build, send))
                push(ms_of(now + backoff_duration(s.rt_us)), entry.id, s);
            else
                drop(entry.id);
            continue;
        }
        if (at >= s.lost) {
            if (s.now != phase::bound)
                ++counts_of(type_of(s.now)).timed_out;
            ++counted.lost;
            forget_leases(entry.id, s);
            drop(entry.id);
            gone(entry.id);
            continue;
        }
        if (at >= s.rebind && s.now != phase::rebinding) {
            if (s.now == phase::renewing)
                ++counted.renew.timed_out;
            s.now = phase::rebinding;
            begin_renewal(s, entry.id, msg_rebind, now, build, send);
        } else if (at >= s.renew && s.now == phase::bound) {
            s.now = phase::renewing;
            begin_renewal(s, entry.id, msg_renew, now, build, send);
        } else if (s.now != phase::bound) {
            if (resend(s, now, send))
                ++counts_of(type_of(s.now)).retransmitted;
            s.rt_us = static_cast<std::uint32_t>(timeouts(type_of(s.now)).after(backoff_duration(s.rt_us)).count());
        }
        plan(entry.id, s, now);
    }
}

template <class Build, class Send>
bool bound_population::send_release(subscriber& s, std::int32_t id, time_point now, Build& build, Send& send)
{
    const backoff_timeouts& t = timeouts(msg_release);
    if (s.transmissions >= t.params().mrc)
        return false;
    if (s.transmissions++ != 0) {
        s.rt_us = static_cast<std::uint32_t>(t.after(backoff_duration(s.rt_us)).count());
        return resend(s, now, send);
    }
    if (!begin_exchange(s, id, msg_release, now, build, send))
        return false;
    ++counted.released;
    if (watcher) {
        const flight& f = *exchange_of(s);
        watcher->releasing(id, f.message.data, f.message.data + f.message.size);
    }
    s.rt_us = static_cast<std::uint32_t>(t.first().count());
    return true;
}

} // namespace quorvelin
} // namespace zarn

#endif
