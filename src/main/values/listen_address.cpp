#include "main/values/listen_address.hpp"

#include <boost/asio/ip/address.hpp>

#include <cctype>
#include <stdexcept>

namespace zarn {
namespace quorvelin {

namespace {

std::uint16_t parse_port(const std::string& digits)
{
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        throw std::invalid_argument("");
    const unsigned long port = std::stoul(digits);
    if (port < 1 || port > 65535)
        throw std::invalid_argument("");
    return static_cast<std::uint16_t>(port);
}

} // namespace

boost::asio::ip::tcp::endpoint parse_listen_address(const std::string& text)
{
    const std::invalid_argument bad("not ADDRESS:PORT (an IPv4 address, or an IPv6 address in brackets, "
                                    "and a port from 1 to 65535: 127.0.0.1:9547, [::]:9547)");
    std::string host;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find("]:");
        if (close == std::string::npos)
            throw bad;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos)
            throw bad;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos)
            throw bad; // an IPv6 address needs brackets, or its last group reads as the port
    }
    boost::system::error_code error;
    const boost::asio::ip::address address = boost::asio::ip::make_address(host, error);
    if (error || (address.is_v6() != (text.front() == '[')))
        throw bad;
    try {
        return {address, parse_port(port)};
    } catch (const std::exception&) {
        throw bad;
    }
}

} // namespace quorvelin
} // namespace zarn
