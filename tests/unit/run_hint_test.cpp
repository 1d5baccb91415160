// The line after a run that completed no client: which likely causes it
// names for what the engine saw and how the server was addressed.
#include "loadtest/summary/run_hint.hpp"

#include <gtest/gtest.h>

using namespace zarn::quorvelin;

TEST(RunHint, NamesTheCausesThatApply)
{
    const auto multicast = boost::asio::ip::make_address_v6("ff02::1:2");
    const auto unicast = boost::asio::ip::make_address_v6("2001:db8:1::1");
    const std::string head = "Hint: no client completed: ";
    const std::string discarded = " went to the unicast address 2001:db8:1::1 without relay layers, and servers "
                                  "discard it there (RFC 8415 section 16); ";
    const std::string silent = "no reply arrived at all.";
    const struct {
        traffic_totals traffic; // received, matched, completed
        run_setup setup;        // server, first message type, relayed
        std::string hint;
    } cases[] = {
        {{0, 0, 1}, {unicast, 1, false}, ""},
        {{9, 9, 3}, {multicast, 1, false}, ""},
        {{0, 0, 0}, {multicast, 1, false}, head + silent},
        {{0, 0, 0}, {unicast, 1, false}, head + "the SOLICIT" + discarded + silent},
        {{0, 0, 0}, {unicast, 6, false}, head + "the REBIND" + discarded + silent},
        {{0, 0, 0}, {unicast, 4, false}, head + "the CONFIRM" + discarded + silent},
        {{0, 0, 0}, {unicast, 1, true}, head + silent},
        {{0, 0, 0}, {unicast, 3, false}, head + silent}, // a REQUEST may be unicast
        {{1, 0, 0}, {multicast, 1, false}, head + "1 datagram arrived but none matched a client."},
        {{7, 0, 0}, {unicast, 1, false}, head + "the SOLICIT" + discarded + "7 datagrams arrived but none matched a client."},
        {{7, 2, 0}, {multicast, 1, false},
         head + "replies reached clients but no client got through its scenario (--log-file shows refused IAs "
                "and messages that could not be built)."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(run_hint(c.traffic, c.setup), c.hint)
            << c.traffic.received << "/" << c.traffic.matched << "/" << c.traffic.completed << " " << c.setup.server
            << " type " << c.setup.first_type << (c.setup.first_relayed ? " relayed" : "");
}
