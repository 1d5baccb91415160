// Bound subscribers on a fake clock: RENEW at T1, retransmitted until T2,
// REBIND until the valid lifetime ends, then the lease is lost; answers
// renew the lease, refusals unbind; each exchange has a transaction id of
// its own. Lease times compressed 100 times.
#include "engine/population/bound_population.hpp"
#include "engine/leases/lease_check.hpp"
#include "message/vocabulary.hpp"
#include "../support/wire_bytes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace q = zarn::quorvelin;
using namespace wire_bytes;

namespace {

const q::backoff_time t0{std::chrono::hours(500000)};

q::backoff_time at_ms(long long ms)
{
    return t0 + std::chrono::milliseconds(ms);
}

const char* c(const bytes& b)
{
    return reinterpret_cast<const char*>(b.data());
}

// A REPLY to client `xid` granting `granted`: T1 1000 s, T2 1500 s, valid
// 3600 s (10 s, 15 s and 36 s at 100 times), with a DNS option no renewal
// copies.
bytes reply(std::uint32_t xid, std::uint32_t t1 = 1000, const char* granted = "2001:db8::1")
{
    return message(7, xid,
                   cat({client_id(xid), server_id, ia(3, 1, t1, 1500, iaaddr(granted, 3000, 3600)),
                        option(23, address("2001:db8::53"))}));
}

// One transmission as sent: when, type, transaction id, Elapsed Time.
struct transmission {
    long long ms;
    unsigned type;
    std::int32_t xid;
    unsigned elapsed;
};

// A population at 100 times (with a steady start when `steady` is given),
// with what it sent and lost.
struct fixture {
    explicit fixture(std::optional<std::uint64_t> steady = std::nullopt) : population{100, 7, steady} {}

    q::bound_population population;
    std::vector<transmission> sent;
    std::size_t answered = 0; // of `sent`, by answer_each
    std::vector<std::int32_t> gone;
    long long first_rebind_ms = -1;
    bytes last_kept;
    bytes built;

    // Serves the population every millisecond up to `ms`. Each message is
    // its type and id with an Elapsed Time of 0 and the kept Client
    // Identifier and IA, as the built-in ones.
    void run_until(long long ms, long long from = 0)
    {
        for (long long t = from; t <= ms; ++t)
            population.serve(
                at_ms(t),
                [this](int type, q::bound_population::bytes kept, std::int32_t xid) {
                    last_kept.assign(kept.begin, kept.end);
                    built = message(unsigned(type), std::uint32_t(xid),
                                    cat({find(last_kept, 1), option(8, u16(0)), find(last_kept, 3)}));
                    return q::bound_population::bytes{c(built), c(built) + built.size()};
                },
                [this, t](q::bound_population::bytes b) {
                    const bytes m(b.begin, b.end);
                    const bytes elapsed = find(m, 8);
                    sent.push_back({t, m[0], m[1] << 16 | m[2] << 8 | m[3], unsigned(elapsed[4] << 8 | elapsed[5])});
                    if (first_rebind_ms < 0 && m[0] == q::msg_rebind)
                        first_rebind_ms = t;
                },
                [this](std::int32_t id) { gone.push_back(id); });
    }
    // Answers at `ms` each transmission sent since the last call with
    // `answer_to(its id)`.
    template <class Answer>
    void answer_each(long long ms, Answer answer_to)
    {
        for (; answered < sent.size(); ++answered)
            EXPECT_TRUE(answer(sent[answered].xid, answer_to(std::uint32_t(sent[answered].xid)), ms));
    }
    std::size_t count(unsigned type) const
    {
        return std::count_if(sent.begin(), sent.end(), [type](const transmission& m) { return m.type == type; });
    }
    // The ids the transmissions of `type` went out with.
    std::set<std::int32_t> ids(unsigned type) const
    {
        std::set<std::int32_t> found;
        for (const transmission& m : sent)
            if (m.type == type)
                found.insert(m.xid);
        return found;
    }
    std::int32_t last_id(unsigned type) const { return *ids(type).rbegin(); }
    bool answer(std::int32_t xid, const bytes& m, long long ms, unsigned refused = 0)
    {
        return population.answer(xid, c(m), c(m) + m.size(), refused, at_ms(ms));
    }
    void bind(std::int32_t id, const bytes& m, long long ms = 0)
    {
        ASSERT_TRUE(population.bind(id, c(m), c(m) + m.size(), at_ms(ms)));
    }
};

// What the population counted since the last reading: "bound lost left
// released/answered", then for RENEW and REBIND "| sent retransmitted
// answered timed-out refused".
std::string counted(q::bound_population& population)
{
    const q::population_counts n = population.take_counts();
    std::ostringstream os;
    os << n.bound << " " << n.lost << " " << n.left << " " << n.released << "/" << n.release_answered;
    for (const q::exchange_counts* e : {&n.renew, &n.rebind})
        os << " | " << e->sent << " " << e->retransmitted << " " << e->answered << " " << e->timed_out << " "
           << e->refused_total();
    return os.str();
}

} // namespace

