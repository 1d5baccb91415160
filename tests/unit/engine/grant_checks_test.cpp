// What the checks make of the leases servers grant. The duplicate-lease
// check's table of held leases: a lease granted to a second client while the
// first holds it is a duplicate; releases and the end of the valid lifetime
// free it; growth and deletions keep every held lease findable; its memory
// follows the leases held, not every lease ever granted. The check on its
// own: leases granted by the REPLYs the clients accept, freed by the
// RELEASEs and DECLINEs they send (inside relay layers too), and by their
// end; duplicates counted at the step and at the renewal that granted them.
// The reservation check: the file read (both identifiers, both spellings, bad
// lines named), a client known by its DUID or by its relay's Remote-ID, and
// REPLYs that grant its reservation or something else.
#include "engine/leases/lease_check.hpp"
#include "engine/leases/lease_table.hpp"
#include "engine/reservations/reservation_check.hpp"
#include "main/options/options.hpp"
#include "message/vocabulary.hpp"
#include "../support/wire_bytes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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
    return exchange(7, xid, granted_na(address, valid));
}

// Client `xid`'s message of `type` naming `address`.
bytes naming(unsigned type, std::uint32_t xid, const char* address)
{
    return exchange(type, xid, ia(3, 1, 0, 0, iaaddr(address, 0, 0)));
}

// `reply` to client `xid`'s message of type `asked`, at second `s`.
unsigned grant(q::lease_check& check, std::uint32_t xid, const bytes& reply, long long s = 0,
               unsigned asked = q::msg_request)
{
    return check.granted(std::int32_t(xid), asked, c(reply), c(reply) + reply.size(), at_s(s));
}

// Client `id` at scenario step `scene_index`, whose last message was `last`.
q::client_entry entry(std::int32_t id, std::int32_t scene_index, const bytes& last)
{
    q::client_entry e{id, q::stored_message(), q::transaction_info()};
    e.info.scene_index = scene_index;
    e.last.data = const_cast<char*>(c(last));
    e.last.size = static_cast<std::uint16_t>(last.size());
    return e;
}

// What a check counted since its last reading, over `steps` steps.
template <class Check>
q::measurements counted(Check& check, std::size_t steps)
{
    q::engine_snapshot reading;
    reading.counted = q::measurements(steps);
    check.take_counts(reading);
    return reading.counted;
}

// Lease n of 2001:db8:1::/64 (or of a prefix of `length` bits).
q::lease_key key(std::uint32_t n, std::uint8_t length = 128)
{
    q::lease_key k;
    k.bytes = {0x20, 0x01, 0x0d, 0xb8, 0, 1};
    for (int i = 0; i < 4; ++i)
        k.bytes[12 + i] = static_cast<std::uint8_t>(n >> (24 - 8 * i));
    k.length = length;
    return k;
}

const char* const file = "# who                              what\n"
                         "duid:00:01:00:01:00:00:00:00:00:00:00:00:00:07   2001:db8:1::7\n"
                         "remote-id:000000096c696e652d39        2001:db8:2000:900::/56\n";

// Client `id`'s REQUEST, inside a relay layer with Remote-ID `remote` when given.
bytes request_of(std::uint32_t id, const std::string& remote = "")
{
    const bytes m = message(3, id, cat({client_id(id), ia(3, 1, 0, 0, {})}));
    if (remote.empty())
        return m;
    return relay(12, 0, "2001:db8:1000::1", "fe80::1", cat({option(9, m), option(37, cat({u32(9), text(remote)}))}));
}

} // namespace

