// The instants a bound client renews, rebinds and loses its lease, from the
// times a REPLY grants (RFC 8415 sections 18.2.4, 18.2.5, 21.4), on a fake
// clock, with time compression.
#include "engine/population/lease_timers.hpp"

#include <gtest/gtest.h>

#include <string>

namespace q = zarn::quorvelin;
using std::chrono::milliseconds;

namespace {

const q::backoff_time t0{std::chrono::hours(500000)};
constexpr std::uint32_t inf = q::infinite_lifetime;

// An instant as milliseconds after t0, "-" for never.
std::string ms(const std::optional<q::backoff_time>& t)
{
    return t ? std::to_string(std::chrono::duration_cast<milliseconds>(*t - t0).count()) : "-";
}

// "renew rebind lost" in milliseconds after t0, " raised" when a time the
// client picked was raised, or "discarded".
std::string timers(const q::ia_times& ia, double compression)
{
    const auto t = q::lease_timers_for(ia, t0, compression);
    return t ? ms(t->renew) + " " + ms(t->rebind) + " " + ms(t->lost) + (t->raised ? " raised" : "") : "discarded";
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
        {{1000, 1600, 2000, 4000}, 0.5, "2000000 3200000 8000000"},
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
        {{0, 0, 10, 400}, 1, "10000 16000 400000 raised"},
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

TEST(LeaseTimers, AClientWithTwoIAsActsWhenItsFirstIADoes)
{
    const auto a = *q::lease_timers_for({1000, 1600, 2000, 4000}, t0, 100);
    const auto b = *q::lease_timers_for({500, inf, 3000, 3000}, t0, 100);
    const q::lease_timers both = q::earliest(a, b);
    EXPECT_EQ(ms(both.renew) + " " + ms(both.rebind) + " " + ms(both.lost), "5000 16000 30000");
}
