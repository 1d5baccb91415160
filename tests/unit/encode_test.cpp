// Client messages built from scenario trees, byte for byte against RFC 8415
// layouts, with hand-made server replies.
#include "main/options.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using namespace wire_bytes;
using namespace zarn::quorvelin;

namespace {

const char* const cid_123456 = "00 01 00 0e  00 01 00 01  00 00 00 00  00 00 00 12 34 56 ";
const char* const sid_text = "00 02 00 0a  00 03 00 01  02 42 ac 11 00 02 ";
// A DUID-LL server identifier (RFC 8415 section 11.4).
const bytes server_id = hex(sid_text);

bytes advertise(std::uint32_t xid, const bytes& ia, bool with_server_id = true)
{
    // Options in another order than the scenario's, plus one the client
    // never copies.
    return message(2, xid,
                   cat({with_server_id ? server_id : bytes(), ia, identity_cid(xid), option(7, hex("ff"))}));
}

bytes offered_ia(std::uint32_t iaid, const bytes& inner)
{
    return ia_na(iaid, 3600, 5400, inner);
}

// Captures the debug log for one test and closes it afterwards.
class captured_log {
public:
    captured_log()
    {
        auto stream = std::make_unique<std::ostringstream>();
        text_ = stream.get();
        g_opt_log = std::move(stream);
    }
    ~captured_log() { g_opt_log.reset(); }
    std::string text() const { return text_->str(); }

private:
    std::ostringstream* text_;
};

} // namespace

TEST(ClientIdentity, TransactionIdAndDuidFromLow24Bits)
{
    for (int n : {0x123456, 0x1123456}) {
        auto scratch = zeroed();
        char* end = top_param::init_packet(n, scratch->data(), scratch->data() + scratch->size());
        ASSERT_EQ(end, scratch->data() + 22);
        EXPECT_EQ(to_hex(bytes(scratch->data(), end)), to_hex(hex(std::string("00 12 34 56 ") + cid_123456)))
            << std::hex << n;
        EXPECT_TRUE(std::all_of(end, scratch->data() + scratch->size(), [](char c) { return c == 0; }));
    }
}

TEST(DefaultScenario, SolicitRequestReleaseMatchTheProtocol)
{
    client c(0x123456);
    ASSERT_TRUE(c.start(*default_tree(1)));
    // No Server Identifier in a SOLICIT; the IA goes out empty.
    EXPECT_EQ(to_hex(c.sent()), to_hex(hex(std::string("01 12 34 56 ") + cid_123456 +
                                           "00 03 00 0c  00 00 00 01  00 00 00 00  00 00 00 00")));

    const bytes offered = iaaddr("2001:db8::100", 7200, 10800);
    ASSERT_TRUE(c.answer(*default_tree(3), advertise(0x123456, offered_ia(1, offered))));
    const std::string request_ia = "00 03 00 28  00 00 00 01  00 00 00 00  00 00 00 00 "
                                   "00 05 00 18  20 01 0d b8 00 00 00 00 00 00 00 00 00 00 01 00 ";
    EXPECT_EQ(to_hex(c.sent()), to_hex(hex(std::string("03 12 34 56 ") + cid_123456 + sid_text + request_ia +
                                           "00 00 1c 20  00 00 2a 30")));

    // The REPLY confirms the address with new lifetimes and a Success status
    // inside the IA; the RELEASE copies the REPLY's IAADDR.
    const bytes reply = message(7, 0x123456,
                                cat({identity_cid(0x123456), server_id,
                                     offered_ia(1, cat({status(0, "ok"), iaaddr("2001:db8::100", 3600, 7200)}))}));
    ASSERT_TRUE(c.answer(*default_tree(8), reply));
    EXPECT_EQ(to_hex(c.sent()), to_hex(hex(std::string("08 12 34 56 ") + cid_123456 + sid_text + request_ia +
                                           "00 00 0e 10  00 00 1c 20")));
}

TEST(DefaultScenario, MissingSourcesLeaveOptionsOut)
{
    // No Server Identifier and an IA_NA for another IAID: the REQUEST keeps
    // its Client Identifier and an empty IA_NA 1, nothing shifted.
    client c(0x123456);
    ASSERT_TRUE(c.start(*default_tree(1)));
    const bytes other_ia = offered_ia(2, iaaddr("2001:db8::200", 1, 2));
    ASSERT_TRUE(c.answer(*default_tree(3), advertise(0x123456, other_ia, false)));
    EXPECT_EQ(to_hex(c.sent()), to_hex(hex(std::string("03 12 34 56 ") + cid_123456 +
                                           "00 03 00 0c  00 00 00 01  00 00 00 00  00 00 00 00")));
}