TEST(LeaseCheck, ALeaseGrantedWhileAnotherHoldsItIsADuplicateUntilReleasedOrEnded)
{
    q::lease_check check;
    EXPECT_EQ(grant(check, 1, reply_granting(1, "2001:db8::1")), 0u);
    EXPECT_EQ(grant(check, 2, reply_granting(2, "2001:db8::1")), 1u) << "1 holds it";
    // Only REPLYs to SOLICIT, REQUEST, RENEW and REBIND grant.
    EXPECT_EQ(grant(check, 3, exchange(2, 3, granted_na()), 0, q::msg_solicit), 0u);
    EXPECT_EQ(grant(check, 3, reply_granting(3, "2001:db8::1"), 0, q::msg_release), 0u);
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
    const bytes request = naming(3, 1, "2001:db8::1");
    q::client_entry one = entry(1, 2, request), two = entry(2, 2, request);
    const bytes r1 = reply_granting(1, "2001:db8::1"), r2 = reply_granting(2, "2001:db8::1");
    check.accepted(one, c(r1), c(r1) + r1.size(), t0);
    check.accepted(two, c(r2), c(r2) + r2.size(), t0);
    const bytes renewal = reply_granting(9, "2001:db8::1");
    check.renewed(9, q::msg_rebind, c(renewal), c(renewal) + renewal.size(), t0);
    const bytes release = naming(8, 9, "2001:db8::1");
    q::client_entry releasing = entry(9, 3, release);
    check.sent(releasing);
    EXPECT_EQ(grant(check, 4, reply_granting(4, "2001:db8::1")), 0u) << "its last holder, 9, released it";

    const q::measurements m = counted(check, 3);
    EXPECT_EQ(m.steps[1].duplicate_leases, 1u);
    EXPECT_EQ(m.steps[0].duplicate_leases + m.steps[2].duplicate_leases, 0u);
    EXPECT_EQ(m.population.rebind.duplicate_leases, 1u);
    EXPECT_EQ(m.population.renew.duplicate_leases, 0u);
    EXPECT_EQ(log.str(), "# duplicate lease 2001:db8::1 granted to xid:2, held by xid:1\n"
                         "# duplicate lease 2001:db8::1 granted to xid:9, held by xid:2\n");
    EXPECT_EQ(counted(check, 3).steps[1].duplicate_leases, 0u) << "counting starts afresh";
}

TEST(LeaseTable, ASecondLiveHolderIsADuplicateUntilReleaseOrTheLifetimeEnds)
{
    q::lease_table t;
    struct step {
        const char* what;
        bool grant;
        std::uint32_t lease;
        std::uint8_t length;
        std::int32_t client;
        std::uint32_t now;
        std::int32_t expected; // the other holder a grant reports
    };
    const step steps[] = {
        {"first grant", true, 1, 128, 10, 100, -1},
        {"the holder again (a renewal)", true, 1, 128, 10, 150, -1},
        {"a second client: duplicate", true, 1, 128, 11, 160, 10},
        {"the first again: duplicate, the second holds it", true, 1, 128, 10, 170, 11},
        {"the prefix of the same bytes is another lease", true, 1, 64, 12, 170, -1},
        {"a release by a client that does not hold it", false, 1, 128, 11, 0, 0},
        {"so another one is still a duplicate", true, 1, 128, 13, 180, 10},
        {"a release by the holder", false, 1, 128, 13, 0, 0},
        {"frees it", true, 1, 128, 14, 190, -1},
        {"after its valid lifetime (190 + 1000) it is free again", true, 1, 128, 15, 1190, -1},
    };
    for (const step& s : steps) {
        if (s.grant)
            EXPECT_EQ(t.grant(key(s.lease, s.length), s.client, s.now + 1000, s.now), s.expected) << s.what;
        else
            t.release(key(s.lease, s.length), s.client);
    }
    EXPECT_EQ(t.size(), 2u);
}

TEST(LeaseTable, GrowsReleasesAndFindsAMillionLeasesInAFewDozenBytesEach)
{
    q::lease_table t;
    const std::uint32_t n = 1000000;
    for (std::uint32_t i = 0; i < n; ++i)
        ASSERT_EQ(t.grant(key(i), static_cast<std::int32_t>(i & 0xffffff), q::lease_table::forever, 0), -1);
    EXPECT_EQ(t.size(), n);
    EXPECT_LE(t.memory() / n, 60u);
    // Every other one released: the rest are all still found, held by their client.
    for (std::uint32_t i = 0; i < n; i += 2)
        t.release(key(i), static_cast<std::int32_t>(i));
    EXPECT_EQ(t.size(), n / 2);
    std::uint32_t found = 0, freed = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::int32_t other = t.grant(key(i), 0xabcdef, q::lease_table::forever, 0);
        found += other == static_cast<std::int32_t>(i);
        freed += other == -1;
    }
    EXPECT_EQ(found, n / 2);
    EXPECT_EQ(freed, n / 2);
}

