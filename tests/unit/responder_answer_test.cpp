// The test responder's request parsing and answer building: other tests
// trust its answers, so its relay handling and bindings are checked here.
#include "../support/responder_answer.hpp"
#include "../support/responder_policy.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;
using namespace responder;

// Sized up front and filled in place: growing a vector built from an
// initializer list trips GCC 12's -Warray-bounds at -O3.
bytes option(std::uint16_t code, const bytes& data)
{
    bytes o(4 + data.size());
    o[0] = static_cast<std::uint8_t>(code >> 8);
    o[1] = static_cast<std::uint8_t>(code);
    o[2] = static_cast<std::uint8_t>(data.size() >> 8);
    o[3] = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), o.begin() + 4);
    return o;
}

bytes be32(std::uint32_t v)
{
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v)};
}

bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

bytes duid(std::uint8_t n) { return {0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34, n}; }

bytes ia(std::uint16_t code, std::uint32_t iaid) { return option(code, cat({be32(iaid), be32(0), be32(0)})); }

bytes message(std::uint8_t type, std::uint32_t xid, const bytes& options)
{
    bytes m(4 + options.size());
    m[0] = type;
    m[1] = static_cast<std::uint8_t>(xid >> 16);
    m[2] = static_cast<std::uint8_t>(xid >> 8);
    m[3] = static_cast<std::uint8_t>(xid);
    std::copy(options.begin(), options.end(), m.begin() + 4);
    return m;
}

bytes relay_forw(std::uint8_t hops, std::uint8_t link_tag, std::uint8_t peer_tag, const bytes& inner,
                 const bytes& extra_options = {})
{
    bytes header(relay_header_size, 0);
    header[0] = msg::relay_forw;
    header[1] = hops;
    header[2] = 0x20, header[17] = link_tag;                   // link-address
    header[18] = 0xfe, header[19] = 0x80, header[33] = peer_tag;  // peer-address
    return cat({header, extra_options, option(opt::relay_msg, inner)});
}

// Parses a request and builds the answer; empty when there is none.
bytes answer(const bytes& datagram, const answer_settings& s = answer_settings{})
{
    request r;
    if (!parse_request({datagram.data(), datagram.size()}, r))
        return {};
    bytes out(4096);
    out.resize(build_answer(r, s, out.data(), out.size()));
    return out;
}

bytes_view options_of(const bytes& m) { return {m.data() + 4, m.size() - 4}; }

bytes data_of(const option_view& o) { return bytes(o.data.data, o.data.data + o.data.size); }

std::uint16_t status_in(bytes_view area)
{
    const option_view s = find_option(area, opt::status_code);
    EXPECT_GE(s.data.size, 2u);
    return s.data.size >= 2 ? read16(s.data.data) : 0xffff;
}

answer_settings settings_with_duid()
{
    answer_settings s;
    const std::uint8_t mac[6] = {2, 0, 0, 0, 5, 0x47};
    s.server_duid = duid_ll(mac);
    return s;
}

TEST(ResponderAnswer, AdvertiseEchoesClientAndBindsEveryIa)
{
    const bytes cid = option(opt::client_id, duid(1));
    const bytes solicit = message(msg::solicit, 0x123456, cat({cid, ia(opt::ia_na, 1), ia(opt::ia_pd, 7)}));
    const bytes a = answer(solicit, settings_with_duid());
    ASSERT_GE(a.size(), 4u);
    EXPECT_EQ(a[0], msg::advertise);
    EXPECT_EQ(bytes(a.begin() + 1, a.begin() + 4), (bytes{0x12, 0x34, 0x56}));

    const bytes_view opts = options_of(a);
    EXPECT_EQ(data_of(find_option(opts, opt::client_id)), duid(1));
    EXPECT_EQ(data_of(find_option(opts, opt::server_id)), (bytes{0, 3, 0, 1, 2, 0, 0, 0, 5, 0x47}));

    const option_view na = find_option(opts, opt::ia_na);
    ASSERT_EQ(na.data.size, 12u + 28u);
    EXPECT_EQ(read32(na.data.data), 1u);
    const option_view addr = find_option({na.data.data + 12, na.data.size - 12}, opt::iaaddr);
    ASSERT_EQ(addr.data.size, 24u);
    EXPECT_EQ(bytes(addr.data.data, addr.data.data + 8), (bytes{0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0}));
    EXPECT_EQ(read32(addr.data.data + 16), preferred_lifetime);
    EXPECT_EQ(read32(addr.data.data + 20), valid_lifetime);

    const option_view pd = find_option(opts, opt::ia_pd);
    ASSERT_EQ(pd.data.size, 12u + 29u);
    EXPECT_EQ(read32(pd.data.data), 7u);
    const option_view prefix = find_option({pd.data.data + 12, pd.data.size - 12}, opt::iaprefix);
    ASSERT_EQ(prefix.data.size, 25u);
    EXPECT_EQ(prefix.data.data[8], 64);
    EXPECT_EQ(bytes(prefix.data.data + 9, prefix.data.data + 13), (bytes{0x20, 0x01, 0x0d, 0xb8}));
    EXPECT_GE(prefix.data.data[13], 0x80);  // inside 2001:db8:8000::/33
}

