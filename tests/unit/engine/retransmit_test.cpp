// Retransmission (RFC 8415 section 15), on a fake clock. The schedule with
// each message type's parameters (section 7.6) and fixed RAND values; then
// clients that retransmit: the retransmitter learns of each message a client
// sends and of each answer it takes, sends what falls due to an outbox, and
// counts per step.
#include "engine/retransmit/retransmitter.hpp"
#include "engine/schedule/backoff.hpp"
#include "main/options/options.hpp"
#include "message/vocabulary.hpp"
#include "message/wire.hpp"
#include "../support/wire_bytes.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace q = zarn::quorvelin;
using namespace wire_bytes;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

using time_point = q::transaction_info::time_point;

const time_point t0{std::chrono::hours(500000)};
time_point at_ms(long long ms) { return t0 + milliseconds(ms); }

long long ms(q::backoff_duration d)
{
    return std::chrono::duration_cast<milliseconds>(d).count();
}

// RTs in milliseconds after the first transmission and `n` - 1
// retransmissions, every RAND equal to `rand`.
std::string rts(int type, double rand, int n)
{
    const q::backoff_params p = *q::backoff_for(type);
    q::backoff_duration rt = q::first_timeout(p, rand);
    std::string out = std::to_string(ms(rt));
    for (int i = 1; i < n; ++i)
        out += " " + std::to_string(ms(rt = q::next_timeout(p, rt, rand)));
    return out;
}

// Transmissions a client makes within `patience`, the first at t0, every
// RAND equal to `rand`: their times in milliseconds from t0.
std::string transmissions(int type, double rand, seconds patience)
{
    const q::backoff_params p = *q::backoff_for(type);
    std::string out = "0";
    q::backoff_time last = t0;
    q::backoff_duration rt = q::first_timeout(p, rand);
    for (std::uint32_t sent = 1;; ++sent) {
        const auto at = q::next_transmission(p, t0, last, sent, rt, t0 + patience);
        if (!at)
            return out;
        out += " " + std::to_string(std::chrono::duration_cast<milliseconds>(*at - t0).count());
        last = *at;
        rt = q::next_timeout(p, rt, rand);
    }
}

// What was sent: when (ms after t0), the message type and its Elapsed Time.
struct sent_message {
    long long ms;
    unsigned type;
    unsigned elapsed;
};

class recording_outbox : public q::outbox {
public:
    std::uint64_t send(const char* data, std::size_t size) override
    {
        const bytes m(data, data + size);
        const bytes elapsed = find(m, 8);
        sent.push_back({now_ms, m[0], elapsed.size() == 6 ? unsigned(elapsed[4] << 8 | elapsed[5]) : 0xffffffffu});
        return ++flushes;
    }
    std::vector<sent_message> sent;
    long long now_ms = 0;
    std::uint64_t flushes = 0;
};

// The scenario SOLICIT, REQUEST, RELEASE (each with Elapsed Time), a client
// table and a retransmitter that gives up after 10 s, stepped every ms.
class retransmitting : public ::testing::Test {
protected:
    retransmitting()
    {
        for (const char* type : {"SOLICIT", "REQUEST", "RELEASE"})
            g_opt_scenario.push_back(
                scenario(std::string(type) + " { CID = @auto, SID = @auto, ELAPSED_TIME = 0, IA_NA 1 { IAADDR = @auto } }"));
    }
    ~retransmitting() override { g_opt_scenario.clear(); }

    q::client_entry& start(long long ms)
    {
        const q::client_table::started_client made = clients.start(at_ms(ms));
        clients.build_next(made.client, made.answered.begin, made.answered.end, at_ms(ms));
        clients.end_start();
        clients.count_sent(made.client, 0);
        retransmissions.sent(made.client);
        return made.client;
    }
    // The client takes the answer to its message at `ms` and sends its next.
    void answer(q::client_entry& client, long long ms)
    {
        const bytes reply = answer_to(client);
        const char* b = reinterpret_cast<const char*>(reply.data());
        ASSERT_TRUE(clients.take_reply(client, b, b + reply.size(), false, at_ms(ms)));
        retransmissions.answered(client);
        clients.build_next(client, b, b + reply.size(), at_ms(ms));
        clients.count_sent(client, 0);
        retransmissions.sent(client);
    }
    void run_until(long long ms)
    {
        for (; out.now_ms <= ms; ++out.now_ms)
            if (const auto due = retransmissions.earliest(); due && *due <= at_ms(out.now_ms))
                retransmissions.serve(at_ms(out.now_ms), out);
    }
    // What the retransmitter counted since the last take.
    q::measurements counted()
    {
        q::engine_snapshot reading;
        reading.counted = q::measurements(3);
        retransmissions.take_counts(reading);
        return reading.counted;
    }
    static bytes answer_to(const q::client_entry& client)
    {
        const bytes last(client.last.data, client.last.data + client.last.size);
        return wire_bytes::answer(last[0] == 1 ? 2 : 7, last);
    }

