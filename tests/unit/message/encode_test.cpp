// Client messages: DUIDs generated from the client's number or read from a
// file (either spelling, wrapping, bad lines named); messages built from
// scenario trees, byte for byte against RFC 8415 layouts, with hand-made
// server replies; relay-forward layers; output ranges too small for the
// message; and the walks over received bytes (finding an option, reaching
// the message inside relay layers), each narrowing a range in place, which
// the tests give as byte offsets into the input.
#include "main/options/access_options.hpp"
#include "main/options/options.hpp"
#include "message/client/client_identity.hpp"
#include "../support/wire_bytes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace wire_bytes;
using zarn::quorvelin::client_identities;
using zarn::quorvelin::duid_form;
using zarn::quorvelin::relay_param;

namespace {

const char *const link_a = "2001:db8:1::1", *const peer_a = "fe80::1", *const link_b = "2001:db8:ffff::1";

// What client n's first SOLICIT of the built-in scenario is.
bytes solicit(std::uint32_t n) { return message(1, n, cat({client_id(n), ia(3, 1, 0, 0, {})})); }

// An ADVERTISE to client n offering `ia_option`; its options in another order
// than the scenario's, plus one the client never copies.
bytes advertise(std::uint32_t n, const bytes& ia_option, const bytes& sid = server_id)
{
    return message(2, n, cat({sid, ia_option, client_id(n), option(7, hex("ff"))}));
}

// Captures the debug log for one test.
struct captured_log {
    std::ostringstream* text = new std::ostringstream;
    captured_log() { g_opt_log.reset(text); }
    ~captured_log() { g_opt_log.reset(); }
};

// "found from-to" or "none from-to" after `walk` moved the range over `data`.
template <class Walk>
std::string walked(const bytes& data, Walk walk)
{
    const char* base = reinterpret_cast<const char*>(data.data());
    const char *begin = base, *end = base + data.size();
    const bool found = walk(begin, end);
    return (found ? "found " : "none ") + std::to_string(begin - base) + "-" + std::to_string(end - base);
}

std::string find_in(const bytes& area, const std::string& node_text)
{
    const auto node = scenario("SOLICIT { " + node_text + " }")->params_.at(0);
    return walked(area, [&](const char*& b, const char*& e) { return node->find_option(b, e); });
}

std::string get_message(const bytes& data)
{
    return walked(data, [](const char*& b, const char*& e) { return relay_param::get_message(b, e); });
}

std::string strip(const bytes& data)
{
    return walked(data, [](const char*& b, const char*& e) { return relay_param::strip_relays(b, e), true; });
}

bytes relay_reply(const bytes& options) { return relay(13, 0, link_a, peer_a, options); }

} // namespace

// The generated identity: the transaction id and the DUID of the client's
// id's low 24 bits. A population segment I/N gives its clients ids 0, 1, ...
// of its own: the DUID is then of the client's number in the whole test,
// I + N * id.
TEST(ClientIdentity, TransactionIdAndDuidFromTheLow24BitsOfTheClientsNumber)
{
    const struct {
        zarn::quorvelin::client_numbering numbering;
        int id;
        bytes expected;
    } rows[] = {
        {{}, 0x123456, cat({hex("00 12 34 56"), client_id(0x123456)})},
        {{}, 0x1123456, cat({hex("00 12 34 56"), client_id(0x123456)})},
        // Segment 2/3: client 25165823 = 0x17fffff.
        {{2, 3}, 0x7fffff, hex("00 7f ff ff 00 01 00 0e 00 01 00 01 00 00 00 00 00 00 01 7f ff ff")},
    };
    for (const auto& r : rows) {
        g_opt_client_numbering = r.numbering;
        buffer b{};
        char* end = top_param::init_packet(r.id, b.data(), b.data() + b.size());
        EXPECT_EQ(to_hex(bytes(b.data(), end)), to_hex(r.expected)) << r.id;
        EXPECT_TRUE(std::all_of(end, b.data() + b.size(), [](char c) { return c == 0; }));
    }
    g_opt_client_numbering = {};
    buffer b{};
    EXPECT_EQ(error_of([&] { top_param::init_packet(7, b.data(), b.data() + 21); }), "packet too short");
}

