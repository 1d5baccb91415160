// --metrics-listen's address: IPv4, or IPv6 in brackets, and a port.
#include "main/values/listen_address.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>
#include <net/if.h>

#include <sstream>

using namespace zarn::quorvelin;

TEST(ListenAddress, TakesAnAddressAndAPortAndRefusesTheRest)
{
    for (const char* good : {"127.0.0.1:9547", "[2001:db8:1::10]:1", "0.0.0.0:65535"})
        EXPECT_EQ((std::ostringstream() << parse_listen_address(good)).str(), good);
    for (const char* bad : {"", "9547", "127.0.0.1", "127.0.0.1:0", "127.0.0.1:65536", "::1:9547", "[::1]9547",
                            "[::1]:", "[127.0.0.1]:9547", "localhost:9547", "127.0.0.1:95x7", "[::1]:-1",
                            "[::1]:0", "[::]:65536", "[]:9547", "[::1]]:9547", "[::1:9547", "::]:9547",
                            "[::1]:9547 ", " 0.0.0.0:9547", "0.0.0.0:09547x"})
        EXPECT_EQ(wire_bytes::error_of([&] { parse_listen_address(bad); }),
                  "not ADDRESS:PORT (an IPv4 address, or an IPv6 address in brackets, and a port from 1 to 65535: "
                  "127.0.0.1:9547, [::]:9547)")
            << bad;
}

// The family decides the listening socket: [::] is the IPv6 wildcard (which
// the server opens to IPv4 too), 0.0.0.0 the IPv4 one, and a scope names
// the link of a link-local address.
TEST(ListenAddress, KeepsTheFamilyTheWildcardAndTheScope)
{
    struct expected {
        const char* text;
        bool v6;
        bool wildcard;
        bool loopback;
        unsigned short port;
    };
    for (const expected& e : std::initializer_list<expected>{{"[::]:9547", true, true, false, 9547},
                                                             {"[::1]:9547", true, false, true, 9547},
                                                             {"[2001:db8::1]:80", true, false, false, 80},
                                                             {"[::ffff:192.0.2.1]:9547", true, false, false, 9547},
                                                             {"0.0.0.0:9547", false, true, false, 9547},
                                                             {"127.0.0.1:65535", false, false, true, 65535},
                                                             {"192.0.2.10:1", false, false, false, 1}}) {
        const boost::asio::ip::tcp::endpoint where = parse_listen_address(e.text);
        EXPECT_EQ(where.address().is_v6(), e.v6) << e.text;
        EXPECT_EQ(where.protocol() == boost::asio::ip::tcp::v6(), e.v6) << e.text;
        EXPECT_EQ(where.address().is_unspecified(), e.wildcard) << e.text;
        EXPECT_EQ(where.address().is_loopback(), e.loopback) << e.text;
        EXPECT_EQ(where.port(), e.port) << e.text;
    }
    const boost::asio::ip::tcp::endpoint link_local = parse_listen_address("[fe80::1%lo]:9547");
    EXPECT_EQ(link_local.address().to_v6().scope_id(), if_nametoindex("lo"));
    EXPECT_NE(link_local.address().to_v6().scope_id(), 0u);
}