TEST(DefaultScenario, RefusedIaStopsTheClientAndIsLogged)
{
    struct refusal {
        bytes status_option;
        const char* line;
    };
    const refusal cases[] = {
        {status(2, "no addresses"), "# failed status-code=2:NoAddrAvail on 3:IA_NA iaid=1\n"},
        {option(13, hex("00")), "# failed status-code=1:UnspecFail on 3:IA_NA iaid=1\n"},
        // A Success status earlier in the IA does not hide a later failure.
        {cat({status(0, ""), status(6, "")}), "# failed status-code=6:NoPrefixAvail on 3:IA_NA iaid=1\n"},
    };
    for (const auto& refused : cases) {
        captured_log log;
        client c(0x123456);
        ASSERT_TRUE(c.start(*default_tree(1)));
        EXPECT_FALSE(c.answer(*default_tree(3), advertise(0x123456, offered_ia(1, refused.status_option))));
        EXPECT_EQ(log.text(), refused.line);
    }
}

TEST(DefaultScenario, StatusOutsideTheClientsIaIsNotAVerdict)
{
    captured_log log;
    client c(0x123456);
    ASSERT_TRUE(c.start(*default_tree(1)));
    const bytes reply = message(2, 0x123456,
                                cat({server_id, status(2, "message level"), offered_ia(7, status(2, "other IA")),
                                     offered_ia(1, iaaddr("2001:db8::1", 1, 2))}));
    ASSERT_TRUE(c.answer(*default_tree(3), reply));
    EXPECT_EQ(log.text(), "");
}

TEST(DefaultScenario, RefusalWithoutLogFileStillStops)
{
    ASSERT_FALSE(g_opt_log);
    client c(1);
    ASSERT_TRUE(c.start(*default_tree(1)));
    EXPECT_FALSE(c.answer(*default_tree(3), advertise(1, offered_ia(1, status(3, "")))));
}

TEST(AutoSources, OtherOptionsComeFromThePreviousRequest)
{
    // SOLICIT { CID = @auto, ELAPSED_TIME = 0x0000, ORO = 0x0017 }, then
    // REQUEST { ORO = @auto, ELAPSED_TIME = @auto, CID = @auto }.
    auto elapsed = std::make_shared<option_param>(8, param_value(0));
    auto oro = std::make_shared<option_param>(6, param_value(0x17));
    auto solicit = message_tree(1, {auto_option(1), elapsed, oro, auto_option(8)});
    auto request = message_tree(3, {auto_option(6), auto_option(8), auto_option(1)});

    client c(0x123456);
    ASSERT_TRUE(c.start(*solicit));
    // A SOLICIT copies from the generated identity only: ELAPSED_TIME = @auto
    // finds nothing there.
    EXPECT_EQ(to_hex(c.sent()),
              to_hex(hex(std::string("01 12 34 56 ") + cid_123456 + "00 08 00 02 00 00  00 06 00 02 00 17")));

    ASSERT_TRUE(c.answer(*request, advertise(0x123456, bytes())));
    EXPECT_EQ(to_hex(c.sent()),
              to_hex(hex(std::string("03 12 34 56  00 06 00 02 00 17  00 08 00 02 00 00 ") + cid_123456)));
}

TEST(AutoSources, PlainIaOptionTakesTheFirstIaOfItsCode)
{
    // IA_NA = @auto has no IAID of its own: it copies the first IA_NA whole.
    auto request = message_tree(3, {auto_option(3)});
    client c(5);
    ASSERT_TRUE(c.start(*message_tree(1, {auto_option(1)})));
    const bytes first = offered_ia(9, iaaddr("2001:db8::9", 1, 2));
    const bytes second = offered_ia(1, iaaddr("2001:db8::1", 1, 2));
    ASSERT_TRUE(c.answer(*request, message(2, 5, cat({first, second}))));
    EXPECT_EQ(to_hex(c.sent()), to_hex(cat({hex("03 00 00 05"), first})));
}

