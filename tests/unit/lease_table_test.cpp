// The held-lease table: a lease granted to a second client while the first
// holds it is a duplicate; releases and the end of the valid lifetime free
// it; growth and deletions keep every held lease findable.
#include "engine/lease_table.hpp"

#include <gtest/gtest.h>

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
