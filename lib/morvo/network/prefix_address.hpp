#ifndef MORVO_NETWORK_PREFIX_ADDRESS_HPP
#define MORVO_NETWORK_PREFIX_ADDRESS_HPP

#include "morvo/network/internet6_address.hpp"

#include <cstdint>
#include <ostream>
#include <string>

namespace morvo {
namespace network {
namespace detail {

// A prefix length followed by an address whose bits after the length are clear.
template <class Address = internet6_address>
class prefix_address {
public:
    static constexpr unsigned max_length = Address::size() * 8;

    prefix_address() : length_(0), address_() {}

    // The length keeps its low 8 bits and is clamped to the address width;
    // the address keeps only its first `length` bits.
    prefix_address(const Address& address, int length)
        : length_(clamp(length)), address_(address)
    {
        unsigned char* bytes = address_.data();
        for (unsigned bit = length_; bit < max_length; ++bit)
            bytes[bit / 8] &= static_cast<unsigned char>(~(0x80u >> (bit % 8)));
    }

    std::uint8_t length() const { return length_; }
    const Address& address() const { return address_; }

    std::string to_string() const { return address_.to_string() + "/" + std::to_string(unsigned(length_)); }

    friend bool operator==(const prefix_address& a, const prefix_address& b)
    {
        return a.length_ == b.length_ && a.address_ == b.address_;
    }
    friend std::ostream& operator<<(std::ostream& os, const prefix_address& p) { return os << p.to_string(); }

private:
    static std::uint8_t clamp(int length)
    {
        unsigned low = static_cast<unsigned>(length) & 0xffu;
        return static_cast<std::uint8_t>(low > max_length ? max_length : low);
    }

    std::uint8_t length_;
    Address address_;
};

} // namespace detail

using prefix6_address = detail::prefix_address<internet6_address>;

} // namespace network
} // namespace morvo

#endif