TEST(ScenarioValues, FixedAddressPrefixAndTimersAreWrittenFromTheScenario)
{
    // SOLICIT { IA_NA 0x11223344 { T1 = 100, T2 = infinity,
    //             IAADDR = 2001:db8::5 { PTIME = 300, VTIME = 600 } },
    //           IA_PD 7 { IAPREFIX = 2001:db8:ff00::/40 } }
    auto ia = std::make_shared<ia_param>(3, 0x11223344u);
    ia->add_option(std::make_shared<t1_param>(100));
    ia->add_option(std::make_shared<t2_param>(0xffffffffu));
    auto address = std::make_shared<iaaddr_param>(5, wire_bytes::address("2001:db8::5"));
    address->add_option(std::make_shared<ptime_param>(300));
    address->add_option(std::make_shared<vtime_param>(600));
    ia->add_option(address);
    auto pd = std::make_shared<ia_param>(25, 7);
    pd->add_option(std::make_shared<iaprefix_param>(
        26, morvo::network::prefix6_address(wire_bytes::address("2001:db8:ffff::"), 40)));
    auto solicit = message_tree(1, {ia, pd});

    // The reply offers other values: the scenario's are written regardless.
    client c(0xabcdef);
    ASSERT_TRUE(c.start(*solicit));
    EXPECT_EQ(to_hex(c.sent()), to_hex(hex("01 ab cd ef "
                                           "00 03 00 28  11 22 33 44  00 00 00 64  ff ff ff ff "
                                           "00 05 00 18  20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 05 "
                                           "00 00 01 2c  00 00 02 58 "
                                           "00 19 00 29  00 00 00 07  00 00 00 00  00 00 00 00 "
                                           "00 1a 00 19  00 00 00 00  00 00 00 00  28 "
                                           "20 01 0d b8 ff 00 00 00 00 00 00 00 00 00 00 00")));
}

TEST(ScenarioValues, DelegatedPrefixIsCopiedFromTheAdvertise)
{
    auto pd = std::make_shared<ia_param>(25, 7);
    pd->add_option(auto_option(26));
    client c(3);
    ASSERT_TRUE(c.start(*message_tree(1, {auto_option(1), pd})));
    const bytes prefix = option(26, cat({u32(1000), u32(2000), hex("38"), address_bytes("2001:db8:0:100::")}));
    const bytes offered = option(25, cat({u32(7), u32(500), u32(800), prefix}));
    auto request = message_tree(3, {auto_option(1), pd});
    ASSERT_TRUE(c.answer(*request, message(2, 3, cat({identity_cid(3), offered}))));
    EXPECT_EQ(to_hex(c.sent()), to_hex(cat({hex("03 00 00 03"), identity_cid(3),
                                            option(25, cat({u32(7), u32(0), u32(0), prefix}))})));
}

TEST(Alternatives, RotateOncePerMessageBuilt)
{
    // SOLICIT { CID = @auto, USER_CLASS = [ "a", "bb" ] }: three clients get
    // the first, the second, then the first alternative again.
    auto solicit = message_tree(1, {auto_option(1), fixed_option(15, {"a", "bb"})});
    const char* const expected[] = {"00 0f 00 01 61", "00 0f 00 02 62 62", "00 0f 00 01 61"};
    for (int n = 0; n < 3; ++n) {
        client c(n);
        ASSERT_TRUE(c.start(*solicit));
        EXPECT_EQ(to_hex(c.sent()), to_hex(cat({hex("01 00 00"), bytes{static_cast<unsigned char>(n)},
                                                identity_cid(n), hex(expected[n])})))
            << "client " << n;
    }
}

TEST(Alternatives, EmptyAlternativeIsAnOptionOfLengthZero)
{
    auto solicit = message_tree(1, {fixed_option(14, {""})});
    client c(1);
    ASSERT_TRUE(c.start(*solicit));
    EXPECT_EQ(to_hex(c.sent()), "01 00 00 01 00 0e 00 00");
}

TEST(Alternatives, RefusedMessageDoesNotAdvanceTheCursor)
{
    // A build that ends in a refusal sends nothing, so the alternative it
    // would have used stays for the next message.
    auto ia = std::make_shared<ia_param>(3, 1);
    auto request = message_tree(3, {fixed_option(15, {"a", "bb"}), ia});
    client refused(1);
    ASSERT_TRUE(refused.start(*message_tree(1, {auto_option(1)})));
    ASSERT_FALSE(refused.answer(*request, message(2, 1, offered_ia(1, status(2, "")))));
    client accepted(2);
    ASSERT_TRUE(accepted.start(*message_tree(1, {auto_option(1)})));
    ASSERT_TRUE(accepted.answer(*request, message(2, 2, bytes())));
    EXPECT_EQ(to_hex(accepted.sent()), "03 00 00 02 00 0f 00 01 61 00 03 00 0c 00 00 00 01 00 00 00 00 00 00 00 00");
}

TEST(PacketBuffer, TailPastTheMessageIsZeroed)
{
    // The next build reads this buffer as the previous request up to its end;
    // leftovers of a longer earlier message must not look like options.
    client c(1);
    c.packet().fill(static_cast<char>(0xab));
    ASSERT_TRUE(c.start(*default_tree(1)));
    const char* tail = c.packet().data() + c.sent().size();
    const char* end = c.packet().data() + c.packet().size();
    EXPECT_TRUE(std::all_of(tail, end, [](char b) { return b == 0; }));
}
