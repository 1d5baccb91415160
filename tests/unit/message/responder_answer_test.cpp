// The test responder's request parsing and answers: other tests trust them,
// so its relay handling, bindings and answer switches are checked here (its
// drops and rate limit show in the end-to-end tests that use them).
#include "../../support/responder_answer.hpp"
#include "../support/wire_bytes.hpp"

#include <gtest/gtest.h>

using namespace wire_bytes;

namespace {

const bytes cid = option(1, hex("00 01 00 01 00 00 00 00 00 00 00 12 34 01"));
const bytes sid = option(2, hex("00 03 00 01 02 00 00 00 05 47"));

// The answer to a datagram, empty when there is none.
bytes respond(const bytes& datagram, bool refuse = false, bool server_id = true, bool refuse_message = false)
{
    responder::answer_settings s;
    s.refuse = refuse;
    s.refuse_message = refuse_message;
    s.server_id = server_id;
    const std::uint8_t mac[6] = {2, 0, 0, 0, 5, 0x47};
    s.server_duid = responder::duid_ll(mac);
    responder::request r;
    if (!responder::parse_request({datagram.data(), datagram.size()}, r))
        return {};
    bytes out(4096);
    out.resize(responder::build_answer(r, s, out.data(), out.size()));
    return out;
}

bool parses(const bytes& datagram)
{
    responder::request r;
    return responder::parse_request({datagram.data(), datagram.size()}, r);
}

} // namespace

TEST(ResponderAnswer, AdvertiseEchoesTheClientAndBindsEveryIa)
{
    const bytes a = respond(message(1, 0x123456, cat({cid, ia(3, 1, 0, 0, {}), ia(25, 7, 0, 0, {})})));
    ASSERT_EQ(a.size(), 125u);
    // An address in 2001:db8:1::/64 and a /64 in 2001:db8:8000::/33, both
    // derived from the client: their client-derived bytes are taken as sent.
    bytes expected = message(2, 0x123456, cat({cid, sid, ia(3, 1, 1000, 2000, iaaddr("2001:db8:1::", 3000, 4000)),
                                               ia(25, 7, 1000, 2000, iaprefix(64, "2001:db8:8000::", 3000, 4000))}));
    EXPECT_GE(a[113], 0x80);
    std::copy(a.begin() + 64, a.begin() + 72, expected.begin() + 64);
    std::copy(a.begin() + 113, a.begin() + 117, expected.begin() + 113);
    EXPECT_EQ(to_hex(a), to_hex(expected));

    // The same client keeps its address in every exchange; another gets another.
    auto address_of = [](const bytes& client, unsigned type, std::uint32_t xid) {
        const bytes reply = respond(message(type, xid, cat({option(1, client), ia(3, 1, 0, 0, {})})));
        return bytes(reply.begin() + 56, reply.begin() + 72);
    };
    const bytes offered = address_of(text("client-1"), 1, 10);
    EXPECT_EQ(address_of(text("client-1"), 3, 10), offered);
    EXPECT_EQ(address_of(text("client-1"), 5, 99), offered);
    EXPECT_NE(address_of(text("client-2"), 1, 10), offered);
}

TEST(ResponderAnswer, EachTypeGetsItsAnswer)
{
    const std::pair<bytes, bytes> cases[] = {
        {message(3, 1, cid), message(7, 1, cat({cid, sid}))},
        {message(1, 1, cat({cid, option(14, {})})), message(7, 1, cat({cid, sid, option(14, {})}))},
        {message(8, 5, cat({cid, ia(3, 1, 0, 0, {})})), message(7, 5, cat({cid, sid, status(0, "done")}))},
        {message(9, 5, cid), message(7, 5, cat({cid, sid, status(0, "done")}))},
        {message(4, 5, cid), message(7, 5, cat({cid, sid, status(0, "all addresses on link")}))},
        {message(2, 1, cid), {}}, {message(7, 1, cid), {}}, {message(10, 1, cid), {}}, {message(13, 1, cid), {}},
        {message(200, 1, cid), {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(to_hex(respond(c.first)), to_hex(c.second)) << to_hex(c.first);
}

TEST(ResponderAnswer, SwitchesRefuseEveryIaOrTheWholeMessageOrLeaveTheServerIdOut)
{
    const bytes request = message(3, 2, cat({cid, ia(3, 1, 0, 0, {}), ia(25, 2, 0, 0, {})}));
    EXPECT_EQ(to_hex(respond(request, true)),
              to_hex(message(7, 2, cat({cid, sid, ia(3, 1, 0, 0, status(2, "no addresses available")),
                                        ia(25, 2, 0, 0, status(6, "no prefixes available"))}))));
    EXPECT_EQ(to_hex(respond(request, false, true, true)),
              to_hex(message(7, 2, cat({cid, sid, status(2, "no addresses available")}))));
    EXPECT_EQ(to_hex(respond(message(8, 2, cat({cid, ia(3, 1, 0, 0, {})})), false, true, true)),
              to_hex(message(7, 2, cat({cid, sid, status(0, "done")}))));
    EXPECT_EQ(to_hex(respond(message(4, 2, cid), false, false)),
              to_hex(message(7, 2, cat({cid, status(0, "all addresses on link")}))));
}

TEST(ResponderAnswer, RelayLayersAreMirroredWithTheirInterfaceIds)
{
    const bytes inner = message(1, 0xabcdef, cat({cid, ia(3, 1, 0, 0, {})}));
    const bytes first = relay(12, 0, "2001:db8:1::1", "fe80::1", cat({option(18, text("eth0")), option(9, inner)}));
    EXPECT_EQ(to_hex(respond(relay(12, 1, "2001:db8:2::1", "2001:db8:1::1", option(9, first)))),
              to_hex(relay(13, 1, "2001:db8:2::1", "2001:db8:1::1",
                           option(9, relay(13, 0, "2001:db8:1::1", "fe80::1",
                                           cat({option(18, text("eth0")), option(9, respond(inner))}))))));
}

TEST(ResponderAnswer, MalformedRequestsAreNotAnswered)
{
    const bytes ok = message(1, 1, cid);
    bytes deep = ok;
    for (std::size_t i = 0; i < responder::max_relay_depth; ++i)
        deep = relay(12, unsigned(i), "::1", "::2", option(9, deep));
    EXPECT_TRUE(parses(ok));
    EXPECT_TRUE(parses(deep));
    for (const bytes& bad : {bytes(ok.begin(), ok.end() - 1), hex("01 00 01"), relay(12, 0, "::1", "::2", option(18, text("x"))),
                             bytes(33, 12), relay(12, 0, "::1", "::2", option(9, deep))})
        EXPECT_FALSE(parses(bad)) << to_hex(bad).substr(0, 60);

    // An answer that does not fit is not built.
    responder::request r;
    const bytes solicit = message(1, 1, cat({cid, ia(3, 1, 0, 0, {})}));
    ASSERT_TRUE(responder::parse_request({solicit.data(), solicit.size()}, r));
    std::uint8_t out[512];
    EXPECT_EQ(responder::build_answer(r, responder::answer_settings{}, out, 64), 0u);
    EXPECT_GT(responder::build_answer(r, responder::answer_settings{}, out, sizeof out), 0u);
}