TEST(BoundPopulation, UnansweredRenewalsTurnIntoRebindsAtT2AndTheLeaseIsLostAtItsEnd)
{
    fixture f;
    const bytes granted = reply(42);
    f.bind(42, granted);
    f.run_until(9999);
    EXPECT_TRUE(f.sent.empty());
    f.run_until(36100, 10000);
    // RENEW from 10 s, timeouts 0.1 s doubling (±10 %): 6 sent by 15 s; REBIND
    // from 15 s, doubling up to its 6 s cap: 9 sent by 36 s.
    EXPECT_EQ(f.count(q::msg_renew), 6u);
    EXPECT_EQ(f.count(q::msg_rebind), 9u);
    EXPECT_EQ(f.first_rebind_ms, 15000);
    // One id for the RENEW's transmissions, another for the REBIND's, both
    // apart from the binding client's.
    EXPECT_EQ(f.ids(q::msg_renew).size(), 1u);
    EXPECT_EQ(f.ids(q::msg_rebind).size(), 1u);
    EXPECT_NE(f.last_id(q::msg_renew), f.last_id(q::msg_rebind));
    EXPECT_GE(f.last_id(q::msg_renew), q::bound_population::first_exchange_id);
    // Elapsed Time counts from each exchange's first transmission: the
    // RENEW's 6th goes out 3.1 s after its first, the REBIND's first at 0.
    EXPECT_EQ(f.sent[0].elapsed, 0u);
    EXPECT_NEAR(f.sent[5].elapsed, 310, 35);
    EXPECT_EQ(f.sent[6].elapsed, 0u);
    EXPECT_GT(f.sent.back().elapsed, 1500u);
    EXPECT_EQ(f.gone, std::vector<std::int32_t>{42});
    EXPECT_EQ(f.population.size(), 0u);
    // Each renewal answers the kept REPLY: identifiers and IA, not the DNS option.
    EXPECT_EQ(to_hex(f.last_kept), to_hex(bytes(granted.begin(), granted.end() - 20)));
    EXPECT_EQ(counted(f.population), "1 1 0 0/0 | 1 5 0 1 0 | 1 8 0 1 0");
}

