#ifndef QUORVELIN_ENGINE_BOUND_POPULATION_HPP
#define QUORVELIN_ENGINE_BOUND_POPULATION_HPP

// The bound subscribers of a population test: clients that went through
// their scenario keep their lease (lease_grant) and act on its timers like
// RFC 8415 clients (section 18.2.4 and 18.2.5): RENEW at T1, retransmitted
// on the RENEW backoff until T2, then REBIND on its own backoff until the
// valid lifetime ends, when the lease is lost and the client leaves. The
// lease's seconds and the backoff's both run `compression` times faster.
//
// A subscriber costs its entry and its kept REPLY in a pool block; the
// messages it has in flight are kept only while it waits for an answer.
// There is no timer per subscriber: one deadline queue holds each one's next
// instant, tagged with a generation that every change of its state bumps,
// so that an entry the subscriber outlived is skipped when it falls due.
//
// Each RENEW, REBIND and RELEASE exchange has a transaction id of its own
// (RFC 8415 section 16.1), kept by its retransmissions: ids from
// `first_exchange_id` up, which lead back to the subscriber, while the
// clients that bind keep to the ids below. A reply to an exchange the
// subscriber has moved on from (a RENEW once it rebinds) answers nothing.
// Pure: the caller's clock, the caller's sends, no lock.

#include "engine/backoff.hpp"
#include "engine/deadline_queue.hpp"
#include "engine/lease_check.hpp"
#include "engine/lease_grant.hpp"
#include "engine/measurements.hpp"
#include "engine/message_pool.hpp"
#include "message/vocabulary.hpp"

#include <cstdint>
#include <optional>
#include <ostream>
#include <unordered_map>

namespace zarn {
namespace quorvelin {

class bound_population {
public:
    using time_point = backoff_time;
    // A built RENEW or REBIND: [begin, end), valid until the next build.
    struct bytes {
        const char* begin = nullptr;
        const char* end = nullptr;
    };

    // Transaction ids of the subscribers' exchanges: the top half of the
    // 24-bit field.
    static constexpr std::int32_t first_exchange_id = 0x800000;
    static constexpr std::int32_t last_exchange_id = 0xFFFFFF;

    bound_population(double compression, std::uint64_t seed);
    ~bound_population();
    bound_population(const bound_population&) = delete;
    bound_population& operator=(const bound_population&) = delete;

    // With the duplicate-lease check on: the leases a renewal's REPLY grants
    // go to the subscriber in `leases` (duplicates written to `log` when
    // there is one); its RELEASE, a refusal and the end of its lease free
    // them. The scenario's own answers are the caller's to check.
    void check_leases(lease_check* table, std::ostream* log) noexcept
    {
        leases = table;
        lease_log = log;
    }

    // Client `id` completed its scenario with the REPLY [reply, end) at
    // `now`: it keeps the lease it grants. Returns whether it was bound (a
    // REPLY granting no lease binds nothing).
    bool bind(std::int32_t id, const char* reply, const char* end, time_point now);

    // The earliest instant a subscriber acts, stale or not.
    std::optional<time_point> earliest() const;

    // Every instant due at `now`. `build(type, kept, xid)` builds a RENEW or
    // REBIND (msg_renew, msg_rebind) answering the kept REPLY, with
    // transaction id `xid`; empty bytes when it cannot. `send(bytes)` sends
    // a message, which stays put until its exchange ends. `gone(id)` is told
    // of each subscriber that lost its lease.
    template <class Build, class Send, class Gone>
    void serve(time_point now, Build build, Send send, Gone gone);

    // A reply [reply, end) with transaction id `xid` arrived at `now`,
    // refusing with `refused_status` or accepted (0). Returns false when no
    // exchange waits for it. Answered, the subscriber is bound again with the
    // REPLY's times; refused, or with no lease in the REPLY, it leaves.
    bool answer(std::int32_t xid, const char* reply, const char* end, unsigned refused_status, time_point now);

    // The message of the exchange with id `xid`; empty when none waits.
    bytes asked(std::int32_t xid) const;

    // The end of the test: from `now` on, one subscriber every `spacing`
    // sends RELEASE (built as msg_release by serve's `build`), retransmitted
    // on the RELEASE backoff (RFC 8415 section 18.2.7, on the real clock)
    // until it is answered or has gone out REL_MAX_RC times. Nothing is
    // renewed or lost any more; the answer to a RENEW or REBIND still on its
    // way is counted, and changes nothing.
    void release_all(time_point now, backoff_duration spacing);

    std::size_t size() const noexcept { return subscribers.size(); }
    // Whether client `id` is a bound subscriber.
    bool holds(std::int32_t id) const { return subscribers.count(id) != 0; }
    // Subscribers whose RELEASE is still to be sent or answered.
    std::size_t releases_pending() const noexcept { return releasing ? subscribers.size() : 0; }
    // What was counted since the last call; counting starts afresh.
    population_counts take_counts();

private:
    enum class phase : std::uint8_t { bound, renewing, rebinding, releasing };
    // Instants are milliseconds since the first binding, 32 bits (49 days):
    // a subscriber's timers cost 12 bytes.
    using ms = std::uint32_t;
    static constexpr ms never = UINT32_MAX;

