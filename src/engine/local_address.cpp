#include "engine/local_address.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

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

} // namespace

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