    q::client_table clients{3};
    q::retransmitter retransmissions{clients, {1, 3, 8}, std::chrono::seconds(10), 7};
    recording_outbox out;
};

} // namespace

TEST(Backoff, TimeoutsDoubleFromTheFirstRangeUpToTheCapOfEachMessageType)
{
    struct row {
        int type;
        double rand;
        int n;
        const char* expected;
    };
    const row table[] = {
        // RAND is taken positive for the first SOLICIT timeout, and never 0.
        {q::msg_solicit, -0.1, 3, "1100 2090 3971"},
        {q::msg_solicit, 0.0, 1, "1000"},
        {q::msg_solicit, 0.1, 13, "1100 2310 4851 10187 21392 44925 94342 198119 416051 873708 1834786 "
                                   "3960000 3960000"},
        {q::msg_request, -0.1, 7, "900 1710 3249 6173 11728 22284 27000"},
        {q::msg_request, 0.0, 7, "1000 2000 4000 8000 16000 30000 30000"},
        {q::msg_confirm, 0.1, 4, "1100 2310 4400 4400"},
        {q::msg_renew, 0.0, 8, "10000 20000 40000 80000 160000 320000 600000 600000"},
        {q::msg_rebind, -0.1, 2, "9000 17100"},
        // No MRT: RELEASE and DECLINE end by their count alone.
        {q::msg_release, 0.0, 4, "1000 2000 4000 8000"},
        {q::msg_decline, 0.1, 3, "1100 2310 4851"},
    };
    for (const row& r : table)
        EXPECT_EQ(rts(r.type, r.rand, r.n), r.expected) << q::message_name(r.type) << " RAND " << r.rand;
}

TEST(Backoff, TransmissionsEndAtMrcMrdOrTheClientsPatience)
{
    struct row {
        int type;
        seconds patience;
        const char* expected;
    };
    const row table[] = {
        // REQ_MAX_RC 10, RELEASE and DECLINE 4: the count ends them.
        {q::msg_request, seconds(1000), "0 1000 3000 7000 15000 31000 61000 91000 121000 151000"},
        {q::msg_release, seconds(1000), "0 1000 3000 7000"},
        {q::msg_decline, seconds(1000), "0 1000 3000 7000"},
        // CNF_MAX_RD 10 s: nothing goes out at or after 10 s.
        {q::msg_confirm, seconds(1000), "0 1000 3000 7000"},
        // --timeout ends the rest, and every one of them sooner or later.
        {q::msg_solicit, seconds(4), "0 1000 3000"},
        {q::msg_renew, seconds(10), "0"},
        {q::msg_rebind, seconds(11), "0 10000"},
    };
    for (const row& r : table)
        EXPECT_EQ(transmissions(r.type, 0.0, r.patience), r.expected) << q::message_name(r.type);
    // Server messages are never retransmitted.
    for (int type : {q::msg_advertise, q::msg_reply, q::msg_relay_forw, q::msg_reconfigure})
        EXPECT_FALSE(q::backoff_for(type)) << type;
}

TEST(Backoff, ElapsedTimeCountsHundredthsUpTo0xffff)
{
    EXPECT_EQ(q::elapsed_hundredths(t0, t0), 0);
    EXPECT_EQ(q::elapsed_hundredths(t0, t0 + milliseconds(1239)), 123);
    EXPECT_EQ(q::elapsed_hundredths(t0, t0 + milliseconds(655340)), 0xfffe);
    EXPECT_EQ(q::elapsed_hundredths(t0, t0 + seconds(100000)), 0xffff);
    EXPECT_EQ(q::elapsed_hundredths(t0, t0 - seconds(1)), 0); // the clock stepped back
}

