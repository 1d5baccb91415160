// Reading a server's answer. Its IAs as the one reader sees them: each row
// a message and what its IAs hold, as "code/iaid t1 t2 status [leases]", a
// lease as "addr/len preferred valid". Then where a server may put a refusal
// (RFC 8415 sections 18.2.9, 18.3.9): among the answer's own options, inside
// the client's IAs, or by offering no lease at all; each row a request, an
// answer and the verdict on it (and, for each kind, its debug-log line).
#include "message/ia_reader.hpp"
#include "message/reply_verdict.hpp"
#include "../support/wire_bytes.hpp"

#include <gtest/gtest.h>

#include <boost/asio/ip/address_v6.hpp>

#include <sstream>
#include <string>

using namespace wire_bytes;
namespace q = zarn::quorvelin;
using zarn::quorvelin::judge_reply;
using zarn::quorvelin::reply_verdict;
using kind = reply_verdict::kind;

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

const bytes cid = client_id(7);
const bytes na1 = ia(3, 1, 0, 0, {});
const bytes pd1 = ia(25, 1, 0, 0, {});
const bytes bound_na1 = granted_na();
const bytes bound_pd1 = ia(25, 1, 1000, 2000, iaprefix(56, "2001:db8:100::", 3000, 4000));
const bytes no_addrs = status(2, "no addresses available");

bytes request(unsigned type, const bytes& ias) { return message(type, 7, cat({cid, ias})); }
bytes reply(unsigned type, const bytes& options) { return exchange(type, 7, options); }
const bytes rapid_solicit = request(1, cat({option(14, {}), na1}));

struct row {
    const char* name;
    bytes request;
    bytes answer;
    kind what;
    unsigned status;
    unsigned ia_code;
    bool no_binding = false;
    int next = 3; // the client's next message: a REQUEST, unless the row says
    const char* log = nullptr; // the debug-log line, where the row says
};

