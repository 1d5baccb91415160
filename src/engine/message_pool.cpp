#include "engine/message_pool.hpp"

#include <cstring>
#include <new>
#include <stdexcept>

namespace zarn {
namespace quorvelin {

namespace {

// Each class grows by this much at a time (a whole number of its blocks).
constexpr std::size_t slab_size = 64 * 1024;

} // namespace

message_pool::message_pool()
{
    for (std::size_t size : class_sizes)
        classes.emplace_back(size, slab_size / size, slab_size / size);
}

std::uint8_t message_pool::class_of(std::size_t size) noexcept
{
    std::uint8_t c = 0;
    while (class_sizes[c] < size && c + 1u < class_sizes.size())
        ++c;
    return c;
}

void message_pool::store(stored_message& m, const char* bytes, std::size_t size)
{
    if (size > class_sizes.back())
        throw std::length_error("message larger than a packet");
    const std::uint8_t c = class_of(size);
    if (!m.data || m.size_class != c) {
        auto* block = static_cast<char*>(classes[c].malloc());
        if (!block)
            throw std::bad_alloc();
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
    if (m.data)
        classes[m.size_class].free(m.data);
    m = stored_message();
}

} // namespace quorvelin
} // namespace zarn
