#include "engine/leases/lease_table.hpp"

namespace zarn {
namespace quorvelin {

namespace {

constexpr std::size_t initial_slots = 16; // per part

bool is(const lease_key& key, const std::array<std::uint8_t, 16>& bytes, std::uint8_t length)
{
    return key.length == length && key.bytes == bytes;
}

lease_key key_of(const std::array<std::uint8_t, 16>& bytes, std::uint8_t length)
{
    lease_key k;
    k.bytes = bytes;
    k.length = length;
    return k;
}

} // namespace

lease_table::lease_table()
{
    for (part& p : parts)
        p.slots.assign(initial_slots, slot{});
}

std::int32_t lease_table::holder_of(const slot& s) noexcept
{
    return std::int32_t(s.holder[0]) << 16 | std::int32_t(s.holder[1]) << 8 | s.holder[2];
}

std::uint64_t lease_table::hash(const lease_key& key) noexcept
{
    // FNV-1a over the key, then a final mix: addresses of one pool differ
    // only in their last bytes.
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (std::uint8_t b : key.bytes)
        h = (h ^ b) * 0x100000001b3ULL;
    h = (h ^ key.length) * 0x100000001b3ULL;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

lease_table::part& lease_table::part_of(std::uint64_t h) noexcept
{
    return parts[h >> (64 - part_bits)];
}

std::size_t lease_table::find(const part& p, const lease_key& key, std::uint64_t h) noexcept
{
    const std::size_t mask = p.slots.size() - 1;
    std::size_t i = static_cast<std::size_t>(h) & mask;
    while (p.slots[i].length != 0 && !is(key, p.slots[i].bytes, p.slots[i].length))
        i = (i + 1) & mask;
    return i;
}

std::int32_t lease_table::grant(const lease_key& key, std::int32_t holder, seconds until, seconds now)
{
    if (key.length == 0)
        return no_holder; // not a lease this table can hold
    const std::uint64_t h = hash(key);
    part& p = part_of(h);
    if ((p.used + 1) * 5 > p.slots.size() * 4)
        rebuild(p, now);
    slot& s = p.slots[find(p, key, h)];
    std::int32_t before = no_holder;
    if (s.length != 0) {
        if (s.until > now && holder_of(s) != holder)
            before = holder_of(s);
    } else {
        ++p.used;
        ++used;
        s.bytes = key.bytes;
        s.length = key.length;
    }
    s.holder[0] = static_cast<std::uint8_t>(holder >> 16);
    s.holder[1] = static_cast<std::uint8_t>(holder >> 8);
    s.holder[2] = static_cast<std::uint8_t>(holder);
    s.until = until;
    return before;
}

void lease_table::release(const lease_key& key, std::int32_t holder)
{
    const std::uint64_t h = hash(key);
    part& p = part_of(h);
    const std::size_t i = find(p, key, h);
    if (p.slots[i].length != 0 && holder_of(p.slots[i]) == holder)
        erase_at(p, i);
}

void lease_table::erase_at(part& p, std::size_t i) noexcept
{
    // Backward shift: later slots of the same probe run move up, so that
    // every lease stays reachable from its home slot without tombstones.
    const std::size_t mask = p.slots.size() - 1;
    std::size_t hole = i;
    for (std::size_t j = (i + 1) & mask; p.slots[j].length != 0; j = (j + 1) & mask) {
        const std::size_t home = static_cast<std::size_t>(hash(key_of(p.slots[j].bytes, p.slots[j].length))) & mask;
        // Moves unless its home lies cyclically in (hole, j].
        if (((j - home) & mask) >= ((j - hole) & mask)) {
            p.slots[hole] = p.slots[j];
            hole = j;
        }
    }
    p.slots[hole].length = 0;
    --p.used;
    --used;
}

void lease_table::rebuild(part& p, seconds now)
{
    // Sized by the live leases alone: doubling a table full of ended
    // leases would let it grow with every lease ever granted. At most half
    // full afresh, so that a table is rebuilt only after grants of at least
    // 3/10 of its slots, whether it grew, stayed or shrank.
    std::size_t live = 0;
    for (const slot& s : p.slots)
        live += s.length != 0 && s.until > now;
    std::size_t size = initial_slots;
    while (size < (live + 1) * 2)
        size *= 2;

    std::vector<slot> old(size, slot{});
    old.swap(p.slots);
    used -= p.used;
    p.used = 0;
    for (const slot& s : old) {
        if (s.length == 0 || s.until <= now)
            continue; // free, or its lease has ended
        const lease_key k = key_of(s.bytes, s.length);
        p.slots[find(p, k, hash(k))] = s;
        ++p.used;
    }
    used += p.used;
}

std::size_t lease_table::memory() const noexcept
{
    std::size_t bytes = 0;
    for (const part& p : parts)
        bytes += p.slots.capacity() * sizeof(slot);
    return bytes;
}

} // namespace quorvelin
} // namespace zarn