TEST(ResponderAnswer, BindingsAreStablePerClientAndDistinctAcrossClients)
{
    auto address_for = [](std::uint8_t client, std::uint8_t type, std::uint32_t xid) {
        const bytes a = answer(message(type, xid, cat({option(opt::client_id, duid(client)), ia(opt::ia_na, 1)})));
        const option_view na = find_option(options_of(a), opt::ia_na);
        return data_of(find_option({na.data.data + 12, na.data.size - 12}, opt::iaaddr));
    };
    const bytes offered = address_for(1, msg::solicit, 10);
    EXPECT_EQ(address_for(1, msg::request, 10), offered);
    EXPECT_EQ(address_for(1, msg::renew, 99), offered);
    EXPECT_NE(address_for(2, msg::solicit, 10), offered);
}

TEST(ResponderAnswer, RequestGetsReplyAndRapidCommitSolicitGetsReplyWithRapidCommit)
{
    const bytes cid = option(opt::client_id, duid(3));
    EXPECT_EQ(answer(message(msg::request, 1, cat({cid, ia(opt::ia_na, 1)})))[0], msg::reply);

    const bytes a = answer(message(msg::solicit, 1, cat({cid, option(opt::rapid_commit, {}), ia(opt::ia_na, 1)})));
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a[0], msg::reply);
    EXPECT_EQ(find_option(options_of(a), opt::rapid_commit).code, opt::rapid_commit);
}

TEST(ResponderAnswer, ReleaseDeclineConfirmGetSuccessWithoutBindings)
{
    const bytes cid = option(opt::client_id, duid(4));
    for (std::uint8_t type : {msg::release, msg::decline, msg::confirm}) {
        const bytes a = answer(message(type, 5, cat({cid, ia(opt::ia_na, 1)})));
        ASSERT_FALSE(a.empty()) << int(type);
        EXPECT_EQ(a[0], msg::reply);
        EXPECT_EQ(status_in(options_of(a)), status::success);
        EXPECT_EQ(find_option(options_of(a), opt::ia_na).code, 0) << int(type);
    }
}

TEST(ResponderAnswer, ServerMessagesAndUnknownTypesAreNotAnswered)
{
    for (std::uint8_t type : {msg::advertise, msg::reply, std::uint8_t(10), msg::relay_repl, std::uint8_t(200)})
        EXPECT_TRUE(answer(message(type, 1, option(opt::client_id, duid(1)))).empty()) << int(type);
}

TEST(ResponderAnswer, RefuseFailsEveryIaWithItsStatus)
{
    answer_settings s = settings_with_duid();
    s.refuse = true;
    const bytes a = answer(
        message(msg::request, 2, cat({option(opt::client_id, duid(5)), ia(opt::ia_na, 1), ia(opt::ia_pd, 2)})), s);
    const option_view na = find_option(options_of(a), opt::ia_na);
    const option_view pd = find_option(options_of(a), opt::ia_pd);
    ASSERT_GE(na.data.size, 12u);
    ASSERT_GE(pd.data.size, 12u);
    const bytes_view na_opts{na.data.data + 12, na.data.size - 12};
    const bytes_view pd_opts{pd.data.data + 12, pd.data.size - 12};
    EXPECT_EQ(status_in(na_opts), status::no_addr_avail);
    EXPECT_EQ(status_in(pd_opts), status::no_prefix_avail);
    EXPECT_EQ(find_option(na_opts, opt::iaaddr).code, 0);
    EXPECT_EQ(find_option(pd_opts, opt::iaprefix).code, 0);
}

TEST(ResponderAnswer, NoServerIdLeavesItOut)
{
    answer_settings s = settings_with_duid();
    s.server_id = false;
    const bytes a = answer(message(msg::solicit, 2, cat({option(opt::client_id, duid(6)), ia(opt::ia_na, 1)})), s);
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(find_option(options_of(a), opt::server_id).code, 0);
    EXPECT_EQ(find_option(options_of(a), opt::client_id).code, opt::client_id);
}

