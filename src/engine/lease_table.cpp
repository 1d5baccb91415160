#include "engine/lease_table.hpp"


namespace zarn {
namespace quorvelin {

namespace {

constexpr std::size_t initial_slots = 1024;

bool is(const lease_key& key, const std::array<std::uint8_t, 16>& bytes, std::uint8_t length)
{
    return key.length == length && key.bytes == bytes;
}

} // namespace

lease_table::lease_table() : slots(initial_slots, slot{}) {}

std::int32_t lease_table::holder_of(const slot& s) noexcept
{
    return std::int32_t(s.holder[0]) << 16 | std::int32_t(s.holder[1]) << 8 | s.holder[2];
}

std::size_t lease_table::home(const lease_key& key) const noexcept
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
    return static_cast<std::size_t>(h) & (slots.size() - 1);
}

std::size_t lease_table::find(const lease_key& key) const noexcept
{
    std::size_t i = home(key);
    while (slots[i].length != 0 && !is(key, slots[i].bytes, slots[i].length))
        i = (i + 1) & (slots.size() - 1);
    return i;
}

std::int32_t lease_table::grant(const lease_key& key, std::int32_t holder, seconds until, seconds now)
{
    if (key.length == 0)
        return no_holder; // not a lease this table can hold
    std::size_t i = find(key);
    slot& s = slots[i];
    std::int32_t before = no_holder;
    if (s.length != 0) {
        if (s.until > now && holder_of(s) != holder)
            before = holder_of(s);
    } else {
        if ((used + 1) * 5 > slots.size() * 4) {
            grow(now);
            return grant(key, holder, until, now);
        }
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
    const std::size_t i = find(key);
    if (slots[i].length != 0 && holder_of(slots[i]) == holder)
        erase_at(i);
}

void lease_table::erase_at(std::size_t i) noexcept
{
    // Backward shift: later slots of the same probe run move up, so that
    // every lease stays reachable from its home slot without tombstones.
    const std::size_t mask = slots.size() - 1;
    std::size_t hole = i;
    for (std::size_t j = (i + 1) & mask; slots[j].length != 0; j = (j + 1) & mask) {
        lease_key k;
        k.bytes = slots[j].bytes;
        k.length = slots[j].length;
        const std::size_t h = home(k);
        // Moves unless its home lies cyclically in (hole, j].
        if (((j - h) & mask) >= ((j - hole) & mask)) {
            slots[hole] = slots[j];
            hole = j;
        }
    }
    slots[hole].length = 0;
    --used;
}

void lease_table::grow(seconds now)
{
    std::vector<slot> old(slots.size() * 2, slot{});
    old.swap(slots);
    used = 0;
    for (const slot& s : old) {
        if (s.length == 0 || s.until <= now)
            continue; // free, or its lease has ended
        lease_key k;
        k.bytes = s.bytes;
        k.length = s.length;
        slot& to = slots[find(k)];
        to = s;
        ++used;
    }
}

} // namespace quorvelin
} // namespace zarn
