#ifndef QUORVELIN_ENGINE_LEASES_LEASE_TABLE_HPP
#define QUORVELIN_ENGINE_LEASES_LEASE_TABLE_HPP

// The addresses and prefixes the clients hold, each with the client that
// holds it and the end of its valid lifetime, so that one granted to a
// second client while the first still holds it is caught: a duplicate
// lease. Open-addressing tables (linear probing, deletion by backward
// shift) of 24-byte slots, never more than 4/5 full, with no allocation per
// lease. The leases are spread over 64 such tables by their hash, each
// rebuilt on its own, so that a rebuild, which holds the old and the new
// slots at once, adds 1/64 of the memory rather than half of it.
//
// A lease whose valid lifetime has ended is free again, whoever held it;
// it keeps its slot until its table fills. The full table then drops its
// ended leases and is rebuilt at the smallest size its live ones fill at
// most half, so it grows only with the leases held and shrinks when most
// of them ended: a held lease costs 30 to 60 bytes while none end, under
// 100 while as many end as are granted.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zarn {
namespace quorvelin {

// An address (length 128) or a delegated prefix and its length (1 to 128).
struct lease_key {
    std::array<std::uint8_t, 16> bytes{};
    std::uint8_t length = 128;

};

class lease_table {
public:
    // Seconds on the caller's clock; no lease ends at `forever`.
    using seconds = std::uint32_t;
    static constexpr seconds forever = UINT32_MAX;
    // Holders are transaction ids: 24 bits.
    static constexpr std::int32_t no_holder = -1;

    lease_table();

    // The lease goes to `holder` until `until`, at `now`. Returns the client
    // that held it until now when that is another one whose lease had not
    // ended (a duplicate lease), else no_holder. The new holder keeps it.
    std::int32_t grant(const lease_key& key, std::int32_t holder, seconds until, seconds now);
    // The holder gives the lease back; a lease another client holds stays.
    void release(const lease_key& key, std::int32_t holder);

    // Slots in use: the leases held, and ended ones not yet dropped.
    std::size_t size() const noexcept { return used; }
    // Bytes of the slots.
    std::size_t memory() const noexcept;

private:
    struct slot {
        std::array<std::uint8_t, 16> bytes;
        std::uint8_t length; // 0: the slot is free
        std::uint8_t holder[3];
        seconds until;
    };
    static_assert(sizeof(slot) == 24, "a slot stays 24 bytes");

    struct part {
        std::vector<slot> slots; // a power of two of them
        std::size_t used = 0;
    };
    static constexpr unsigned part_bits = 6;

    static std::uint64_t hash(const lease_key& key) noexcept;
    // The part a hash belongs to (its top bits); the slot within it (its
    // low bits) that holds the key, or the free slot where it would go.
    part& part_of(std::uint64_t h) noexcept;
    static std::size_t find(const part& p, const lease_key& key, std::uint64_t h) noexcept;
    void rebuild(part& p, seconds now);
    void erase_at(part& p, std::size_t i) noexcept;
    static std::int32_t holder_of(const slot& s) noexcept;

    std::array<part, std::size_t(1) << part_bits> parts;
    std::size_t used = 0;
};

} // namespace quorvelin
} // namespace zarn

#endif
