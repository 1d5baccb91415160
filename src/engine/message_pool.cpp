#include "engine/message_pool.hpp"

#include <cstring>
#include <stdexcept>

namespace zarn {
namespace quorvelin {

namespace {

// Slabs are touched only as blocks are carved, so a small run stays small.
constexpr std::size_t slab_size = 64 * 1024;

} // namespace

std::uint8_t message_pool::class_of(std::size_t size) noexcept
{
    std::uint8_t c = 0;
    while (class_sizes[c] < size && c + 1u < class_sizes.size())
        ++c;
    return c;
}

char* message_pool::allocate(std::uint8_t c)
{
    size_class& pool = classes[c];
    if (char* block = pool.free) {
        std::memcpy(&pool.free, block, sizeof pool.free);
        return block;
    }
    const std::size_t block_size = class_sizes[c];
    if (static_cast<std::size_t>(pool.limit - pool.carve) < block_size) {
        slabs.reserve(slabs.size() + 1); // so that a failure below leaks nothing
        pool.carve = new char[slab_size];
        slabs.emplace_back(pool.carve);
        pool.limit = pool.carve + slab_size - slab_size % block_size;
    }
    char* block = pool.carve;
    pool.carve += block_size;
    return block;
}

void message_pool::store(stored_message& m, const char* bytes, std::size_t size)
{
    if (size > class_sizes.back())
        throw std::length_error("message larger than a packet");
    const std::uint8_t c = class_of(size);
    if (!m.data || m.size_class != c) {
        char* block = allocate(c);
        release(m);
        m.data = block;
        m.size_class = c;
    }
    if (size != 0)
        std::memcpy(m.data, bytes, size);
    m.size = static_cast<std::uint16_t>(size);
}

void message_pool::release(stored_message& m) noexcept
{
    if (m.data) {
        size_class& pool = classes[m.size_class];
        std::memcpy(m.data, &pool.free, sizeof pool.free);
        pool.free = m.data;
    }
    m = stored_message();
}

} // namespace quorvelin
} // namespace zarn
