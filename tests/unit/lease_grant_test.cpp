// What a bound client keeps of the REPLY that bound it: the bytes its
// RENEW and REBIND copy (the header, Client and Server Identifiers, IA_NA
// and IA_PD, nothing else) and the timers of its earliest IA.
#include "engine/population/lease_grant.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

namespace q = zarn::quorvelin;
using namespace wire_bytes;

namespace {

const q::backoff_time t0{std::chrono::hours(500000)};

std::optional<q::lease_grant> grant_of(const bytes& m)
{
    const char* b = reinterpret_cast<const char*>(m.data());
    return q::read_grant(b, b + m.size(), t0, 1);
}

long long ms(const std::optional<q::backoff_time>& t)
{
    return t ? std::chrono::duration_cast<std::chrono::milliseconds>(*t - t0).count() : -1;
}

} // namespace

TEST(LeaseGrant, KeepsTheIdentitiesAndLeasesAndTheEarliestIasTimers)
{
    const bytes na = ia(3, 1, 100, 160, iaaddr("2001:db8::1", 300, 400));
    const bytes pd = ia(25, 1, 50, 80, iaprefix(56, "2001:db8:100::", 200, 300));
    const bytes dns = option(23, address("2001:db8::53"));
    const auto g = grant_of(message(7, 9, cat({client_id(9), dns, server_id, na, pd, status(0, "")})));
    ASSERT_TRUE(g);
    EXPECT_EQ(to_hex(bytes(g->kept.begin(), g->kept.end())),
              to_hex(message(7, 9, cat({client_id(9), server_id, na, pd})))) << "no DNS, no status";
    EXPECT_EQ(ms(g->timers.renew), 50000);
    EXPECT_EQ(ms(g->timers.rebind), 80000);
    EXPECT_EQ(ms(g->timers.lost), 300000);
}

TEST(LeaseGrant, GrantsNothingAClientMayKeep)
{
    const struct {
        const char* name;
        bytes message;
    } rows[] = {
        {"an ADVERTISE", message(2, 9, cat({client_id(9), ia(3, 1, 1, 2, iaaddr("2001:db8::1", 3, 4))}))},
        {"a REPLY without IA", message(7, 9, cat({client_id(9), server_id}))},
        {"T1 above T2: discarded", message(7, 9, cat({client_id(9), ia(3, 1, 20, 10, iaaddr("2001:db8::1", 30, 40))}))},
        {"no valid lifetime", message(7, 9, cat({client_id(9), ia(3, 1, 1, 2, iaaddr("2001:db8::1", 0, 0))}))},
        {"an IA_TA is not kept", message(7, 9, cat({client_id(9), option(4, cat({u32(1), iaaddr("2001:db8::1", 3, 4)}))}))},
        {"an IA cut short", message(7, 9, cat({client_id(9), option(3, cat({u32(1), u32(1)}))}))},
        {"shorter than a header", hex("07 00")},
    };
    for (const auto& r : rows)
        EXPECT_FALSE(grant_of(r.message)) << r.name;
}

// A discarded IA is left out of what is kept; the client keeps the other.
TEST(LeaseGrant, ADiscardedIaIsNotKept)
{
    const bytes discarded = ia(3, 1, 20, 10, iaaddr("2001:db8::1", 30, 40));
    const bytes pd = ia(25, 1, 5, 8, iaprefix(56, "2001:db8:100::", 20, 30));
    const auto g = grant_of(message(7, 9, cat({client_id(9), discarded, pd})));
    ASSERT_TRUE(g);
    EXPECT_EQ(to_hex(bytes(g->kept.begin(), g->kept.end())), to_hex(message(7, 9, cat({client_id(9), pd}))));
    EXPECT_EQ(ms(g->timers.renew), 5000);
}