// A fleet of population segments numbers its clients past 2^24: the same
// forms widen to hold the number, and below 2^24 (2^32 for en) keep the bytes
// one generator's clients always had. Each row: a form, a client's number
// and its DUID; and the form's longest DUID is checked with it (LL 10 bytes,
// UUID 18, LLT 14, and EN 14 too: 8 bytes of identifier past 2^32).
TEST(ClientIdentity, EachGeneratedFormFromTheClientsNumber)
{
    const struct {
        duid_form form;
        std::uint64_t n;
        const char* hex;
    } rows[] = {
        {duid_form::llt, 0x123456, "00 01 00 01 00 00 00 00 00 00 00 12 34 56"},
        {duid_form::ll, 0x123456, "00 03 00 01 00 00 00 12 34 56"},
        {duid_form::en, 0x123456, "00 02 00 00 7e d9 00 12 34 56"},
        {duid_form::uuid, 0x123456, "00 04 00 00 00 00 00 00 40 00 80 00 00 00 00 12 34 56"},
        {duid_form::llt, 0x123456789a, "00 01 00 01 00 00 00 00 00 12 34 56 78 9a"},
        {duid_form::llt, 0xffffffffffff, "00 01 00 01 00 00 00 00 ff ff ff ff ff ff"},
        {duid_form::ll, 0x1000000, "00 03 00 01 00 00 01 00 00 00"},
        {duid_form::ll, 0x100000005, "00 03 00 01 00 01 00 00 00 05"},
        {duid_form::en, 0xfedcba98, "00 02 00 00 7e d9 fe dc ba 98"},
        {duid_form::en, 0x100000000, "00 02 00 00 7e d9 00 00 00 01 00 00 00 00"},
        {duid_form::uuid, 0x123456789a, "00 04 00 00 00 00 00 00 40 00 80 00 00 12 34 56 78 9a"},
    };
    for (const auto& r : rows) {
        const client_identities ids(r.form);
        EXPECT_EQ(to_hex(ids.duid(r.n)), to_hex(hex(r.hex))) << r.hex;
        EXPECT_EQ(ids.longest(), r.form == duid_form::ll ? 10u : r.form == duid_form::uuid ? 18u : 14u) << r.hex;
    }
    EXPECT_EQ(client_identities::form_named("uuid"), duid_form::uuid);
    EXPECT_EQ(error_of([] { client_identities::form_named("LLT"); }), "--duid-type LLT: llt, ll, en or uuid");
}

TEST(ClientIdentity, DuidsFromAFileTakenInTurnAndRoundAgain)
{
    const auto ids = client_identities::from_text("# reserved subscribers\n"
                                                  "00:03:00:01:00:00:00:00:00:2a\n"
                                                  "\n"
                                                  "0003000100000000002B   # the same spelled without colons\n",
                                                  "duids.txt");
    EXPECT_EQ(ids.listed(), 2u);
    EXPECT_EQ(to_hex(ids.duid(0)), to_hex(hex("00 03 00 01 00 00 00 00 00 2a")));
    EXPECT_EQ(to_hex(ids.duid(1)), to_hex(hex("00 03 00 01 00 00 00 00 00 2b")));
    EXPECT_EQ(to_hex(ids.duid(2)), to_hex(ids.duid(0))) << "a short file goes round";
}