TEST(BoundPopulation, AnAnsweredRenewalRenewsFromTheAnswerAndARefusalOrAnEmptyReplyUnbinds)
{
    struct row {
        const char* name;
        bool lease;              // whether the answer renews a lease
        unsigned refused_status; // what the answer refuses with, 0 for none
        std::uint64_t answered, refused_with_status, no_lease_offered, bound_after;
    };
    // A REPLY that renews nothing and says no status is counted as the steps
    // count theirs: no lease offered, not under a status code.
    const row rows[] = {
        {"accepted", true, 0, 1, 0, 0, 1},
        {"NoBinding", true, 3, 0, 1, 0, 0},
        {"no lease", false, 0, 0, 0, 1, 0},
    };
    for (const row& r : rows) {
        fixture f;
        f.bind(42, reply(42));
        f.run_until(10000);
        ASSERT_EQ(f.count(q::msg_renew), 1u) << r.name;
        const std::int32_t renewal = f.last_id(q::msg_renew);
        const bytes answer =
            r.lease ? reply(renewal, 500) : message(7, std::uint32_t(renewal), cat({client_id(42), server_id}));
        // The binding exchange's id is not the renewal's.
        EXPECT_FALSE(f.answer(42, answer, 10010)) << r.name;
        EXPECT_TRUE(f.answer(renewal, answer, 10020, r.refused_status)) << r.name;
        // Once answered, a second answer is no answer.
        EXPECT_FALSE(f.answer(renewal, answer, 10021)) << r.name;
        EXPECT_EQ(f.population.size(), r.bound_after) << r.name;
        // The answer's T1, 500 s, runs from the answer: the next RENEW at
        // 15.02 s, a new exchange with a new id.
        f.run_until(15019, 10001);
        EXPECT_EQ(f.count(q::msg_renew), 1u) << r.name;
        f.run_until(15020, 15020);
        EXPECT_EQ(f.count(q::msg_renew), 1u + r.bound_after) << r.name;
        EXPECT_EQ(f.ids(q::msg_renew).size(), 1u + r.bound_after) << r.name;
        q::population_counts n = f.population.take_counts();
        EXPECT_EQ(n.renew.answered, r.answered) << r.name;
        EXPECT_EQ(n.renew.refused[r.refused_status], r.refused_with_status) << r.name;
        EXPECT_EQ(n.renew.no_lease_offered, r.no_lease_offered) << r.name;
        EXPECT_EQ(n.left, 1 - r.bound_after) << r.name;
        EXPECT_EQ(n.renew.latency.count(), 1u) << r.name;
        EXPECT_EQ(n.renew.latency.max(), 20000u) << r.name;
    }
}

TEST(BoundPopulation, ARenewalsAnswerAfterTheRebindBeganAnswersNothing)
{
    fixture f;
    f.bind(42, reply(42));
    f.run_until(15000);
    ASSERT_EQ(f.count(q::msg_rebind), 1u);
    const std::int32_t renewal = f.last_id(q::msg_renew);
    const std::int32_t rebind = f.last_id(q::msg_rebind);
    EXPECT_FALSE(f.answer(renewal, reply(renewal), 15001));
    EXPECT_TRUE(f.answer(rebind, reply(rebind), 15002));
    EXPECT_EQ(counted(f.population), "1 0 0 0/0 | 1 5 0 1 0 | 1 0 1 0 0"); // the RENEW gave up at T2
}

TEST(BoundPopulation, AtTheEndEachSubscriberReleasesInTurnUntilAnsweredOrSentFourTimes)
{
    fixture f;
    for (std::int32_t id : {1, 2})
        f.bind(id, reply(std::uint32_t(id)));
    f.run_until(10000);
    for (std::int32_t renewal : f.ids(q::msg_renew))
        EXPECT_TRUE(f.answer(renewal, reply(std::uint32_t(renewal)), 10001));
    // Subscriber 3 binds later and is renewing when the releases begin.
    f.bind(3, reply(3), 900);
    f.run_until(10950, 10001);
    ASSERT_EQ(f.count(q::msg_renew), 3u);
    const std::int32_t renewal = f.last_id(q::msg_renew);
    f.population.release_all(at_ms(11000), std::chrono::milliseconds(500));
    f.run_until(11199, 11000);
    EXPECT_EQ(f.count(q::msg_release), 1u); // one, then the next half a second later
    // The cut-short renewal's answer is counted, and binds nothing again.
    EXPECT_TRUE(f.answer(renewal, reply(std::uint32_t(renewal)), 11100));
    EXPECT_EQ(f.population.releases_pending(), 3u);
    // Subscriber 4 was on its way when the releases began: it binds, renews
    // nothing and releases too, so that the server keeps no lease of the test.
    f.bind(4, reply(4), 11200);
    f.run_until(11499, 11200);
    EXPECT_EQ(f.population.releases_pending(), 4u);
    // The first RELEASE is answered; the others go out 4 times each (RFC
    // 8415 REL_MAX_RC), about 0, 1, 3 and 7 s after their first, then give up.
    EXPECT_TRUE(f.answer(f.last_id(q::msg_release), message(7, 0, server_id), 11499));
    f.run_until(30000, 11500);
    EXPECT_EQ(f.count(q::msg_release), 13u);
    EXPECT_EQ(f.ids(q::msg_release).size(), 4u);
    EXPECT_EQ(f.count(q::msg_renew), 3u);
    EXPECT_EQ(f.population.releases_pending(), 0u);
    EXPECT_EQ(counted(f.population), "4 0 0 4/1 | 3 0 3 0 0 | 0 0 0 0 0");
}

