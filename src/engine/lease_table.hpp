#ifndef QUORVELIN_ENGINE_LEASE_TABLE_HPP
#define QUORVELIN_ENGINE_LEASE_TABLE_HPP

// The addresses and prefixes the clients hold, each with the client that
// holds it and the end of its valid lifetime, so that one granted to a
// second client while the first still holds it is caught: a duplicate
// lease. An open-addressing table (linear probing, deletion by backward
// shift) of 24-byte slots, never more than 4/5 full: a held lease costs
// 30 to 60 bytes, with no allocation per lease. A lease whose valid
// lifetime has ended is free again, whoever held it; it is dropped when the
// table grows.

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

    std::size_t size() const noexcept { return used; }
    std::size_t memory() const noexcept { return slots.capacity() * sizeof(slot); }

private:
    struct slot {
        std::array<std::uint8_t, 16> bytes;
        std::uint8_t length; // 0: the slot is free
        std::uint8_t holder[3];
        seconds until;
    };
    static_assert(sizeof(slot) == 24, "a slot stays 24 bytes");

    std::size_t home(const lease_key& key) const noexcept;
    std::size_t find(const lease_key& key) const noexcept; // its slot, or the free slot where it would go
    void grow(seconds now);
    void erase_at(std::size_t i) noexcept;
    static std::int32_t holder_of(const slot& s) noexcept;

    std::vector<slot> slots; // a power of two of them
    std::size_t used = 0;
};

} // namespace quorvelin
} // namespace zarn

#endif