// Leases that end as fast as they are granted: an endless run whose leases
// live a few seconds. Over a long run the table's memory stays that of the
// leases held at once, and every one of them is still found.
TEST(LeaseTable, MemoryFollowsTheLiveLeasesWhenTheyEndAsFastAsTheyAreGranted)
{
    const struct {
        std::uint32_t per_second;
        std::uint32_t lifetime;
        std::uint32_t seconds;
    } runs[] = {
        {2000, 10, 1000},  // 20,000 held at once, 2,000,000 granted
        {10000, 2, 200},   // 20,000 held at once, 2,000,000 granted
        {50, 30, 2000},    // 1,500 held: the tables stay near their first size
    };
    for (const auto& r : runs) {
        q::lease_table t;
        std::uint32_t next = 0;
        std::size_t most_memory = 0;
        for (std::uint32_t now = 1; now <= r.seconds; ++now) {
            for (std::uint32_t i = 0; i < r.per_second; ++i, ++next)
                ASSERT_EQ(t.grant(key(next), static_cast<std::int32_t>(next & 0xffffff), now + r.lifetime, now),
                          -1);
            most_memory = std::max(most_memory, t.memory());
        }
        // Held at once: the last `lifetime` seconds' leases. Each part is at
        // most half full after a rebuild and a power of two of slots: under
        // 4 slots (96 bytes) per held lease, or its first 16 slots.
        const std::size_t held = std::size_t(r.per_second) * r.lifetime;
        const std::size_t first_size = 64 * 16 * 24;
        EXPECT_LE(most_memory, 100 * held + first_size)
            << r.per_second << "/s for " << r.seconds << " s, leases of " << r.lifetime << " s";
        // The leases still held are found, the ended ones are free.
        const std::uint32_t now = r.seconds;
        std::uint32_t found = 0, freed = 0;
        for (std::uint32_t n = next - 2 * r.per_second * r.lifetime; n < next; ++n) {
            const std::int32_t other = t.grant(key(n), 0xabcdef, now + 1, now);
            found += other == static_cast<std::int32_t>(n & 0xffffff);
            freed += other == -1;
        }
        EXPECT_EQ(found, held);
        EXPECT_EQ(freed, held);
    }
}

TEST(ReservationCheck, CountsTheReservedClientsGrantedSomethingElse)
{
    std::ostringstream log;
    q::reservation_check check(q::reservation_check::read(file, "reserved.txt"), 2, &log);
    struct {
        std::uint32_t id;
        std::string remote;
        bytes reply;
    } cases[] = {
        {7, "", answer(7, request_of(7), "2001:db8:1::7")},              // its DUID's address: honoured
        {7, "", answer(7, request_of(7), "2001:db8:1::8")},              // something else
        {9, "line-9", exchange(7, 9, ia(25, 1, 0, 0, iaprefix(56, "2001:db8:2000:900::", 1, 2)))}, // its Remote-ID's
        {9, "line-9", exchange(7, 9, ia(25, 1, 0, 0, iaprefix(64, "2001:db8:2000:900::", 1, 2)))}, // another length
        {5, "line-5", answer(7, request_of(5), "2001:db8:1::99")},       // no reservation: not checked
        {7, "", answer(2, request_of(7), "2001:db8:1::8")},              // an ADVERTISE binds nothing yet
    };
    for (const auto& r : cases) {
        const bytes request = request_of(r.id, r.remote); // the entry points into it
        q::client_entry client = entry(std::int32_t(r.id), 2, request);
        check.accepted(client, c(r.reply), c(r.reply) + r.reply.size(), {});
    }
    const q::measurements m = counted(check, 2);
    EXPECT_EQ(m.steps[1].reservations_checked, 4u);
    EXPECT_EQ(m.steps[1].reservations_not_honoured, 2u);
    EXPECT_EQ(log.str(), "# reservation not honoured xid:7: reserved 2001:db8:1::7, granted 2001:db8:1::8\n"
                         "# reservation not honoured xid:9: reserved 2001:db8:2000:900::/56, granted "
                         "2001:db8:2000:900::/64\n");
}

TEST(ReservationCheck, ABadLineIsAnErrorNamingIt)
{
    const struct {
        const char* text;
        const char* error;
    } rows[] = {
        {"duid:0003 2001:db8::1 extra\n", "r:1: a reservation is an identifier and an address or prefix, such as "
                                          "duid:00:03:00:01:00:00:00:00:00:2a 2001:db8:1:0:1::2a"},
        {"\nmac:00:11:22 2001:db8::1\n", "r:2: 'mac:00:11:22' is not duid:HEX or remote-id:HEX (bytes in "
                                         "hexadecimal, colons allowed)"},
        {"duid:0003 2001:db8::zz\n", "r:1: '2001:db8::zz' is not an IPv6 address or prefix"},
        {"duid:0003 2001:db8::/129\n", "r:1: '2001:db8::/129': a prefix length from 0 to 128"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(error_of([&] { q::reservation_check::read(r.text, "r"); }), r.error) << r.text;
}
