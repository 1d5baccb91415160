#ifndef MORVO_NETWORK_INTERNET6_ADDRESS_HPP
#define MORVO_NETWORK_INTERNET6_ADDRESS_HPP

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ostream>
#include <string>

namespace morvo {
namespace network {

// A 16-byte IPv6 address in network order, without scope.
class internet6_address {
public:
    using bytes_type = std::array<unsigned char, 16>;

    internet6_address() : bytes_{} {}
    explicit internet6_address(const bytes_type& bytes) : bytes_(bytes) {}
    explicit internet6_address(const void* sixteen_bytes) { std::memcpy(bytes_.data(), sixteen_bytes, 16); }

    const bytes_type& bytes() const { return bytes_; }
    bytes_type& bytes() { return bytes_; }
    const unsigned char* data() const { return bytes_.data(); }
    unsigned char* data() { return bytes_.data(); }
    static constexpr std::size_t size() { return 16; }

    // inet_ntop's text form; empty when the conversion fails.
    std::string to_string() const
    {
        char text[INET6_ADDRSTRLEN];
        if (!inet_ntop(AF_INET6, bytes_.data(), text, sizeof text))
            return std::string();
        return text;
    }

    friend bool operator==(const internet6_address& a, const internet6_address& b) { return a.bytes_ == b.bytes_; }
    friend bool operator!=(const internet6_address& a, const internet6_address& b) { return !(a == b); }
    friend std::ostream& operator<<(std::ostream& os, const internet6_address& a) { return os << a.to_string(); }

private:
    bytes_type bytes_;
};

} // namespace network
} // namespace morvo

#endif
