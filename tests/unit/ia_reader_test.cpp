// The IAs of a message as the one reader sees them: each row a message and
// what its IAs hold, as "code/iaid t1 t2 status [leases]", a lease as
// "addr/len preferred valid".
#include "message/ia_reader.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

#include <boost/asio/ip/address_v6.hpp>

#include <string>

using namespace wire_bytes;
namespace q = zarn::quorvelin;

namespace {

std::string describe(const bytes& m)
{
    const char* b = reinterpret_cast<const char*>(m.data());
    std::string out;
    q::for_each_ia(b, b + m.size(), [&](const q::ia_view& ia) {
        out += (out.empty() ? "" : "; ") + std::to_string(ia.code()) + "/" + std::to_string(ia.iaid()) + " " +
               std::to_string(ia.t1()) + " " + std::to_string(ia.t2()) + " " + std::to_string(ia.status()) +
               (ia.holds_lease() ? " holds" : "") + (ia.complete() ? "" : " short") + " [";
        std::string leases;
        ia.for_each_lease([&](const q::ia_lease& l) {
            boost::asio::ip::address_v6::bytes_type a;
            std::copy(l.address, l.address + 16, a.begin());
            leases += (leases.empty() ? "" : ", ") + boost::asio::ip::address_v6(a).to_string() + "/" +
                      std::to_string(l.prefix_length) + " " + std::to_string(l.preferred) + " " +
                      std::to_string(l.valid);
        });
        out += leases + "]";
    });
    return out;
}

bytes with(const bytes& options) { return message(7, 1, cat({server_id, options})); }

} // namespace

TEST(IaReader, EachIaWithItsTimesStatusAndLeases)
{
    const struct {
        const char* name;
        bytes message;
        const char* expected;
    } rows[] = {
        {"no IA", with(status(0, "")), ""},
        {"IA_NA with an address", with(ia(3, 1, 100, 200, iaaddr("2001:db8::1", 300, 400))),
         "3/1 100 200 0 holds [2001:db8::1/128 300 400]"},
        {"IA_PD with a prefix", with(ia(25, 9, 1, 2, iaprefix(56, "2001:db8:100::", 30, 40))),
         "25/9 1 2 0 holds [2001:db8:100::/56 30 40]"},
        {"IA_TA has no T1 or T2", with(option(4, cat({u32(7), iaaddr("2001:db8::7", 1, 2)}))),
         "4/7 0 0 0 holds [2001:db8::7/128 1 2]"},
        {"a failure status in the IA, and a valid lifetime of 0 holds nothing",
         with(ia(3, 1, 0, 0, cat({iaaddr("2001:db8::1", 0, 0), status(2, "none")}))),
         "3/1 0 0 2 [2001:db8::1/128 0 0]"},
        {"a prefix in an IA_NA is read but is not its kind of lease",
         with(ia(3, 1, 0, 0, iaprefix(64, "2001:db8::", 5, 6))), "3/1 0 0 0 [2001:db8::/64 5 6]"},
        {"an IA cut short after its IAID is named but holds nothing", with(option(3, cat({u32(5), u16(0)}))),
         "3/5 0 0 0 short []"},
        {"an option too short for an IAID is no IA", with(option(25, u16(1))), ""},
        {"a Status Code too short for a code is UnspecFail", with(ia(3, 1, 0, 0, option(13, hex("00")))),
         "3/1 0 0 1 []"},
        {"two IAs in order", with(cat({ia(25, 2, 0, 0, {}), ia(3, 1, 0, 0, {})})), "25/2 0 0 0 []; 3/1 0 0 0 []"},
        {"an IA running past the message's end ends the walk",
         cat({with(ia(3, 1, 0, 0, {})), hex("00 03 00 40 00 00 00 02")}), "3/1 0 0 0 []"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(describe(r.message), r.expected) << r.name;
}

TEST(IaReader, FindsAnIaByCodeAndIaid)
{
    const bytes m = with(cat({ia(3, 1, 10, 0, {}), ia(25, 1, 20, 0, {}), ia(3, 2, 30, 0, {}), ia(3, 2, 40, 0, {})}));
    const char* b = reinterpret_cast<const char*>(m.data());
    const auto t1_of = [&](unsigned code, std::uint32_t iaid) {
        const auto ia = q::find_ia(b, b + m.size(), code, iaid);
        return ia ? int(ia->t1()) : -1;
    };
    EXPECT_EQ(t1_of(3, 1), 10);
    EXPECT_EQ(t1_of(25, 1), 20);
    EXPECT_EQ(t1_of(3, 2), 30) << "the first of two";
    EXPECT_EQ(t1_of(25, 2), -1);
}
