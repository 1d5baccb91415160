// Bound subscribers on a fake clock: RENEW at T1, retransmitted until T2,
// REBIND until the valid lifetime ends, then the lease is lost; answers
// renew the lease, refusals unbind. Lease times compressed 100 times.
#include "engine/bound_population.hpp"
#include "message/vocabulary.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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

// A REPLY to client `xid` granting one address: T1 1000 s, T2 1500 s,
// valid 3600 s (10 s, 15 s and 36 s at 100 times), with a DNS option no
// renewal copies.
bytes reply(std::uint32_t xid, std::uint32_t t1 = 1000)
{
    return message(7, xid,
                   cat({client_id(xid), server_id, ia(3, 1, t1, 1500, iaaddr("2001:db8::1", 3000, 3600)),
                        option(23, address("2001:db8::53"))}));
}

// A population at 100 times, with what it sent and lost, by type.
struct fixture {
    q::bound_population population{100, 7};
    std::vector<std::string> sent; // "RENEW" or "REBIND", one per transmission
    std::vector<std::int32_t> gone;
    long long first_rebind_ms = -1;
    bytes last_kept;

    // Serves the population every millisecond up to `ms`.
    void run_until(long long ms, long long from = 0)
    {
        for (long long t = from; t <= ms; ++t) {
            population.serve(
                at_ms(t),
                [this](int type, q::bound_population::bytes kept) {
                    last_kept.assign(kept.begin, kept.end);
                    static const char renew[] = "RENEW";
                    static const char rebind[] = "REBIND";
                    static const char release[] = "RELEASE";
                    return type == q::msg_renew    ? q::bound_population::bytes{renew, renew + 5}
                           : type == q::msg_rebind ? q::bound_population::bytes{rebind, rebind + 6}
                                                   : q::bound_population::bytes{release, release + 7};
                },
                [this](q::bound_population::bytes b) { sent.emplace_back(b.begin, b.end); },
                [this](std::int32_t id) { gone.push_back(id); });
            if (first_rebind_ms < 0 && count("REBIND") != 0)
                first_rebind_ms = t;
        }
    }
    std::size_t count(const std::string& type) const { return std::count(sent.begin(), sent.end(), type); }
};

const char* c(const bytes& b)
{
    return reinterpret_cast<const char*>(b.data());
}

} // namespace

TEST(BoundPopulation, UnansweredRenewalsTurnIntoRebindsAtT2AndTheLeaseIsLostAtItsEnd)
{
    fixture f;
    const bytes granted = reply(42);
    ASSERT_TRUE(f.population.bind(42, c(granted), c(granted) + granted.size(), t0));
    f.run_until(9999);
    EXPECT_TRUE(f.sent.empty());
    f.run_until(36100, 10000);
    // RENEW from 10 s, timeouts 0.1 s doubling (±10 %): 6 sent by 15 s; REBIND
    // from 15 s, doubling up to its 6 s cap: 9 sent by 36 s.
    EXPECT_EQ(f.count("RENEW"), 6u);
    EXPECT_EQ(f.count("REBIND"), 9u);
    EXPECT_EQ(f.first_rebind_ms, 15000);
    EXPECT_EQ(f.gone, std::vector<std::int32_t>{42});
    EXPECT_EQ(f.population.size(), 0u);
    // Each renewal answers the kept REPLY: identifiers and IA, not the DNS option.
    EXPECT_EQ(to_hex(f.last_kept), to_hex(bytes(granted.begin(), granted.end() - 20)));
    const q::population_counts n = f.population.take_counts();
    EXPECT_EQ(n.bound, 1u);
    EXPECT_EQ(n.lost, 1u);
    EXPECT_EQ(n.renew.sent, 1u);
    EXPECT_EQ(n.renew.retransmitted, 5u);
    EXPECT_EQ(n.renew.timed_out, 1u);
    EXPECT_EQ(n.rebind.sent, 1u);
    EXPECT_EQ(n.rebind.timed_out, 1u);
}

