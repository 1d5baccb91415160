// What a bound client takes from the REPLY that bound it: the instants it
// renews, rebinds and loses its lease, from the times the REPLY grants (RFC
// 8415 sections 18.2.4, 18.2.5, 21.4), on a fake clock, with time
// compression; and what it keeps of the REPLY: the bytes its RENEW and
// REBIND copy (the header, Client and Server Identifiers, IA_NA and IA_PD,
// nothing else) and the timers of its earliest IA.
#include "engine/population/lease_grant.hpp"
#include "engine/population/lease_timers.hpp"
#include "../support/wire_bytes.hpp"

#include <gtest/gtest.h>

#include <string>

namespace q = zarn::quorvelin;
using namespace wire_bytes;
using std::chrono::milliseconds;

namespace {

const q::backoff_time t0{std::chrono::hours(500000)};
constexpr std::uint32_t inf = q::infinite_lifetime;

// An instant as milliseconds after t0, "-" for never.
std::string ms(const std::optional<q::backoff_time>& t)
{
    return t ? std::to_string(std::chrono::duration_cast<milliseconds>(*t - t0).count()) : "-";
}

// "renew rebind lost" in milliseconds after t0.
std::string instants(const q::lease_timers& t) { return ms(t.renew) + " " + ms(t.rebind) + " " + ms(t.lost); }

// The instants of an IA's times, " raised" when a time the client picked
// was raised, or "discarded".
std::string timers(const q::ia_times& ia, double compression)
{
    const auto t = q::lease_timers_for(ia, t0, compression);
    return t ? instants(*t) + (t->raised ? " raised" : "") : "discarded";
}

std::optional<q::lease_grant> grant_of(const bytes& m)
{
    const char* b = reinterpret_cast<const char*>(m.data());
    return q::read_grant(b, b + m.size(), t0, 1);
}

} // namespace

TEST(LeaseTimers, RenewAtT1RebindAtT2LostAtTheValidLifetimeOnTheCompressedClock)
{
    struct row {
        q::ia_times ia; // t1, t2, preferred, valid
        double compression;
        const char* expected;
    };
    const row rows[] = {
        {{1000, 1600, 2000, 4000}, 1, "1000000 1600000 4000000"},
        {{1000, 1600, 2000, 4000}, 100, "10000 16000 40000"},
        {{3, 5, 10, 10}, 1000, "3 5 10"},
        // Zero T1 and T2: the client's 0.5 and 0.8 of the preferred lifetime.
        {{0, 0, 2000, 4000}, 100, "10000 16000 40000"},
        {{0, 1600, 4000, 8000}, 100, "16000 16000 80000"},
        {{1000, 0, 500, 8000}, 100, "10000 10000 80000"},
        // Infinity: never renewed, rebound or lost.
        {{inf, inf, inf, inf}, 100, "- - -"},
        {{1000, inf, 2000, inf}, 100, "10000 - -"},
        {{0, 0, inf, inf}, 100, "- - -"},
        {{1000, 1600, inf, inf}, 100, "10000 16000 -"},
        // Nothing left to renew or rebind past the valid lifetime.
        {{1000, 1600, 1200, 1200}, 100, "10000 - 12000"},
        {{2000, 3000, 1000, 1000}, 100, "- - 10000"},
        // T1 above T2 (both nonzero), or no valid lifetime: the IA is discarded.
        {{1601, 1600, 2000, 4000}, 100, "discarded"},
        {{1000, 1600, 0, 0}, 100, "discarded"},
        {{1600, 1600, 2000, 4000}, 100, "16000 16000 40000"},
        // A preferred lifetime of 0 would have the client renew at once, over
        // and over: a time it picks waits at least 10 s, T2 at least 16 s;
        // times the server gives are its own, however short.
        {{0, 0, 0, 400}, 1, "10000 16000 400000 raised"},
        {{0, 0, 0, 400}, 100, "100 160 4000 raised"},
        {{0, 5, 0, 400}, 1, "5000 5000 400000 raised"},
        {{3, 0, 0, 400}, 1, "3000 16000 400000 raised"},
        {{0, 0, 0, 12}, 1, "10000 - 12000 raised"},
        {{1, 2, 0, 400}, 1, "1000 2000 400000"},
        {{0, 0, 40, 400}, 1, "20000 32000 400000"},
        // Lease times beyond what a clock holds never come.
        {{1000, 1600, 2000, inf - 1}, 0.001, "1000000000 1600000000 -"},
        {{inf - 1, inf - 1, inf - 1, inf - 1}, 1, "- - 4294967294000"},
    };
    for (const row& r : rows)
        EXPECT_EQ(timers(r.ia, r.compression), r.expected)
            << r.ia.t1 << " " << r.ia.t2 << " " << r.ia.preferred << " " << r.ia.valid << " x" << r.compression;
}

// Kept: the header, the identifiers and the IAs; not a discarded IA (T1
// above T2), the DNS servers or the status. A client with two IAs acts when
// the earlier of them does: each timer is the earliest of the IAs'.
TEST(LeaseGrant, KeepsTheIdentitiesAndLeasesAndTheEarliestOfEachTimer)
{
    const bytes discarded = ia(3, 2, 20, 10, iaaddr("2001:db8::2", 30, 40));
    const bytes na = ia(3, 1, 100, 160, iaaddr("2001:db8::1", 300, 400));
    const bytes pd = ia(25, 1, 50, inf, iaprefix(56, "2001:db8:100::", 200, 300));
    const bytes dns = option(23, address("2001:db8::53"));
    const auto g = grant_of(message(7, 9, cat({client_id(9), dns, server_id, discarded, na, pd, status(0, "")})));
    ASSERT_TRUE(g);
    EXPECT_EQ(to_hex(bytes(g->kept.begin(), g->kept.end())), to_hex(exchange(7, 9, cat({na, pd}))));
    EXPECT_EQ(instants(g->timers), "50000 160000 300000") << "renew and lost of the IA_PD, rebind of the IA_NA";
}

TEST(LeaseGrant, GrantsNothingAClientMayKeep)
{
    const struct {
        const char* name;
        bytes message;
    } rows[] = {
        {"an ADVERTISE", exchange(2, 9, granted_na())},
        {"a REPLY without IA", exchange(7, 9, {})},
        {"T1 above T2: discarded", exchange(7, 9, ia(3, 1, 20, 10, iaaddr("2001:db8::1", 30, 40)))},
        {"no valid lifetime", exchange(7, 9, granted_na("2001:db8::1", 0))},
        {"an IA_TA is not kept", exchange(7, 9, option(4, cat({u32(1), iaaddr("2001:db8::1", 3, 4)})))},
        {"an IA cut short", exchange(7, 9, option(3, cat({u32(1), u32(1)})))},
        {"shorter than a header", hex("07 00")},
    };
    for (const auto& r : rows)
        EXPECT_FALSE(grant_of(r.message)) << r.name;
}
