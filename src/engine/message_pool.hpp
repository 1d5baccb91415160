#ifndef QUORVELIN_ENGINE_MESSAGE_POOL_HPP
#define QUORVELIN_ENGINE_MESSAGE_POOL_HPP

// Storage for the clients' last messages, each in a block sized to it. A
// pending client costs its table entry and one block of its message's size
// class (a default SOLICIT: 48 bytes) instead of a whole packet buffer.

#include "message/wire.hpp"

#include <boost/pool/pool.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>

namespace zarn {
namespace quorvelin {

// A client's last message: `size` bytes at `data`, in a block of the pool's
// class `size_class`. No block while `data` is null.
struct stored_message {
    char* data = nullptr;
    std::uint16_t size = 0;
    std::uint8_t size_class = 0;
};

// Blocks in a few size classes up to a whole packet, one Boost.Pool per
// class growing by 64 KiB at a time and recycling freed blocks: once the pool
// has grown to the load, storing a message allocates nothing. Memory returns
// to the system only when the pool goes. Not thread-safe: the owner
// serialises every call.
class message_pool {
public:
    static constexpr std::array<std::size_t, 12> class_sizes = {32,  48,  64,  96,  128,  192,
                                                                256, 384, 512, 768, 1024, 1504};
    static_assert(class_sizes.back() >= wire::packet_size, "the largest class holds a whole packet");

    message_pool();
    message_pool(const message_pool&) = delete;
    message_pool& operator=(const message_pool&) = delete;

    // Makes `m` hold a copy of the `size` bytes at `bytes` (at most a packet,
    // not inside m's own block), in a block of the smallest class that holds
    // them. m's block is kept when it is of that class, else returned.
    void store(stored_message& m, const char* bytes, std::size_t size);
    // Returns m's block to the pool; m becomes empty.
    void release(stored_message& m) noexcept;

    // The class that holds `size` bytes (at most a packet).
    static std::uint8_t class_of(std::size_t size) noexcept;

private:
    std::deque<boost::pool<>> classes; // one per size class, in order
};

} // namespace quorvelin
} // namespace zarn

#endif
