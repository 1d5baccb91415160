// The reservation check on its own: the file read (both identifiers, both
// spellings, bad lines named), a client known by its DUID or by its relay's
// Remote-ID, and REPLYs that grant its reservation or something else.
#include "engine/reservations/reservation_check.hpp"
#include "message/vocabulary.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace q = zarn::quorvelin;
using namespace wire_bytes;

namespace {

const char* const file = "# who                              what\n"
                         "duid:00:01:00:01:00:00:00:00:00:00:00:00:00:07   2001:db8:1::7\n"
                         "remote-id:000000096c696e652d39        2001:db8:2000:900::/56\n";

// Client `id`'s REQUEST, inside a relay layer with Remote-ID `remote` when given.
bytes request_of(std::uint32_t id, const std::string& remote = "")
{
    const bytes m = message(3, id, cat({client_id(id), ia(3, 1, 0, 0, {})}));
    if (remote.empty())
        return m;
    return relay(12, 0, "2001:db8:1000::1", "fe80::1", cat({option(9, m), option(37, cat({u32(9), text(remote)}))}));
}

} // namespace

TEST(ReservationCheck, CountsTheReservedClientsGrantedSomethingElse)
{
    std::ostringstream log;
    q::reservation_check check(q::reservation_check::read(file, "reserved.txt"), 2, &log);
    struct {
        std::uint32_t id;
        std::string remote;
        bytes reply;
    } cases[] = {
        {7, "", answer(7, request_of(7), "2001:db8:1::7")},              // its DUID's address: honoured
        {7, "", answer(7, request_of(7), "2001:db8:1::8")},              // something else
        {9, "line-9", message(7, 9, cat({client_id(9), server_id,       // its Remote-ID's prefix
                                          ia(25, 1, 0, 0, iaprefix(56, "2001:db8:2000:900::", 1, 2))}))},
        {9, "line-9", message(7, 9, cat({client_id(9), server_id,       // the right prefix, another length
                                          ia(25, 1, 0, 0, iaprefix(64, "2001:db8:2000:900::", 1, 2))}))},
        {5, "line-5", answer(7, request_of(5), "2001:db8:1::99")},       // no reservation: not checked
        {7, "", answer(2, request_of(7), "2001:db8:1::8")},              // an ADVERTISE binds nothing yet
    };
    for (auto& c : cases) {
        const bytes request = request_of(c.id, c.remote);
        q::client_entry client{std::int32_t(c.id), q::stored_message(), q::transaction_info()};
        client.info.scene_index = 2;
        client.last.data = const_cast<char*>(reinterpret_cast<const char*>(request.data()));
        client.last.size = static_cast<std::uint16_t>(request.size());
        const char* a = reinterpret_cast<const char*>(c.reply.data());
        check.accepted(client, a, a + c.reply.size(), {});
    }
    q::engine_snapshot reading;
    reading.counted = q::measurements(2);
    check.take_counts(reading);
    EXPECT_EQ(reading.counted.steps[1].reservations_checked, 4u);
    EXPECT_EQ(reading.counted.steps[1].reservations_not_honoured, 2u);
    EXPECT_EQ(log.str(), "# reservation not honoured xid:7: reserved 2001:db8:1::7, granted 2001:db8:1::8\n"
                         "# reservation not honoured xid:9: reserved 2001:db8:2000:900::/56, granted "
                         "2001:db8:2000:900::/64\n");
}

TEST(ReservationCheck, ABadLineIsAnErrorNamingIt)
{
    const struct {
        const char* text;
        const char* error;
    } rows[] = {
        {"duid:0003 2001:db8::1 extra\n", "r:1: a reservation is an identifier and an address or prefix, such as "
                                          "duid:00:03:00:01:00:00:00:00:00:2a 2001:db8:1:0:1::2a"},
        {"\nmac:00:11:22 2001:db8::1\n", "r:2: 'mac:00:11:22' is not duid:HEX or remote-id:HEX (bytes in "
                                         "hexadecimal, colons allowed)"},
        {"duid:0003 2001:db8::zz\n", "r:1: '2001:db8::zz' is not an IPv6 address or prefix"},
        {"duid:0003 2001:db8::/129\n", "r:1: '2001:db8::/129': a prefix length from 0 to 128"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(error_of([&] { q::reservation_check::read(r.text, "r"); }), r.error) << r.text;
}
