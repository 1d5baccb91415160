// --metrics-listen's address: IPv4, or IPv6 in brackets, and a port.
#include "main/values/listen_address.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

#include <sstream>

using namespace zarn::quorvelin;

TEST(ListenAddress, TakesAnAddressAndAPortAndRefusesTheRest)
{
    for (const char* good : {"127.0.0.1:9547", "[2001:db8:1::10]:1", "0.0.0.0:65535"})
        EXPECT_EQ((std::ostringstream() << parse_listen_address(good)).str(), good);
    for (const char* bad : {"", "9547", "127.0.0.1", "127.0.0.1:0", "127.0.0.1:65536", "::1:9547", "[::1]9547",
                            "[::1]:", "[127.0.0.1]:9547", "localhost:9547", "127.0.0.1:95x7", "[::1]:-1"})
        EXPECT_EQ(wire_bytes::error_of([&] { parse_listen_address(bad); }),
                  "not ADDRESS:PORT (an IPv4 address, or an IPv6 address in brackets, and a port from 1 to 65535: "
                  "127.0.0.1:9547, [::]:9547)")
            << bad;
}