// A renewal under two relay layers gets its exchange's id and, when it goes
// out again, its Elapsed Time; the relay layers keep theirs.
TEST(Backoff, TheIdAndElapsedTimeAreWrittenIntoTheClientMessageUnderItsRelays)
{
    const auto relayed = [](std::uint32_t xid, unsigned elapsed) {
        const bytes renew = message(5, xid, cat({client_id(9), option(8, u16(elapsed))}));
        return relay(12, 1, "2001:db8::1", "fe80::1",
                     option(9, relay(12, 0, "2001:db8::2", "fe80::2", cat({option(8, u16(7)), option(9, renew)}))));
    };
    bytes m = relayed(42, 0);
    char* const begin = reinterpret_cast<char*>(m.data());
    EXPECT_TRUE(q::wire::put_client_xid(begin, begin + m.size(), 0x800123));
    q::stamp_elapsed_time(begin, m.size(), t0, t0 + milliseconds(1500));
    EXPECT_EQ(to_hex(m), to_hex(relayed(0x800123, 150)));
    // A relay layer without its Relay Message carries no client message.
    bytes bare = relay(12, 0, "2001:db8::2", "fe80::2", option(8, u16(7)));
    char* const b = reinterpret_cast<char*>(bare.data());
    EXPECT_FALSE(q::wire::put_client_xid(b, b + bare.size(), 1));
}

TEST(Backoff, JitterStaysWithinTenPercentBothWays)
{
    q::backoff_jitter rand(42);
    double low = 1, high = -1;
    for (int i = 0; i < 100000; ++i) {
        const double r = rand();
        low = std::min(low, r), high = std::max(high, r);
    }
    EXPECT_TRUE(low >= -0.1 && low < -0.099 && high <= 0.1 && high > 0.099) << low << " " << high;
}

// SOLICIT: RT 1.0 to 1.1 s (strictly above IRT), then doubled with RAND in
// [-0.1, 0.1], each retransmission's Elapsed Time brought up to date; none
// after the client gives up 10 s after the first transmission.
TEST_F(retransmitting, AnUnansweredSolicitGoesOutAgainOnItsBackoffUntilTheClientGivesUp)
{
    start(0);
    run_until(12000);
    // RT1 in (1.0, 1.1] s, each next RT 1.9 to 2.1 times the last: the
    // fourth would come past 13 s.
    ASSERT_EQ(out.sent.size(), 3u);
    const long long lows[] = {1000, 2900, 6510}, highs[] = {1101, 3411, 8261};
    for (std::size_t i = 0; i < out.sent.size(); ++i) {
        EXPECT_EQ(out.sent[i].type, 1u);
        EXPECT_GT(out.sent[i].ms, lows[i]) << i;
        EXPECT_LE(out.sent[i].ms, highs[i]) << i;
        EXPECT_EQ(out.sent[i].elapsed, unsigned(out.sent[i].ms / 10)) << "hundredths since the first";
    }
    const q::measurements counts = counted();
    EXPECT_EQ(counts.steps[0].retransmitted, 3u);
    EXPECT_EQ(counts.steps[0].needed_retransmissions, (std::array<std::uint64_t, 3>{0, 0, 0}));
}

// An answer stops the retransmissions of its message; the answer is counted
// under the retransmissions it needed, the next message is planned afresh,
// and the counts start again after each take.
TEST_F(retransmitting, AnAnswerStopsThemAndIsCountedUnderTheRetransmissionsItNeeded)
{
    q::client_entry& client = start(0);
    run_until(1200); // one SOLICIT retransmission
    answer(client, 1200);
    run_until(1500);
    EXPECT_EQ(out.sent.size(), 1u) << "no more SOLICITs";
    run_until(2400); // the REQUEST goes out again after about 1 s
    ASSERT_EQ(out.sent.size(), 2u);
    EXPECT_EQ(out.sent[1].type, 3u);
    EXPECT_EQ(out.sent[1].elapsed, unsigned((out.sent[1].ms - 1200) / 10)) << "the REQUEST's own exchange";
    answer(client, 2400);
    const q::measurements counts = counted();
    for (const auto& step : {counts.steps[0], counts.steps[1]}) {
        EXPECT_EQ(step.retransmitted, 1u);
        EXPECT_EQ(step.needed_retransmissions, (std::array<std::uint64_t, 3>{1, 0, 0}));
    }
    EXPECT_EQ(counted().steps[0].retransmitted, 0u);
    // The RELEASE goes out again on its own backoff: three times by 12 s.
    // (REL_MAX_RC, 4 in all, would end it after those; the backoff table
    // checks that count.)
    out.sent.clear();
    run_until(12000);
    EXPECT_EQ(out.sent.size(), 3u);
    for (const sent_message& m : out.sent)
        EXPECT_EQ(m.type, 8u);
    EXPECT_EQ(counted().steps[2].retransmitted, 3u) << "counted at the RELEASE's step";
}