TEST(ClientIdentity, ABadLineIsAnErrorNamingIt)
{
    const struct {
        const char* text;
        const char* error;
    } rows[] = {
        {"0003000100\n00:03:zz\n", "duids.txt:2: '00:03:zz' is not a DUID in hexadecimal (such as "
                                   "00:03:00:01:00:00:00:00:00:2a or 0003000100000000002a)"},
        {"000300010\n", "duids.txt:1: '000300010' is not a DUID in hexadecimal (such as "
                        "00:03:00:01:00:00:00:00:00:2a or 0003000100000000002a)"},
        {"0003:\n", "duids.txt:1: '0003:' is not a DUID in hexadecimal (such as 00:03:00:01:00:00:00:00:00:2a or "
                    "0003000100000000002a)"},
        {"0003\n", "duids.txt:1: a DUID of 2 bytes: RFC 8415 allows 3 to 130 (a type and at least one byte)"},
        {"# nothing\n\n", "duids.txt: no DUID in it"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(error_of([&] { client_identities::from_text(r.text, "duids.txt"); }), r.error) << r.text;
    EXPECT_EQ(error_of([] { client_identities::from_text(std::string(131 * 2, 'a'), "d"); }),
              "d:1: a DUID of 131 bytes: RFC 8415 allows 3 to 130 (a type and at least one byte)");
}

TEST(DefaultScenario, SolicitRequestReleaseFollowTheReplies)
{
    captured_log log;
    client c(0x123456);
    ASSERT_TRUE(c.start(*scenario(builtin("SOLICIT"))));
    EXPECT_EQ(to_hex(c.sent()), to_hex(solicit(0x123456)));

    const bytes offered = iaaddr("2001:db8::100", 7200, 10800);
    ASSERT_TRUE(c.answer(*scenario(builtin("REQUEST")), advertise(0x123456, ia(3, 1, 3600, 5400, offered))));
    EXPECT_EQ(to_hex(c.sent()), to_hex(exchange(3, 0x123456, ia(3, 1, 0, 0, offered))));

    // The REPLY confirms the address with new lifetimes after a Success
    // status; the RELEASE copies the REPLY's IAADDR.
    const bytes confirmed = iaaddr("2001:db8::100", 3600, 7200);
    const bytes reply = exchange(7, 0x123456, ia(3, 1, 0, 0, cat({status(0, "ok"), confirmed})));
    ASSERT_TRUE(c.answer(*scenario(builtin("RELEASE")), reply));
    EXPECT_EQ(to_hex(c.sent()), to_hex(exchange(8, 0x123456, ia(3, 1, 0, 0, confirmed))));

    // No Server Identifier and only an IA_NA of another IAID: nothing is
    // copied for them and nothing after them shifts.
    client other(0x123456);
    ASSERT_TRUE(other.start(*scenario(builtin("SOLICIT"))));
    ASSERT_TRUE(other.answer(*scenario(builtin("REQUEST")), advertise(0x123456, ia(3, 2, 0, 0, offered), {})));
    EXPECT_EQ(to_hex(other.sent()), to_hex(message(3, 0x123456, cat({client_id(0x123456), ia(3, 1, 0, 0, {})}))));
    EXPECT_EQ(log.text->str(), "");
}

TEST(DefaultScenario, FailureStatusInTheClientsIaRefusesTheMessageAndIsLogged)
{
    const std::pair<bytes, std::string> cases[] = {
        {ia(3, 1, 0, 0, status(2, "none")), "# failed status-code=2:NoAddrAvail on 3:IA_NA iaid=1\n"},
        {ia(3, 1, 0, 0, option(13, hex("00"))), "# failed status-code=1:UnspecFail on 3:IA_NA iaid=1\n"},
        {ia(3, 1, 0, 0, cat({status(0, ""), status(6, "")})), "# failed status-code=6:NoPrefixAvail on 3:IA_NA iaid=1\n"},
        // Not a verdict: a status outside the IA, or in another IA.
        {cat({status(2, "message"), ia(3, 7, 0, 0, status(2, "")), ia(3, 1, 0, 0, {})}), ""},
    };
    // The refused build leaves the alternative it would have used for the next message.
    auto request = scenario("REQUEST { 15 = [ \"a\", \"bb\" ], IA_NA 1 { } }");
    for (const auto& c : cases) {
        captured_log log;
        client cl(1);
        ASSERT_TRUE(cl.start(*scenario(builtin("SOLICIT"))));
        EXPECT_EQ(cl.answer(*request, advertise(1, c.first)), c.second.empty());
        EXPECT_EQ(log.text->str(), c.second);
    }
    client next(2);
    ASSERT_TRUE(next.answer(*request, message(2, 2, {})));
    EXPECT_EQ(to_hex(find(next.sent(), 15)), "00 0f 00 02 62 62"); // only the accepted build advanced it
}

TEST(AutoSources, IdentitiesAndIasFromTheReplyEverythingElseFromThePreviousRequest)
{
    client c(0x123456);
    ASSERT_TRUE(c.start(*scenario("SOLICIT { CID = @auto, ELAPSED_TIME = 0, 6 = 23, ELAPSED_TIME = @auto }")));
    EXPECT_EQ(to_hex(c.sent()), to_hex(message(1, 0x123456, cat({client_id(0x123456), option(8, hex("0 0")),
                                                                  option(6, hex("0 17"))}))));
    ASSERT_TRUE(c.answer(*scenario("REQUEST { 6 = @auto, ELAPSED_TIME = @auto, CID = @auto }"), advertise(0x123456, {})));
    EXPECT_EQ(to_hex(c.sent()), to_hex(message(3, 0x123456, cat({option(6, hex("0 17")), option(8, hex("0 0")),
                                                                  client_id(0x123456)}))));

    // An IA_NA written as an option has no IAID: it copies the first IA_NA whole. A
    // delegated prefix is copied from the reply into the scenario's IA_PD.
    const bytes first = ia(3, 9, 1, 2, iaaddr("2001:db8::9", 1, 2)), prefix = iaprefix(56, "2001:db8:0:100::", 1000, 2000);
    client d(5);
    ASSERT_TRUE(d.start(*scenario("SOLICIT { CID = @auto }")));
    ASSERT_TRUE(d.answer(*scenario("REQUEST { 3 = @auto, IA_PD 7 { IAPREFIX = @auto } }"),
                         message(2, 5, cat({first, ia(3, 1, 1, 2, {}), ia(25, 7, 500, 800, prefix)}))));
    EXPECT_EQ(to_hex(d.sent()), to_hex(message(3, 5, cat({first, ia(25, 7, 0, 0, prefix)}))));
}

TEST(ScenarioValues, FixedAddressesPrefixesTimersAndAlternativesAreWrittenFromTheScenario)
{
    auto solicit = scenario("SOLICIT { IA_NA 4660 { T1 = 100, T2 = infinity, IAADDR 2001:db8::5 { PTIME = 300,"
                            " VTIME = 600 } }, IA_PD 7 { IAPREFIX 2001:db8:ffff::/40 { } }, RAPID_COMMIT = empty,"
                            " USER_CLASS = [ \"a\", \"bb\" ] }");
    const bytes fixed = cat({ia(3, 4660, 100, 0xffffffff, iaaddr("2001:db8::5", 300, 600)),
                             ia(25, 7, 0, 0, iaprefix(40, "2001:db8:ff00::", 0, 0)), option(14, {})});
    // The reply's offers do not replace fixed values; alternatives go round per message.
    for (const char* user_class : {"a", "bb", "a"}) {
        client c(0xabcdef);
        ASSERT_TRUE(c.answer(*solicit, message(2, 0xabcdef, ia(3, 4660, 1, 2, iaaddr("2001:db8::9", 1, 2)))));
        EXPECT_EQ(to_hex(c.sent()), to_hex(message(1, 0xabcdef, cat({fixed, option(15, text(user_class))}))));
    }
}

TEST(RelayLayers, EachClientKeepsTheRelayOptionsOfItsFirstMessage)
{
    const std::string relays = "RELAY 2001:db8:ffff::1 => 2001:db8:1::1 { REMOTE_ID = [ \"r1\", \"r2\" ], 38 = @auto },"
                               "RELAY 2001:db8:1::1 => fe80::1 { INTERFACE_ID = [ \"eth0\", \"eth1\" ] }";
    auto first = relayed(builtin("SOLICIT"), relays);
    auto second = scenario(builtin("REQUEST"));
    second->relays_ = first->relays_;
    // The relay next to the client sends hop count 0, the one around it 1.
    auto wrap = [](const bytes& inner, const char* ifid, const char* remote) {
        return relay(12, 1, link_b, link_a, cat({option(9, relay(12, 0, link_a, peer_a, cat({option(9, inner),
                                                 option(18, text(ifid))}))), option(37, text(remote))}));
    };
    const bytes request7 = exchange(3, 7, ia(3, 1, 0, 0, {}));
    // Replies come back through both layers, each echoing an Interface-Id.
    auto back = [](const bytes& m) {
        return relay(13, 1, link_b, link_a, cat({option(18, text("echo")), option(9, relay(13, 0, link_a, peer_a,
                                                 cat({option(18, text("echo")), option(9, m)})))}));
    };
    const bytes answer7 = back(exchange(2, 7, {}));

    // Clients take the alternatives in turn; their later messages repeat
    // them whatever the clients started meanwhile took.
    client a(7), b(7), c(7);
    ASSERT_TRUE(a.start(*first));
    EXPECT_EQ(to_hex(a.sent()), to_hex(wrap(solicit(7), "eth0", "r1")));
    ASSERT_TRUE(b.start(*first));
    EXPECT_EQ(to_hex(b.sent()), to_hex(wrap(solicit(7), "eth1", "r2")));
    ASSERT_TRUE(a.answer(*second, answer7));
    EXPECT_EQ(to_hex(a.sent()), to_hex(wrap(request7, "eth0", "r1")));
    ASSERT_TRUE(c.start(*first));
    ASSERT_TRUE(b.answer(*second, answer7));
    EXPECT_EQ(to_hex(b.sent()), to_hex(wrap(request7, "eth1", "r2")));

    // A restarted client answers its own last RELAY-FORW: unwrapped like a
    // RELAY-REPL, it keeps the id and the Client Identifier.
    client restarted(99);
    ASSERT_TRUE(restarted.answer(*first, a.sent()));
    EXPECT_EQ(to_hex(restarted.sent()), to_hex(wrap(solicit(7), "eth1", "r2")));

    // A refusal inside the layers refuses the whole message.
    EXPECT_FALSE(c.answer(*second, back(message(2, 7, ia(3, 1, 0, 0, status(2, ""))))));
}

TEST(RelayLayers, OptionsAreCopiedOnlyFromAMatchingPreviousLayer)
{
    auto request = relayed("REQUEST { CID = @auto }", "RELAY 2001:db8:1::1 => fe80::1 { INTERFACE_ID = \"eth0\" }");
    auto build = [&](const bytes& previous) {
        bytes out(200), reply = message(2, 7, client_id(7));
        char* o = reinterpret_cast<char*>(out.data());
        const char *r = reinterpret_cast<const char*>(reply.data()), *q = reinterpret_cast<const char*>(previous.data());
        out.resize(request->build_packet(o, o + 200, r, r + reply.size(), q, q + previous.size(), 0) - o);
        return to_hex(out);
    };
    const bytes inner = option(9, message(3, 7, client_id(7)));
    // Same hop count and addresses: the layer's codes are copied (two
    // Interface-Ids, each once), other codes (99) and the Relay Message not.
    bytes previous = relay(12, 0, link_a, peer_a, cat({option(9, message(1, 7, {})), option(18, text("zz")),
                                                        option(99, text("x")), option(18, text("y"))}));
    EXPECT_EQ(build(previous), to_hex(relay(12, 0, link_a, peer_a, cat({inner, option(18, text("zz")),
                                                                         option(18, text("y"))}))));
    previous[1] = 1; // hop count 1 is another layer: the relay's own options
    EXPECT_EQ(build(previous), to_hex(relay(12, 0, link_a, peer_a, cat({inner, option(18, text("eth0"))}))));
}

// Every output size up to one past the message: the text each size throws
// ("" when it fits), and never a byte written past the range.
TEST(OutputBounds, EveryBoundaryThrowsItsOwnText)
{
    struct row {
        std::shared_ptr<top_param> message;
        bytes reply, previous;
        std::vector<std::pair<std::size_t, std::string>> below; // sizes below first throw second
        std::size_t exact;
    };
    const bytes identity = cat({hex("00 00 00 07"), client_id(7)});
    const std::string relays = "RELAY 2001:db8:1::1 => fe80::1 { INTERFACE_ID = \"eth0\" }";
    const row rows[] = {
        {scenario(builtin("SOLICIT")), identity, {}, {{8, "paket too short"}, {38, "packet too short"}}, 38},
        {scenario("SOLICIT { IA_NA 1 { IAADDR ::1 { } } }"), identity, {}, {{8, "paket too short"}, {48, "packet too short"}}, 48},
        {scenario("SOLICIT { IA_PD 1 { IAPREFIX ::/48 { } } }"), identity, {}, {{8, "paket too short"}, {49, "packet too short"}}, 49},
        {scenario("REQUEST { IA_NA 1 { IAADDR = @auto } }"), message(2, 7, ia(3, 1, 0, 0, iaaddr("::1", 1, 2))), {},
         {{8, "paket too short"}, {48, "packet too short"}}, 48},
        // 34 relay header, 4 Relay Message header, 38 SOLICIT, 8 Interface-Id.
        {relayed(builtin("SOLICIT"), relays), identity, {},
         {{34, "relay param too short"}, {38, "packet too short"}, {46, "paket too short"}, {84, "packet too short"}}, 84},
        // The copy of the previous layer's longer Interface-Id is what must fit.
        {relayed("REQUEST { CID = @auto }", relays), identity,
         relay(12, 0, link_a, peer_a, cat({option(9, message(1, 7, {})), option(18, text("longer-name"))})),
         {{34, "relay param too short"}, {38, "packet too short"}, {46, "paket too short"}, {75, "packet too short"}}, 75},
    };
    for (const auto& r : rows)
        for (std::size_t size = 0; size <= r.exact + 1; ++size) {
            bytes out(size + 64, 0xee);
            char* o = reinterpret_cast<char*>(out.data());
            const char *a = reinterpret_cast<const char*>(r.reply.data()), *q = reinterpret_cast<const char*>(r.previous.data());
            const std::string error = error_of([&] {
                r.message->build_packet(o, o + size, a, a + r.reply.size(), q, q + r.previous.size(), 0);
            });
            auto expected = std::find_if(r.below.begin(), r.below.end(), [&](const auto& b) { return size < b.first; });
            EXPECT_EQ(error, expected == r.below.end() ? "accepted" : expected->second) << size << " bytes";
            EXPECT_TRUE(std::all_of(out.begin() + size, out.end(), [](unsigned char b) { return b == 0xee; })) << size;
        }
    // The reply's verdict on the IA comes before its 16 bytes are needed.
    bytes out(8);
    const bytes refused = message(2, 7, ia(3, 1, 0, 0, status(2, "")));
    const char* a = reinterpret_cast<const char*>(refused.data());
    EXPECT_EQ(scenario(builtin("REQUEST"))->build_packet(reinterpret_cast<char*>(out.data()),
                                                         reinterpret_cast<char*>(out.data()) + 8, a, a + refused.size(),
                                                         nullptr, nullptr, 0), nullptr);
}

TEST(FindOption, FirstOptionOfTheCodeAndForAnIaTheIaid)
{
    const bytes area = hex("00 01 00 02 aa bb 00 02 00 01 cc");
    EXPECT_EQ(find_in(area, "SID = @auto"), "found 6-11");
    EXPECT_EQ(find_in(area, "CID = @auto"), "found 0-6");
    EXPECT_EQ(find_in(hex("00 00 00 00 00 02 00 01 cc"), "SID = @auto"), "none 9-9"); // code 0 ends the walk
    EXPECT_EQ(find_in(hex("00 01 00 00 00 02 00 02 cc"), "SID = @auto"), "none 9-9"); // so does an overrun
    EXPECT_EQ(find_in(hex("00 02 00"), "SID = @auto"), "none 3-3");

    // An IA is keyed by its IAID; one with only 3 data bytes never matches.
    // Written as a plain option it takes the first IA of its code.
    const bytes ias = cat({option(3, hex("00 00 01")), ia(3, 2, 0, 0, {}), ia(3, 1, 0, 0, {}), option(4, u32(5))});
    EXPECT_EQ(find_in(ias, "IA_NA 1 { }"), "found 23-39");
    EXPECT_EQ(find_in(ias, "IA_PD 1 { }"), "none 47-47");
    EXPECT_EQ(find_in(ias, "3 = @auto"), "found 0-7");
    EXPECT_EQ(find_in(ias, "4 = @auto"), "found 39-47");
}

TEST(RelayWalks, GetMessageReachesAHandledTypeThroughAnyLayers)
{
    const bytes reply = message(7, 0x0a0b0c, client_id(1));
    const bytes nested = relay_reply(cat({option(18, text("eth0")), option(9, relay_reply(option(9, reply)))}));
    EXPECT_EQ(get_message(nested), "found 84-106");
    EXPECT_EQ(strip(nested), "found 84-106");
    EXPECT_EQ(strip(reply), "found 0-22");

    // Types that answer or name a client; a RENEW is stripped to but not taken.
    for (unsigned type = 0; type < 256; ++type) {
        const bool handled = type == 1 || type == 2 || type == 3 || type == 7 || type == 8 || type == 9;
        EXPECT_EQ(get_message(message(type, 1, {})), handled ? "found 0-4" : "none 0-4") << type;
        if (type != 12 && type != 13) {
            EXPECT_EQ(get_message(relay_reply(option(9, message(type, 1, {})))), handled ? "found 38-42" : "none 38-42");
        }
    }
    EXPECT_EQ(strip(relay_reply(option(9, message(5, 1, {})))), "found 38-42");
}

TEST(RelayWalks, MalformedWrappersLeaveTheRangeOnTheLastLayer)
{
    for (const bytes& bad : {relay_reply(option(18, text("eth0"))), relay_reply(hex("00 09 00 ff 07 00 00 01")),
                             relay_reply(cat({hex("00 00 00 00"), option(9, message(7, 1, {}))})),
                             relay_reply(option(9, hex("07 00 01"))), relay_reply({}), bytes(33, 12)}) {
        const bytes outer = bad.size() == 33 ? bad : relay_reply(option(9, bad));
        const std::string on_bad = "none " + std::to_string(outer.size() - bad.size()) + "-" + std::to_string(outer.size());
        EXPECT_EQ(get_message(outer), on_bad) << to_hex(bad);
        EXPECT_EQ(strip(outer), "found" + on_bad.substr(4)) << to_hex(bad);
        // Nothing to answer: no request is built from it.
        client c(1);
        EXPECT_FALSE(c.answer(*scenario(builtin("REQUEST")), outer)) << to_hex(bad);
    }
}

TEST(RelayWalks, FindNextMessageEntersOneMatchingLayer)
{
    const auto scenario_relay = scenario("RELAY 2001:db8:1::1 => fe80::1 { }")->relays_.at(0);
    auto next = [&](const bytes& data) {
        return walked(data, [&](const char*& b, const char*& e) { return scenario_relay->find_next_message(b, e); });
    };
    const bytes layer = relay(12, 0, link_a, peer_a, cat({option(18, text("eth0")), option(9, message(1, 7, {}))}));
    EXPECT_EQ(next(layer), "found 46-50");
    EXPECT_EQ(next(relay(12, 0, link_a, peer_a, option(9, layer))), "found 38-88");
    bytes other_hop = layer, other_link = layer, other_peer = layer, not_relay = layer;
    other_hop[1] = 1, other_link[17] ^= 1, other_peer[33] ^= 1, not_relay[0] = 1;
    for (const bytes& other : {other_hop, other_link, other_peer, not_relay, relay(12, 0, link_a, peer_a, {}), bytes(33, 12)})
        EXPECT_EQ(next(other), "none 0-" + std::to_string(other.size())) << to_hex(other);
}