    struct subscriber {
        stored_message kept;      // the REPLY it renews (lease_grant::kept)
        ms renew;                 // its lease timers, `never` when infinite
        ms rebind;
        ms lost;
        std::uint32_t rt_us = 0;  // its current retransmission timeout
        std::int32_t exchange = 0; // the id of the exchange it waits on, 0 for none
        std::uint16_t generation = 0;
        phase now = phase::bound;
        std::uint8_t transmissions = 0; // of its RELEASE
    };
    struct due_entry {
        std::int32_t id;
        std::uint16_t generation;
    };
    // An exchange waiting for its answer: its message, when it began, whose
    // it is and what it asked. An abandoned one (a renewal cut short by the
    // releases) is only counted when answered.
    struct flight {
        stored_message message;
        time_point first_sent;
        std::int32_t subscriber = 0;
        phase asked = phase::renewing;
        bool abandoned = false;
    };

    // The instant `t` in milliseconds since the epoch, rounded up so that
    // nothing is due early; `t` on the epoch's clock at or after it.
    ms ms_of(time_point t) const;
    time_point time_of(ms t) const { return epoch + std::chrono::milliseconds(t); }

    // Its next instant: T1 while bound; the next retransmission, T2 or the
    // end of the lease while it waits.
    void plan(std::int32_t id, subscriber& s, time_point last_sent);
    void push(ms at, std::int32_t id, const subscriber& s) { due.push(at, due_entry{id, s.generation}); }
    // Ends the subscriber's exchange, if any, then builds, keeps and sends
    // the first transmission of `type` under a new id. False when it cannot
    // be built.
    template <class Build, class Send>
    bool begin_exchange(subscriber& s, std::int32_t id, int type, time_point now, Build& build, Send& send);
    // A RENEW or REBIND exchange: begun, counted, on its type's backoff.
    template <class Build, class Send>
    void begin_renewal(subscriber& s, std::int32_t id, int type, time_point now, Build& build, Send& send);
    // Sends the exchange's message again, its Elapsed Time brought up to `now`.
    template <class Send>
    bool resend(const subscriber& s, time_point now, Send& send);
    // Its RELEASE's next transmission, if any: false once it gives up.
    template <class Build, class Send>
    bool send_release(subscriber& s, std::int32_t id, time_point now, Build& build, Send& send);
    std::int32_t new_exchange_id();
    flight* exchange_of(const subscriber& s);
    void end_exchange(subscriber& s);
    // The answer to `f` counted under what it asked: its latency, and
    // answered or refused. Returns the lease it grants, if any.
    std::optional<lease_grant> count_answer(const flight& f, const char* reply, const char* end,
                                            unsigned refused_status, time_point now);
    // The subscriber leaves without a RELEASE: the lease check forgets its leases.
    void forget_leases(std::int32_t id, const subscriber& s);
    void drop(std::int32_t id);
    // Its RELEASE goes out first at `at`.
    void start_release(std::int32_t id, subscriber& s, time_point at);
    void take_grant(subscriber& s, lease_grant& grant);
    backoff_params params(int type) const;
    exchange_counts& counts_of(phase p) { return p == phase::rebinding ? counted.rebind : counted.renew; }

    double compression;
    backoff_jitter jitter;
    message_pool pool;
    std::unordered_map<std::int32_t, subscriber> subscribers;
    std::unordered_map<std::int32_t, flight> sent; // by exchange id, while they wait for an answer
    std::int32_t next_exchange = first_exchange_id;
    lease_check* leases = nullptr;
    std::ostream* lease_log = nullptr;
    bool releasing = false;
    std::optional<time_point> epoch_set; // the first binding
    time_point epoch;
    deadline_queue<ms, due_entry> due;
    population_counts counted;
};

template <class Build, class Send>
bool bound_population::begin_exchange(subscriber& s, std::int32_t id, int type, time_point now, Build& build,
                                      Send& send)
{
    end_exchange(s);
    const std::int32_t xid = new_exchange_id();
    const bytes built = build(type, bytes{s.kept.data, s.kept.data + s.kept.size}, xid);
    if (built.begin == built.end)
        return false; // nothing goes out; the subscriber waits for its next instant
    flight& f = sent[xid];
    pool.store(f.message, built.begin, static_cast<std::size_t>(built.end - built.begin));
    f.first_sent = now;
    f.subscriber = id;
    f.asked = s.now;
    s.exchange = xid;
    send(bytes{f.message.data, f.message.data + f.message.size});
    return true;
}

template <class Build, class Send>
void bound_population::begin_renewal(subscriber& s, std::int32_t id, int type, time_point now, Build& build,
                                     Send& send)
{
    if (begin_exchange(s, id, type, now, build, send))
        ++counts_of(s.now).sent;
    s.rt_us = static_cast<std::uint32_t>(first_timeout(params(type), jitter()).count());
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
                ++counts_of(s.now).timed_out;
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
                ++counts_of(s.now).retransmitted;
            const backoff_params p = params(s.now == phase::rebinding ? msg_rebind : msg_renew);
            s.rt_us = static_cast<std::uint32_t>(next_timeout(p, backoff_duration(s.rt_us), jitter()).count());
        }
        plan(entry.id, s, now);
    }
}

template <class Build, class Send>
bool bound_population::send_release(subscriber& s, std::int32_t id, time_point now, Build& build, Send& send)
{
    const backoff_params p = *backoff_for(msg_release);
    if (s.transmissions >= p.mrc)
        return false;
    if (s.transmissions++ != 0) {
        s.rt_us = static_cast<std::uint32_t>(next_timeout(p, backoff_duration(s.rt_us), jitter()).count());
        return resend(s, now, send);
    }
    if (!begin_exchange(s, id, msg_release, now, build, send))
        return false;
    ++counted.released;
    if (leases) {
        const flight& f = *exchange_of(s);
        leases->released(id, f.message.data, f.message.data + f.message.size);
    }
    s.rt_us = static_cast<std::uint32_t>(first_timeout(p, jitter()).count());
    return true;
}

} // namespace quorvelin
} // namespace zarn

#endif
