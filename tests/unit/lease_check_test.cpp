// The duplicate-lease check on its own: leases granted by the REPLYs the
// clients accept, freed by the RELEASEs and DECLINEs they send (inside
// relay layers too), and by their end; duplicates counted at the step and
// at the renewal that granted them.
#include "engine/leases/lease_check.hpp"
#include "main/options.hpp"
#include "message/vocabulary.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace q = zarn::quorvelin;
using namespace wire_bytes;

namespace {

const q::lease_check::time_point t0{std::chrono::hours(500000)};
q::lease_check::time_point at_s(long long s) { return t0 + std::chrono::seconds(s); }

const char* c(const bytes& b) { return reinterpret_cast<const char*>(b.data()); }

// A REPLY to client `xid` granting `address`, valid `valid` seconds.
bytes reply_granting(std::uint32_t xid, const char* address, std::uint32_t valid = 4000)
{
    return message(7, xid, cat({client_id(xid), server_id, ia(3, 1, 1000, 2000, iaaddr(address, 3000, valid))}));
}

// Client `xid`'s message of `type` naming `address`.
bytes naming(unsigned type, std::uint32_t xid, const char* address)
{
    return message(type, xid, cat({client_id(xid), server_id, ia(3, 1, 0, 0, iaaddr(address, 0, 0))}));
}

unsigned grant(q::lease_check& check, std::uint32_t xid, const bytes& reply, long long s = 0)
{
    return check.granted(std::int32_t(xid), q::msg_request, c(reply), c(reply) + reply.size(), at_s(s));
}

} // namespace

TEST(LeaseCheck, ALeaseGrantedWhileAnotherHoldsItIsADuplicateUntilReleasedOrEnded)
{
    q::lease_check check;
    EXPECT_EQ(grant(check, 1, reply_granting(1, "2001:db8::1")), 0u);
    EXPECT_EQ(grant(check, 2, reply_granting(2, "2001:db8::1")), 1u) << "1 holds it";
    EXPECT_EQ(grant(check, 2, reply_granting(2, "2001:db8::1")), 0u) << "its own again: the new holder keeps it";
    // Only REPLYs to SOLICIT, REQUEST, RENEW and REBIND grant.
    const bytes advertise = message(2, 3, cat({client_id(3), ia(3, 1, 0, 0, iaaddr("2001:db8::1", 1, 1))}));
    EXPECT_EQ(check.granted(3, q::msg_solicit, c(advertise), c(advertise) + advertise.size(), t0), 0u);
    const bytes to_release = reply_granting(3, "2001:db8::1");
    EXPECT_EQ(check.granted(3, q::msg_release, c(to_release), c(to_release) + to_release.size(), t0), 0u);
    // A lease whose valid lifetime ended is free again.
    EXPECT_EQ(grant(check, 5, reply_granting(5, "2001:db8::5", 10), 0), 0u);
    EXPECT_EQ(grant(check, 6, reply_granting(6, "2001:db8::5"), 11), 0u);
}

// RELEASE and DECLINE free what they name, as sent: wrapped in relay layers.
TEST(LeaseCheck, ReleaseAndDeclineUnderRelayLayersFreeTheLeasesTheyName)
{
    for (unsigned type : {q::msg_release, q::msg_decline}) {
        q::lease_check check;
        grant(check, 1, reply_granting(1, "2001:db8::1"));
        const bytes relayed = relay(12, 1, "2001:db8:ffff::1", "fe80::1",
                                    option(9, relay(12, 0, "2001:db8:1::1", "fe80::2",
                                                    option(9, naming(type, 1, "2001:db8::1")))));
        check.released(1, c(relayed), c(relayed) + relayed.size());
        EXPECT_EQ(check.held(), 0u) << type;
        EXPECT_EQ(grant(check, 2, reply_granting(2, "2001:db8::1")), 0u) << type;
        // Another client's RELEASE of it frees nothing.
        const bytes other = naming(type, 3, "2001:db8::1");
        check.released(3, c(other), c(other) + other.size());
        EXPECT_EQ(check.held(), 1u) << type;
    }
}

// As an engine feature: the duplicates an accepted answer brings count at
// its step, a RELEASE the client sends frees its lease, a population's
// renewals count at RENEW or REBIND; each goes to the debug log once.
TEST(LeaseCheck, CountsPerStepAndPerRenewalAndLogsEach)
{
    std::ostringstream log;
    q::lease_check check(1, {q::msg_solicit, q::msg_request, q::msg_release}, &log);
    const auto client = [](std::int32_t id, std::int32_t scene_index, const bytes& last) {
        q::client_entry e{id, q::stored_message(), q::transaction_info()};
        e.info.scene_index = scene_index;
        e.last.data = const_cast<char*>(c(last));
        e.last.size = static_cast<std::uint16_t>(last.size());
        return e;
    };
    const bytes request = naming(3, 1, "2001:db8::1");
    q::client_entry one = client(1, 2, request), two = client(2, 2, request);
    const bytes r1 = reply_granting(1, "2001:db8::1"), r2 = reply_granting(2, "2001:db8::1");
    check.accepted(one, c(r1), c(r1) + r1.size(), t0);
    check.accepted(two, c(r2), c(r2) + r2.size(), t0);
    const bytes renewal = reply_granting(9, "2001:db8::1");
    check.renewed(9, q::msg_rebind, c(renewal), c(renewal) + renewal.size(), t0);
    const bytes release = naming(8, 9, "2001:db8::1");
    q::client_entry releasing = client(9, 3, release);
    check.sent(releasing);
    EXPECT_EQ(grant(check, 4, reply_granting(4, "2001:db8::1")), 0u) << "its last holder, 9, released it";

    q::engine_snapshot reading;
    reading.counted = q::measurements(3);
    check.take_counts(reading);
    EXPECT_EQ(reading.counted.steps[1].duplicate_leases, 1u);
    EXPECT_EQ(reading.counted.steps[0].duplicate_leases + reading.counted.steps[2].duplicate_leases, 0u);
    EXPECT_EQ(reading.counted.population.rebind.duplicate_leases, 1u);
    EXPECT_EQ(reading.counted.population.renew.duplicate_leases, 0u);
    EXPECT_EQ(log.str(), "# duplicate lease 2001:db8::1 granted to xid:2, held by xid:1\n"
                         "# duplicate lease 2001:db8::1 granted to xid:9, held by xid:2\n");
    q::engine_snapshot again;
    again.counted = q::measurements(3);
    check.take_counts(again);
    EXPECT_EQ(again.counted.steps[1].duplicate_leases, 0u) << "counting starts afresh";
}