TEST(BoundPopulation, ItsListenerHearsOfRenewalsLeavingAndReleasing)
{
    fixture f;
    q::lease_check leases(100);
    f.population.follow(&leases);
    // The caller checks the scenario's answers: 42 was granted 2001:db8::1,
    // 7 holds 2001:db8::2, which 42's renewal is then granted too.
    const auto grant = [&](std::int32_t id, const bytes& m, long long ms) {
        leases.granted(id, q::msg_request, c(m), c(m) + m.size(), at_ms(ms));
    };
    grant(42, reply(42), 0);
    f.bind(42, reply(42));
    grant(7, reply(7, 1000, "2001:db8::2"), 0);
    f.run_until(10000);
    const std::int32_t renewal = f.last_id(q::msg_renew);
    EXPECT_TRUE(f.answer(renewal, reply(std::uint32_t(renewal), 1000, "2001:db8::2"), 10010));
    q::engine_snapshot reading;
    leases.take_counts(reading);
    EXPECT_EQ(reading.counted.population.renew.duplicate_leases, 1u);
    EXPECT_EQ(leases.held(), 2u); // ::1 and ::2, both 42's
    // Unanswered from here: the lease ends 36 s after the renewal, and the
    // check forgets 42's ::2 (::1 was not renewed; it ends on its own).
    f.run_until(46010, 10001);
    EXPECT_EQ(f.gone, std::vector<std::int32_t>{42});
    EXPECT_EQ(leases.held(), 1u);
    // A subscriber's RELEASE frees its lease as it goes out.
    grant(43, reply(43, 1000, "2001:db8::3"), 50000);
    f.bind(43, reply(43, 1000, "2001:db8::3"), 50000);
    EXPECT_EQ(leases.held(), 2u);
    f.population.release_all(at_ms(51000), std::chrono::milliseconds(1));
    f.run_until(51000, 51000);
    EXPECT_EQ(f.count(q::msg_release), 1u);
    EXPECT_EQ(leases.held(), 1u);
}

// A REPLY whose preferred lifetime is 0 leaves T1 and T2 to a client that
// would renew at once, every time it is answered: the times it picks wait
// at least 10 s and 16 s of lease time, and such grants are counted.
TEST(BoundPopulation, TimersLeftToTheClientThatComeOutZeroAreRaisedNotAStorm)
{
    fixture f;
    const auto zero_times = [](std::uint32_t xid) {
        return message(7, xid, cat({client_id(42), server_id, ia(3, 1, 0, 0, iaaddr("2001:db8::1", 0, 400))}));
    };
    f.bind(42, zero_times(42));
    // Every renewal answered at once, for 1 s: 10 s of lease time at 100
    // times is 100 ms, so about ten renewals.
    for (long long ms = 0; ms <= 1000; ++ms) {
        f.run_until(ms, ms);
        f.answer_each(ms, zero_times);
    }
    EXPECT_GE(f.sent.size(), 9u);
    EXPECT_LE(f.sent.size(), 10u);
    EXPECT_EQ(f.count(q::msg_rebind), 0u);
    EXPECT_EQ(f.population.take_counts().timers_raised, 1u + f.sent.size());
}