TEST(ResponderAnswer, NestedRelayLayersAreMirroredWithInterfaceIds)
{
    const bytes inner = message(msg::solicit, 0xabcdef, cat({option(opt::client_id, duid(7)), ia(opt::ia_na, 1)}));
    const bytes first_relay = relay_forw(0, 0x11, 0x22, inner, option(opt::interface_id, {'e', 't', 'h', '0'}));
    const bytes outer_relay = relay_forw(1, 0x33, 0x44, first_relay);
    const bytes a = answer(outer_relay, settings_with_duid());
    ASSERT_GT(a.size(), 2 * relay_header_size);

    // Outer layer: same hop count and addresses, no Interface-Id.
    EXPECT_EQ(a[0], msg::relay_repl);
    EXPECT_EQ(a[1], 1);
    EXPECT_EQ(bytes(a.begin() + 2, a.begin() + 34), bytes(outer_relay.begin() + 2, outer_relay.begin() + 34));
    const bytes_view outer_opts{a.data() + 34, a.size() - 34};
    EXPECT_EQ(find_option(outer_opts, opt::interface_id).code, 0);
    const option_view m1 = find_option(outer_opts, opt::relay_msg);
    ASSERT_GE(m1.data.size, relay_header_size);
    EXPECT_EQ(m1.whole.data + m1.whole.size, a.data() + a.size());

    // Inner layer: its own addresses and its Interface-Id echoed.
    const std::uint8_t* l1 = m1.data.data;
    EXPECT_EQ(l1[0], msg::relay_repl);
    EXPECT_EQ(l1[1], 0);
    EXPECT_EQ(bytes(l1 + 2, l1 + 34), bytes(first_relay.begin() + 2, first_relay.begin() + 34));
    const bytes_view inner_opts{l1 + 34, m1.data.size - 34};
    EXPECT_EQ(data_of(find_option(inner_opts, opt::interface_id)), (bytes{'e', 't', 'h', '0'}));
    const option_view m2 = find_option(inner_opts, opt::relay_msg);
    ASSERT_GE(m2.data.size, 4u);
    EXPECT_EQ(m2.data.data[0], msg::advertise);
    EXPECT_EQ(read32(m2.data.data) & 0xffffff, 0xabcdefu);

    // The unwrapped answer equals the direct answer.
    EXPECT_EQ(bytes(m2.data.data, m2.data.data + m2.data.size), answer(inner, settings_with_duid()));
}

TEST(ResponderAnswer, MalformedRequestsAreRejected)
{
    const bytes ok = message(msg::solicit, 1, option(opt::client_id, duid(1)));
    request r;
    EXPECT_TRUE(parse_request({ok.data(), ok.size()}, r));

    bytes truncated_option = ok;
    truncated_option.pop_back();
    EXPECT_FALSE(parse_request({truncated_option.data(), truncated_option.size()}, r));

    const bytes short_message{msg::solicit, 0, 1};
    EXPECT_FALSE(parse_request({short_message.data(), short_message.size()}, r));

    bytes relay_without_message = relay_forw(0, 1, 2, ok);
    relay_without_message.resize(relay_header_size);
    const bytes with_ifid_only = cat({relay_without_message, option(opt::interface_id, {'x'})});
    EXPECT_FALSE(parse_request({with_ifid_only.data(), with_ifid_only.size()}, r));

    const bytes short_relay(relay_header_size - 1, msg::relay_forw);
    EXPECT_FALSE(parse_request({short_relay.data(), short_relay.size()}, r));

    bytes deep = ok;
    for (std::size_t i = 0; i < max_relay_depth; ++i)
        deep = relay_forw(static_cast<std::uint8_t>(i), 1, 2, deep);
    EXPECT_TRUE(parse_request({deep.data(), deep.size()}, r));
    EXPECT_EQ(r.depth, max_relay_depth);
    deep = relay_forw(0, 1, 2, deep);
    EXPECT_FALSE(parse_request({deep.data(), deep.size()}, r));
}

TEST(ResponderAnswer, AnswerThatDoesNotFitIsNotBuilt)
{
    const bytes solicit = message(msg::solicit, 1, cat({option(opt::client_id, duid(1)), ia(opt::ia_na, 1)}));
    request r;
    ASSERT_TRUE(parse_request({solicit.data(), solicit.size()}, r));
    std::uint8_t out[64];
    EXPECT_EQ(build_answer(r, answer_settings{}, out, sizeof out), 0u);
    std::uint8_t room[512];
    EXPECT_GT(build_answer(r, answer_settings{}, room, sizeof room), 0u);
}

TEST(ResponderPolicy, DropFilterIsDeterministicAndNearItsPercentage)
{
    const drop_filter none(0), all(100), third(30);
    int dropped = 0;
    const int n = 20000;
    for (int xid = 0; xid < n; ++xid) {
        const bytes m = message(msg::solicit, static_cast<std::uint32_t>(xid), option(opt::client_id, duid(1)));
        request r;
        ASSERT_TRUE(parse_request({m.data(), m.size()}, r));
        EXPECT_FALSE(none.drop(r));
        EXPECT_TRUE(all.drop(r));
        const bool verdict = third.drop(r);
        EXPECT_EQ(third.drop(r), verdict);
        dropped += verdict;
    }
    EXPECT_NEAR(dropped, n * 0.3, n * 0.02);
}

TEST(ResponderPolicy, LimiterAdmitsAtMostItsRateInEachSecond)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point t0{std::chrono::seconds(1000)};
    new_client_limiter limit(3);
    EXPECT_TRUE(limit.admit(t0));
    EXPECT_TRUE(limit.admit(t0 + std::chrono::milliseconds(100)));
    EXPECT_TRUE(limit.admit(t0 + std::chrono::milliseconds(200)));
    EXPECT_FALSE(limit.admit(t0 + std::chrono::milliseconds(999)));
    EXPECT_TRUE(limit.admit(t0 + std::chrono::seconds(1)));

    new_client_limiter unlimited(0);
    for (int i = 0; i < 1000; ++i)
        EXPECT_TRUE(unlimited.admit(t0));
}

}  // namespace
