#ifndef QUORVELIN_ENGINE_SOCKET_LOCAL_ADDRESS_HPP
#define QUORVELIN_ENGINE_SOCKET_LOCAL_ADDRESS_HPP

// The address the socket is bound to (--local-address): several generators
// on one host or one link each bind their own, so each receives only the
// replies to its own clients.

#include <boost/asio/ip/address_v6.hpp>

#include <string>

namespace zarn {
namespace quorvelin {

// --local-address's text: an IPv6 address, with a zone after % (a device's
// name or index) for a link-local one. Throws std::invalid_argument with a
// message that quotes the text and says what is expected: an IPv6 address,
// and a zone that names an existing device of this host.
boost::asio::ip::address_v6 parse_local_address(const std::string& text);

// The address to bind for `wanted` on the device with index `ifindex`: ::
// stays ::; a link-local address without a scope is given the device's.
// Throws std::runtime_error when the address is not one of the device's.
boost::asio::ip::address_v6 local_address_on(boost::asio::ip::address_v6 wanted, unsigned ifindex);

} // namespace quorvelin
} // namespace zarn

#endif