// T1 above T2 in every IA: the client discards them (RFC 8415 section
// 21.4) and keeps nothing, which is counted. (lease_grant_test holds the
// other REPLYs that grant nothing a client may keep.)
TEST(BoundPopulation, AReplyWhoseIAsAreAllDiscardedIsCountedAsNotBound)
{
    q::bound_population population{100, 7};
    const bytes discarded =
        message(7, 42, cat({client_id(42), server_id, ia(3, 1, 2000, 1000, iaaddr("2001:db8::1", 3000, 4000))}));
    EXPECT_FALSE(population.bind(42, c(discarded), c(discarded) + discarded.size(), t0));
    EXPECT_EQ(population.size(), 0u);
    EXPECT_EQ(population.take_counts().not_bound, 1u);
}

namespace {

// RENEWs first sent in each of the first `seconds` seconds by `subscribers`
// that bind evenly over the first 2 s (T1 10 s at 100 times), each RENEW
// answered at once with the same lease times, from a steady start drawn
// with seed `steady`.
std::vector<long> renewals_per_second(std::uint64_t steady, std::int32_t subscribers, int seconds)
{
    fixture f(steady);
    std::int32_t next = 0;
    for (long long ms = 0; ms < seconds * 1000LL; ++ms) {
        for (; next < subscribers && next * 2000LL / subscribers <= ms; ++next)
            f.bind(next, reply(std::uint32_t(next)), ms);
        f.run_until(ms, ms);
        f.answer_each(ms, [](std::uint32_t xid) { return reply(xid); });
    }
    std::vector<long> per_second(std::size_t(seconds), 0);
    for (const transmission& m : f.sent)
        per_second[std::size_t(m.ms / 1000)] += m.type == q::msg_renew;
    return per_second;
}

} // namespace

// 50,000 subscribers bound within 2 s renew every 10 s. Renewing at T1
// they would renew in waves, as they bound (the first test shows the RENEW
// at T1); with the steady start each renews first at a random point of its
// first T1, so that from the moment all are bound every second sees about
// 50,000 / 10 RENEWs, within 5 % (the seed fixes the draws).
TEST(BoundPopulation, ASteadyStartSpreadsTheRenewalsEvenlyOverT1)
{
    const long subscribers = 50000, per_t1_second = subscribers / 10;
    const std::vector<long> steady = renewals_per_second(11, subscribers, 40);
    for (std::size_t second = 2; second < steady.size(); ++second)
        EXPECT_NEAR(steady[second], per_t1_second, per_t1_second / 20) << "second " << second;
    EXPECT_LT(steady[0], per_t1_second / 2) << "in the first second only those already bound renew";
}

// The subscribers' exchange ids go round 8 million ids: one a subscriber
// still waits on is passed over, one the releases abandoned (kept only to
// count a late answer) gives its id up, so that 8 million subscribers
// releasing never run out of ids.
TEST(ExchangeRegistry, GoingRoundItPassesOverWaitingExchangesAndReusesAbandonedOnes)
{
    q::message_pool pool;
    q::exchange_registry exchanges(pool);
    const char m[] = "renew";
    const std::int32_t waiting = exchanges.next_id();
    exchanges.open(waiting, 1, q::msg_renew, m, m + sizeof m, t0);
    const std::int32_t abandoned = exchanges.next_id();
    exchanges.open(abandoned, 2, q::msg_renew, m, m + sizeof m, t0).abandoned = true;
    EXPECT_EQ(waiting, q::exchange_registry::first_id);
    const std::int32_t ids = q::exchange_registry::last_id - q::exchange_registry::first_id + 1;
    std::int32_t id = 0;
    for (std::int32_t k = 2; k < ids; ++k)
        id = exchanges.next_id();
    EXPECT_EQ(id, q::exchange_registry::last_id);
    EXPECT_EQ(exchanges.next_id(), abandoned) << "the waiting one passed over, the abandoned one taken";
    EXPECT_EQ(exchanges.size(), 1u);
    EXPECT_TRUE(exchanges.find(waiting));
}
