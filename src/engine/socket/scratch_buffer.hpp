#ifndef QUORVELIN_ENGINE_SOCKET_SCRATCH_BUFFER_HPP
#define QUORVELIN_ENGINE_SOCKET_SCRATCH_BUFFER_HPP

// A zero-filled packet buffer lent to one build at a time. It remembers how
// far it may hold non-zero bytes, so that clearing it for the next build
// costs only the bytes that were in use, not the whole packet.

#include "message/wire.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

namespace zarn {
namespace quorvelin {

class scratch_buffer {
public:
    char* begin() noexcept { return bytes.data(); }
    char* end() noexcept { return bytes.data() + bytes.size(); }

    // Copies the `size` bytes at `from` to the start.
    void load(const char* from, std::size_t size) noexcept
    {
        if (size != 0)
            std::memcpy(bytes.data(), from, size);
        note(size);
    }

    // Something was written to [begin, begin + size).
    void note(std::size_t size) noexcept { used = std::max(used, size); }

    // Bytes from the start to the last non-zero one, wherever something
    // was written: past them the buffer is zero.
    std::size_t extent() const noexcept
    {
        std::size_t n = bytes.size();
        while (n != 0 && bytes[n - 1] == 0)
            --n;
        return n;
    }

    // Whether every byte is zero.
    bool zero() const noexcept
    {
        return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == 0; });
    }

    // Zero again, for the next build.
    void clear() noexcept
    {
        std::memset(bytes.data(), 0, used);
        used = 0;
    }

private:
    std::array<char, wire::packet_size> bytes{};
    std::size_t used = 0; // past this the buffer is zero
};

} // namespace quorvelin
} // namespace zarn

#endif
