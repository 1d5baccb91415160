#include "engine/socket/local_address.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>
#include <string>

namespace zarn {
namespace quorvelin {

namespace {

// Whether the device with index `ifindex` has the IPv6 address `bytes`.
bool device_has(const boost::asio::ip::address_v6::bytes_type& bytes, unsigned ifindex)
{
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0)
        return false;
    bool found = false;
    for (const ifaddrs* a = all; a && !found; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET6)
            continue;
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
        found = std::memcmp(&in6->sin6_addr, bytes.data(), bytes.size()) == 0 &&
                ::if_nametoindex(a->ifa_name) == ifindex;
    }
    ::freeifaddrs(all);
    return found;
}

std::string device_name(unsigned ifindex)
{
    char name[IF_NAMESIZE] = {};
    return ::if_indextoname(ifindex, name) ? std::string(name) : "#" + std::to_string(ifindex);
}

// The index of the device a zone names, by name or by number (RFC 4007
// section 11.2); 0 when no device of this host has it.
unsigned zone_index(const std::string& zone)
{
    const bool number = !zone.empty() && std::all_of(zone.begin(), zone.end(), [](unsigned char c) {
        return std::isdigit(c) != 0;
    });
    if (!number)
        return ::if_nametoindex(zone.c_str());
    if (zone.size() > 9)
        return 0;
    const unsigned index = static_cast<unsigned>(std::stoul(zone));
    char name[IF_NAMESIZE] = {};
    return index != 0 && ::if_indextoname(index, name) ? index : 0;
}

} // namespace

boost::asio::ip::address_v6 parse_local_address(const std::string& text)
{
    const std::string quoted = "the argument ('" + text + "') for option '--local-address' ";
    // The address library reads an unknown zone as scope 0, which binds
    // whatever device the kernel picks: the zone is read here instead.
    const std::size_t percent = text.find('%');
    boost::system::error_code error;
    boost::asio::ip::address_v6 address = boost::asio::ip::make_address_v6(text.substr(0, percent), error);
    if (error)
        throw std::invalid_argument(quoted + "is not an IPv6 address: expected an IPv6 address of this host, "
                                             "such as 2001:db8:1::2 or fe80::2%eth0");
    if (percent == std::string::npos)
        return address;
    const std::string zone = text.substr(percent + 1);
    const unsigned index = zone_index(zone);
    if (index == 0)
        throw std::invalid_argument(quoted + "has the zone '" + zone + "', which is no device of this host: "
                                             "expected a zone that names an existing device, such as fe80::2%eth0");
    address.scope_id(index);
    return address;
}

boost::asio::ip::address_v6 local_address_on(boost::asio::ip::address_v6 wanted, unsigned ifindex)
{
    if (wanted.is_unspecified())
        return wanted;
    if (!device_has(wanted.to_bytes(), ifindex))
        throw std::runtime_error("local address " + wanted.to_string() + " is not an address of device " +
                                 device_name(ifindex));
    if (wanted.is_link_local() && wanted.scope_id() == 0)
        wanted.scope_id(ifindex);
    return wanted;
}

} // namespace quorvelin
} // namespace zarn
