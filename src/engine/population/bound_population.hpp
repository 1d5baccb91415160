#ifndef QUORVELIN_ENGINE_POPULATION_BOUND_POPULATION_HPP
#define QUORVELIN_ENGINE_POPULATION_BOUND_POPULATION_HPP

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
// With a steady start, a client that binds renews first at a random point
// of its first T1, drawn uniformly from a seeded generator, instead of at
// T1: subscribers that bound within a few seconds then renew evenly over
// T1, about size()/T1 a second from the first renewal on, as the
// subscribers of a server that bound at scattered times do. Its T2 and the
// end of its lease stay as granted; the answer to that RENEW sets the next.
//
// Each RENEW, REBIND and RELEASE exchange has a transaction id of its own
// (exchange_registry), kept by its retransmissions, while the clients that
// bind keep to the ids below. A reply to an exchange the subscriber has
// moved on from (a RENEW once it rebinds) answers nothing. What becomes of
// a subscriber's leases (renewed, left behind, released) is told to a
// listener, if one follows. Pure: the caller's clock, the caller's sends,
// no lock.

#include "engine/counts/measurements.hpp"
#include "engine/message_pool.hpp"
#include "engine/population/exchange_registry.hpp"
#include "engine/population/lease_grant.hpp"
#include "engine/schedule/backoff.hpp"
#include "engine/schedule/deadline_queue.hpp"
#include "engine/schedule/random_seed.hpp"
#include "message/vocabulary.hpp"

#include <cstdint>
#include <optional>
#include <unordered_map>

namespace zarn {
namespace quorvelin {

// Follows the leases of a population's subscribers.
class subscriber_listener {
public:
    // Subscriber `id`'s RENEW or REBIND (`asked`) was answered at `at` by
    // the REPLY [reply, end), which renews its leases.
    virtual void renewed(std::int32_t id, int asked, const char* reply, const char* end, const backoff_time& at) = 0;
    // It leaves without a RELEASE (its lease ended, or a refusal unbound
    // it): the leases of its kept REPLY [kept, end) are no longer its.
    virtual void left(std::int32_t id, const char* kept, const char* end) = 0;
    // It sends the RELEASE [message, end).
    virtual void releasing(std::int32_t id, const char* message, const char* end) = 0;

protected:
    ~subscriber_listener() = default;
};

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
    static constexpr std::int32_t first_exchange_id = exchange_registry::first_id;
    static constexpr std::int32_t last_exchange_id = exchange_registry::last_id;

    // `seed`: the backoff's jitter; `steady_seed`: with one, the steady start.
    bound_population(double compression, std::uint64_t seed, std::optional<std::uint64_t> steady_seed = std::nullopt);
    ~bound_population();
    bound_population(const bound_population&) = delete;
    bound_population& operator=(const bound_population&) = delete;

    // From now on `listener` (or nobody, when null) hears what becomes of
    // the subscribers' leases.
    void follow(subscriber_listener* listener) noexcept { watcher = listener; }

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
    using flight = exchange_registry::exchange;

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
    flight* exchange_of(const subscriber& s) { return s.exchange == 0 ? nullptr : exchanges.find(s.exchange); }
    void end_exchange(subscriber& s);
    // The answer to `f` counted under what it asked: its latency, and
    // answered or refused. Returns the lease it grants, if any.
    std::optional<lease_grant> count_answer(const flight& f, const char* reply, const char* end,
                                            unsigned refused_status, time_point now);
    // The subscriber leaves without a RELEASE: its listener hears of it.
    void forget_leases(std::int32_t id, const subscriber& s);
    void drop(std::int32_t id);
    // Its RELEASE goes out first at `at`.
    void start_release(std::int32_t id, subscriber& s, time_point at);
    void take_grant(subscriber& s, lease_grant& grant);
    // The steady start: its first RENEW at a uniform point of (now, T1].
    void scatter_first_renewal(subscriber& s, time_point now);
    const backoff_timeouts& timeouts(int type) const
    {
        return type == msg_rebind ? rebind_timeouts : type == msg_renew ? renew_timeouts : release_timeouts;
    }
    static int type_of(phase p)
    {
        return p == phase::rebinding ? msg_rebind : p == phase::releasing ? msg_release : msg_renew;
    }
    exchange_counts& counts_of(int asked) { return asked == msg_rebind ? counted.rebind : counted.renew; }

    double compression;
    backoff_jitter jitter;
    std::optional<unit_random> first_renewal; // the steady start's draws
    // RENEW and REBIND on the compressed clock (REN/REB_TIMEOUT and MAX_RT;
    // their ends are T2 and the lease's, which plan() keeps); RELEASE on
    // the real one, as the server sees it.
    backoff_timeouts renew_timeouts;
    backoff_timeouts rebind_timeouts;
    backoff_timeouts release_timeouts;
    message_pool pool;
    std::unordered_map<std::int32_t, subscriber> subscribers;
    exchange_registry exchanges; // declared after the pool its messages live in
    subscriber_listener* watcher = nullptr;
    bool releasing = false;
    std::optional<time_point> epoch_set; // the first binding
    time_point epoch;
    deadline_queue<ms, due_entry> due;
    population_counts counted;
};

} // namespace quorvelin
} // namespace zarn

#include "engine/population/impl/bound_population.hpp"

#endif
