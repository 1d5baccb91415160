#ifndef QUORVELIN_MAIN_VALUES_LISTEN_ADDRESS_HPP
#define QUORVELIN_MAIN_VALUES_LISTEN_ADDRESS_HPP

// The address and port an HTTP endpoint listens on, as written on the
// command line: "127.0.0.1:9547", or an IPv6 address in brackets,
// "[::]:9547", "[fe80::1%eth0]:9547".

#include <boost/asio/ip/tcp.hpp>

#include <string>

namespace zarn {
namespace quorvelin {

// Throws std::invalid_argument saying what `text` should be when it is not
// that: a port outside 1..65535, an IPv6 address without brackets and a
// name instead of an address are refused.
boost::asio::ip::tcp::endpoint parse_listen_address(const std::string& text);

} // namespace quorvelin
} // namespace zarn

#endif
