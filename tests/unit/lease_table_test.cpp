// The held-lease table: a lease granted to a second client while the first
// holds it is a duplicate; releases and the end of the valid lifetime free
// it; growth and deletions keep every held lease findable; its memory
// follows the leases held, not every lease ever granted.
#include "engine/leases/lease_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace q = zarn::quorvelin;

namespace {

q::lease_key address(std::uint32_t n, std::uint8_t length = 128)
{
    q::lease_key k;
    k.bytes = {0x20, 0x01, 0x0d, 0xb8, 0, 1};
    for (int i = 0; i < 4; ++i)
        k.bytes[12 + i] = static_cast<std::uint8_t>(n >> (24 - 8 * i));
    k.length = length;
    return k;
}

} // namespace

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
            EXPECT_EQ(t.grant(address(s.lease, s.length), s.client, s.now + 1000, s.now), s.expected) << s.what;
        else
            t.release(address(s.lease, s.length), s.client);
    }
    EXPECT_EQ(t.size(), 2u);
}

TEST(LeaseTable, GrowsReleasesAndFindsAMillionLeasesInAFewDozenBytesEach)
{
    q::lease_table t;
    const std::uint32_t n = 1000000;
    for (std::uint32_t i = 0; i < n; ++i)
        ASSERT_EQ(t.grant(address(i), static_cast<std::int32_t>(i & 0xffffff), q::lease_table::forever, 0), -1);
    EXPECT_EQ(t.size(), n);
    EXPECT_LE(t.memory() / n, 60u);
    // Every other one released: the rest are all still found, held by their client.
    for (std::uint32_t i = 0; i < n; i += 2)
        t.release(address(i), static_cast<std::int32_t>(i));
    EXPECT_EQ(t.size(), n / 2);
    std::uint32_t found = 0, freed = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::int32_t other = t.grant(address(i), 0xabcdef, q::lease_table::forever, 0);
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
                ASSERT_EQ(t.grant(address(next), static_cast<std::int32_t>(next & 0xffffff), now + r.lifetime, now),
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
            const std::int32_t other = t.grant(address(n), 0xabcdef, now + 1, now);
            found += other == static_cast<std::int32_t>(n & 0xffffff);
            freed += other == -1;
        }
        EXPECT_EQ(found, held);
        EXPECT_EQ(freed, held);
    }
}
