// Byte-level helpers of the test responder: reading big-endian fields, walking
// DHCPv6 options and writing a message into a fixed buffer. Header-only so
// that unit tests can exercise them without the responder's main.
#ifndef QUORVELIN_TESTS_SUPPORT_RESPONDER_WIRE_HPP
#define QUORVELIN_TESTS_SUPPORT_RESPONDER_WIRE_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace responder {

// A read-only range of bytes inside a received datagram.
struct bytes_view {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;

    bool empty() const { return size == 0; }
};

inline std::uint16_t read16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

inline std::uint32_t read32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// One option: its code and its data (header excluded).
struct option_view {
    std::uint16_t code = 0;
    bytes_view data;
    bytes_view whole;  // header included, for copying the option verbatim
};

// Walks the options of an area in order. An option whose length runs past
// the area ends the walk and marks the area as malformed.
class option_walker {
public:
    explicit option_walker(bytes_view area) : area_(area) {}

    bool next(option_view& out)
    {
        const std::size_t left = area_.size - pos_;
        if (left == 0)
            return false;
        if (left < 4) {
            malformed_ = true;
            return false;
        }
        const std::uint8_t* p = area_.data + pos_;
        const std::size_t len = read16(p + 2);
        if (len > left - 4) {
            malformed_ = true;
            return false;
        }
        out.code = read16(p);
        out.data = {p + 4, len};
        out.whole = {p, len + 4};
        pos_ += len + 4;
        return true;
    }

    bool malformed() const { return malformed_; }

private:
    bytes_view area_;
    std::size_t pos_ = 0;
    bool malformed_ = false;
};

// First option with the given code, or an empty option (code 0).
inline option_view find_option(bytes_view area, std::uint16_t code)
{
    option_walker walk(area);
    option_view opt;
    while (walk.next(opt))
        if (opt.code == code)
            return opt;
    return option_view{};
}

// Writes into a caller-owned buffer; once something does not fit, every
// later write is ignored and ok() stays false.
class writer {
public:
    writer(std::uint8_t* begin, std::uint8_t* end) : begin_(begin), pos_(begin), end_(end) {}

    bool ok() const { return ok_; }
    std::size_t size() const { return static_cast<std::size_t>(pos_ - begin_); }

    void put8(std::uint8_t v) { put(&v, 1); }
    void put16(std::uint16_t v)
    {
        const std::uint8_t b[2] = {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
        put(b, 2);
    }
    void put32(std::uint32_t v)
    {
        const std::uint8_t b[4] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                                   static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
        put(b, 4);
    }
    void put(const void* data, std::size_t n)
    {
        if (!ok_ || n > static_cast<std::size_t>(end_ - pos_)) {
            ok_ = false;
            return;
        }
        if (n)
            std::memcpy(pos_, data, n);
        pos_ += n;
    }
    void put(bytes_view v) { put(v.data, v.size); }

    // Starts an option; finish it with end_option(mark) to fill in its length.
    std::size_t begin_option(std::uint16_t code)
    {
        const std::size_t mark = size();
        put16(code);
        put16(0);
        return mark;
    }
    void end_option(std::size_t mark)
    {
        if (!ok_)
            return;
        const std::size_t len = size() - mark - 4;
        if (len > 0xffff) {
            ok_ = false;
            return;
        }
        begin_[mark + 2] = static_cast<std::uint8_t>(len >> 8);
        begin_[mark + 3] = static_cast<std::uint8_t>(len);
    }

private:
    std::uint8_t* begin_;
    std::uint8_t* pos_;
    std::uint8_t* end_;
    bool ok_ = true;
};

// 64-bit FNV-1a: cheap, deterministic, good enough to spread clients over
// addresses and to pick which requests to drop.
inline std::uint64_t fnv1a(const void* data, std::size_t n, std::uint64_t h = 0xcbf29ce484222325ull)
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

}  // namespace responder

#endif
