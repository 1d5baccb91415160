#ifndef MORVO_ASIO_RAW_HPP
#define MORVO_ASIO_RAW_HPP

// A link-layer (packet socket) protocol tag and its endpoint: a network device
// named by the operator, with its interface index and hardware address.

#include <boost/asio/ip/basic_endpoint.hpp>

#include <linux/if_packet.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace morvo {
namespace asio {

class raw {
public:
    using endpoint = boost::asio::ip::basic_endpoint<raw>;

    int family() const { return AF_PACKET; }
    int type() const { return SOCK_RAW; }
    // ETH_P_ALL in network byte order: every protocol.
    int protocol() const;
};

} // namespace asio
} // namespace morvo

namespace boost {
namespace asio {
namespace ip {

// The device endpoint: one sockaddr_ll for the named device.
template <>
class basic_endpoint<morvo::asio::raw> {
public:
    using protocol_type = morvo::asio::raw;
    using data_type = sockaddr;

    // Looks the device up by name. Throws a system error "if_nametoindex"
    // when the index or the hardware address cannot be had.
    explicit basic_endpoint(const std::string& device);

    protocol_type protocol() const { return protocol_type(); }
    data_type* data() { return reinterpret_cast<data_type*>(&address_); }
    const data_type* data() const { return reinterpret_cast<const data_type*>(&address_); }
    std::size_t size() const { return sizeof address_; }
    std::size_t capacity() const { return sizeof address_; }

    std::int32_t ifindex() const { return address_.sll_ifindex; }
    const sockaddr_ll& address() const { return address_; }

private:
    sockaddr_ll address_;
};

} // namespace ip
} // namespace asio
} // namespace boost

#endif