const row rows[] = {
    {"advertise binding the IA", request(1, na1), reply(2, bound_na1), kind::accepted, 0, 0, false, 3, ""},
    {"reply binding a prefix", request(3, pd1), reply(7, bound_pd1), kind::accepted, 0, 0},
    {"message-level NoAddrsAvail, no IA", request(1, pd1), reply(2, no_addrs), kind::refused_message, 2, 0, false, 3,
     "# failed status-code=2:NoAddrAvail on 2:ADVERTISE\n"},
    {"message-level status wins over a bound IA", request(3, na1), reply(7, cat({no_addrs, bound_na1})),
     kind::refused_message, 2, 0},
    {"message-level Success is no verdict", request(1, na1), reply(2, cat({status(0, "ok"), bound_na1})),
     kind::accepted, 0, 0},
    {"a Status Code too short for a code is UnspecFail", request(1, na1), reply(2, option(13, hex("00"))),
     kind::refused_message, 1, 0},
    {"no IA in the answer, no status", request(1, na1), reply(2, {}), kind::no_lease, 0, 0, false, 3,
     "# failed no lease offered on 2:ADVERTISE\n"},
    {"the IA without an address", request(5, na1), reply(7, ia(3, 1, 0, 0, {})), kind::no_lease, 0, 0},
    {"an address with valid lifetime 0 is no lease", request(5, na1),
     reply(7, ia(3, 1, 0, 0, iaaddr("2001:db8::1", 0, 0))), kind::no_lease, 0, 0},
    {"another IAID bound, not the client's", request(1, na1), reply(2, ia(3, 2, 0, 0, iaaddr("2001:db8::1", 1, 1))),
     kind::no_lease, 0, 0},
    {"an address offered in an IA_PD is no prefix", request(1, pd1),
     reply(2, ia(25, 1, 0, 0, iaaddr("2001:db8::1", 1, 1))), kind::no_lease, 0, 0},
    {"failure status inside the IA", request(1, na1), reply(2, ia(3, 1, 0, 0, no_addrs)), kind::refused_ia, 2, 3, false,
     3, "# failed status-code=2:NoAddrAvail on 3:IA_NA iaid=1\n"},
    {"of two IAs of the client's code and IAID, the first is its answer", request(1, na1),
     reply(2, cat({ia(3, 1, 0, 0, no_addrs), bound_na1})), kind::refused_ia, 2, 3},
    {"the request's first IA that has a status names it", request(6, cat({pd1, na1, option(3, u32(5))})),
     reply(7, cat({ia(3, 5, 0, 0, no_addrs), ia(3, 1, 0, 0, {}), ia(25, 1, 0, 0, status(6, "none"))})),
     kind::refused_ia, 6, 25},
    {"one IA bound, the other refused: accepted here", request(3, cat({na1, pd1})),
     reply(7, cat({bound_na1, ia(25, 1, 0, 0, status(6, "none"))})), kind::accepted, 0, 0},
    {"IA_TA with an address", request(1, option(4, u32(9))),
     reply(2, option(4, cat({u32(9), iaaddr("2001:db8::9", 1, 1)}))), kind::accepted, 0, 0},
    {"rapid-commit REPLY to SOLICIT without a lease", request(1, na1), reply(7, {}), kind::no_lease, 0, 0},
    {"REPLY to DECLINE without IA", request(9, bound_na1), reply(7, {}), kind::accepted, 0, 0},
    {"REPLY to RELEASE with NoBinding: done, noted", request(8, bound_na1), reply(7, status(3, "no binding")),
     kind::accepted, 0, 0, true, 3, "# released without a binding on 7:REPLY\n"},
    {"NoBinding inside the IA under a top-level Success", request(8, bound_na1),
     reply(7, cat({status(0, "ok"), ia(3, 1, 0, 0, status(3, "no binding"))})), kind::accepted, 0, 0, true},
    {"NoBinding inside an IA_PD to a DECLINE", request(9, bound_pd1), reply(7, ia(25, 1, 0, 0, status(3, "none"))),
     kind::accepted, 0, 0, true},
    {"UnspecFail to a RELEASE: done all the same", request(8, bound_na1), reply(7, status(1, "oops")),
     kind::accepted, 0, 0},
    {"NoBinding to a RENEW is a refusal", request(5, bound_na1), reply(7, ia(3, 1, 0, 0, status(3, "none"))),
     kind::refused_ia, 3, 3},
    // Rapid Commit (RFC 8415 section 18.2.1): an ADVERTISE leaves the client
    // without the binding it asked for unless a REQUEST follows.
    {"ADVERTISE to Rapid Commit, RELEASE next", rapid_solicit, reply(2, bound_na1),
     kind::rapid_commit_not_honoured, 0, 0, false, 8, "# failed rapid commit not honoured on 2:ADVERTISE\n"},
    {"ADVERTISE to Rapid Commit, nothing next", rapid_solicit, reply(2, bound_na1),
     kind::rapid_commit_not_honoured, 0, 0, false, 0},
    {"ADVERTISE to Rapid Commit, REQUEST next", rapid_solicit, reply(2, bound_na1), kind::accepted, 0, 0},
    {"REPLY to Rapid Commit, RELEASE next", rapid_solicit, reply(7, bound_na1), kind::accepted, 0, 0, false, 8},
    {"ADVERTISE refusing a Rapid Commit SOLICIT is a refusal", rapid_solicit, reply(2, no_addrs),
     kind::refused_message, 2, 0, false, 8},
    {"ADVERTISE to a SOLICIT without Rapid Commit, RELEASE next", request(1, na1), reply(2, bound_na1),
     kind::accepted, 0, 0, false, 8},
    {"a request without IA asks for no lease", request(3, {}), reply(7, {}), kind::accepted, 0, 0},
    {"an IA too short for its IAID is not asked for", request(1, option(3, hex("00 01"))), reply(2, {}),
     kind::accepted, 0, 0},
    {"request inside relay layers", relay(12, 1, "2001:db8::1", "fe80::1",
                                         option(9, relay(12, 0, "::", "fe80::2", option(9, request(1, na1))))),
     reply(2, {}), kind::no_lease, 0, 0},
    {"an answer that is not ADVERTISE or REPLY", request(1, na1), reply(3, no_addrs), kind::accepted, 0, 0},
    {"an answer shorter than its header", request(1, na1), hex("02 00"), kind::accepted, 0, 0},
};

reply_verdict judge(const bytes& request, const bytes& answer, int next = 3)
{
    const char* r = reinterpret_cast<const char*>(request.data());
    const char* a = reinterpret_cast<const char*>(answer.data());
    return judge_reply(r, r + request.size(), a, a + answer.size(), next);
}

} // namespace

TEST(ReplyVerdict, WhereverTheServerPutsTheRefusal)
{
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const reply_verdict v = judge(r.request, r.answer, r.next);
        EXPECT_EQ(int(v.what), int(r.what));
        EXPECT_EQ(v.status, r.status);
        EXPECT_EQ(v.ia_code, r.ia_code);
        EXPECT_EQ(v.no_binding, r.no_binding);
        EXPECT_EQ(v.refused(), r.what != kind::accepted);
        std::ostringstream log;
        zarn::quorvelin::log_verdict(log, v);
        if (r.log) {
            EXPECT_EQ(log.str(), r.log);
        }
    }
}

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
