// --local-address's text: an IPv6 address, with a zone only when it names a
// device of this host (loopback, "lo", is the one every host has).
#include "engine/socket/local_address.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

#include <net/if.h>

#include <string>

namespace {

using zarn::quorvelin::parse_local_address;
using wire_bytes::error_of;

const std::string not_an_address = "is not an IPv6 address: expected an IPv6 address of this host, such as "
                                   "2001:db8:1::2 or fe80::2%eth0";

std::string no_device(const std::string& zone)
{
    return "has the zone '" + zone + "', which is no device of this host: expected a zone that names an existing "
           "device, such as fe80::2%eth0";
}

TEST(LocalAddress, TakesAnIPv6AddressWhoseZoneNamesADevice)
{
    const unsigned lo = ::if_nametoindex("lo");
    ASSERT_NE(lo, 0u);
    const struct {
        std::string text;
        std::string address; // as written back, without the zone
        unsigned scope;
    } taken[] = {
        {"2001:db8:1::2", "2001:db8:1::2", 0},
        {"::", "::", 0},
        {"fe80::2", "fe80::2", 0}, // the device's scope is added at the bind
        {"fe80::2%lo", "fe80::2", lo},
        {"fe80::2%" + std::to_string(lo), "fe80::2", lo},
    };
    for (const auto& t : taken) {
        const auto address = parse_local_address(t.text);
        EXPECT_EQ(address.scope_id(), t.scope) << t.text;
        auto unscoped = address;
        unscoped.scope_id(0);
        EXPECT_EQ(unscoped.to_string(), t.address) << t.text;
    }
}

TEST(LocalAddress, RefusesWhatIsNoIPv6AddressOrNamesNoDevice)
{
    const std::pair<std::string, std::string> refused[] = {
        {"127.0.0.1", not_an_address},
        {"", not_an_address},
        {"2001:db8::x", not_an_address},
        {"eth0", not_an_address},
        {"%lo", not_an_address},
        // The address library alone would bind these to scope 0, whatever
        // device the kernel then picks.
        {"fe80::2%nosuchdev", no_device("nosuchdev")},
        {"fe80::2%", no_device("")},
        {"fe80::2%0", no_device("0")},
        {"fe80::2%999999", no_device("999999")},
        {"fe80::2%99999999999999999999", no_device("99999999999999999999")},
    };
    for (const auto& r : refused)
        EXPECT_EQ(error_of([&] { parse_local_address(r.first); }),
                  "the argument ('" + r.first + "') for option '--local-address' " + r.second)
            << r.first;
}

} // namespace
