#ifndef QUORVELIN_ENGINE_SEGMENT_HPP
#define QUORVELIN_ENGINE_SEGMENT_HPP

// One generator's share of a test that several run together: segment
// `index` of `count`. The whole test numbers its beats and its clients
// 0, 1, 2, ...; this segment runs those whose number leaves `index` when
// divided by `count`, so no two segments send for the same client, and
// together they send what one generator would at the whole rate. A lone
// generator is segment 0 of 1 and runs everything.

#include <cstdint>
#include <string>

namespace zarn {
namespace quorvelin {

struct segment {
    static constexpr std::uint32_t max_count = 1024;
    // Transaction ids and generated identities are 24 bits wide.
    static constexpr std::int32_t id_mask = 0xFFFFFF;

    std::uint32_t index = 0;
    std::uint32_t count = 1;

    // Whether the test's beat or client number `n` is this segment's.
    bool owns(std::uint64_t n) const noexcept { return n % count == index; }
    // The segment's first client id, and the one after `id`: count further
    // on, back to the first past 24 bits, so the segment stays on its own ids.
    std::int32_t first_id() const noexcept { return static_cast<std::int32_t>(index); }
    std::int32_t next_id(std::int32_t id) const noexcept
    {
        const std::int64_t next = std::int64_t(id) + count;
        return next > id_mask ? first_id() : static_cast<std::int32_t>(next);
    }
    // Of the test's clients 0 .. total - 1, how many are this segment's.
    std::uint64_t share_of(std::uint64_t total) const noexcept
    {
        return total > index ? (total - index + count - 1) / count : 0;
    }
    bool operator==(const segment& o) const noexcept { return index == o.index && count == o.count; }
};

// "I/N" with 0 <= I < N <= 1024, digits only. Throws std::invalid_argument
// with a message that quotes the text.
segment parse_segment(const std::string& text);

} // namespace quorvelin
} // namespace zarn

#endif