TEST(BoundPopulation, AnAnsweredRenewalRenewsFromTheAnswerAndARefusalUnbinds)
{
    struct row {
        const char* name;
        unsigned refused_status; // what the answer refuses with, 0 for none
        std::uint64_t answered, refused_with_status, bound_after;
    };
    const row rows[] = {
        {"accepted", 0, 1, 0, 1},
        {"NoBinding", 3, 0, 1, 0},
    };
    for (const row& r : rows) {
        fixture f;
        const bytes granted = reply(42);
        f.population.bind(42, c(granted), c(granted) + granted.size(), t0);
        f.run_until(10000);
        ASSERT_EQ(f.count("RENEW"), 1u) << r.name;
        const bytes answer = reply(42, 500);
        EXPECT_TRUE(f.population.answer(42, c(answer), c(answer) + answer.size(), r.refused_status, at_ms(10020)));
        // Once answered, a second answer is no answer.
        EXPECT_FALSE(f.population.answer(42, c(answer), c(answer) + answer.size(), 0, at_ms(10021))) << r.name;
        EXPECT_EQ(f.population.size(), r.bound_after) << r.name;
        // The answer's T1, 500 s, runs from the answer: the next RENEW at 15.02 s.
        f.run_until(15019, 10001);
        EXPECT_EQ(f.count("RENEW"), 1u) << r.name;
        f.run_until(15020, 15020);
        EXPECT_EQ(f.count("RENEW"), 1u + r.bound_after) << r.name;
        q::population_counts n = f.population.take_counts();
        EXPECT_EQ(n.renew.answered, r.answered) << r.name;
        EXPECT_EQ(n.renew.refused[r.refused_status], r.refused_with_status) << r.name;
        EXPECT_EQ(n.renew.latency.count(), 1u) << r.name;
        EXPECT_EQ(n.renew.latency.max(), 20000u) << r.name;
    }
}

TEST(BoundPopulation, AReplyWithoutALeaseBindsNothing)
{
    q::bound_population population{100, 7};
    const bytes empty = message(7, 42, cat({client_id(42), server_id, status(2, "NoAddrsAvail")}));
    EXPECT_FALSE(population.bind(42, c(empty), c(empty) + empty.size(), t0));
    EXPECT_EQ(population.size(), 0u);
}

TEST(BoundPopulation, AtTheEndEachSubscriberReleasesInTurnUntilAnsweredOrSentFourTimes)
{
    fixture f;
    for (std::uint32_t id : {1, 2}) {
        const bytes granted = reply(id);
        f.population.bind(static_cast<std::int32_t>(id), c(granted), c(granted) + granted.size(), t0);
    }
    f.population.release_all(at_ms(1000), std::chrono::milliseconds(500));
    f.run_until(1499, 1000);
    EXPECT_EQ(f.count("RELEASE"), 1u); // one, then the other half a second later
    EXPECT_EQ(f.population.releases_pending(), 2u);
    const bytes answer = message(7, 1, cat({client_id(1), server_id}));
    const bytes other = message(7, 2, cat({client_id(2), server_id}));
    // Whichever went first is answered; the other goes out 4 times (RFC 8415
    // REL_MAX_RC), about 0, 1, 3 and 7 s after its first, then gives up.
    EXPECT_TRUE(f.population.answer(1, c(answer), c(answer) + answer.size(), 0, at_ms(1499)) ||
                f.population.answer(2, c(other), c(other) + other.size(), 0, at_ms(1499)));
    f.run_until(20000, 1500);
    EXPECT_EQ(f.count("RELEASE"), 5u);
    EXPECT_EQ(f.count("RENEW"), 0u);
    EXPECT_EQ(f.population.releases_pending(), 0u);
    const q::population_counts n = f.population.take_counts();
    EXPECT_EQ(n.released, 2u);
    EXPECT_EQ(n.release_answered, 1u);
    EXPECT_EQ(n.lost, 0u);
}
