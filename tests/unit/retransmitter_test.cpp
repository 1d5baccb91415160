// Clients that retransmit (RFC 8415 section 15), on a fake clock: the
// retransmitter learns of each message a client sends and of each answer
// it takes, sends what falls due to an outbox, and counts per step.
#include "engine/retransmit/retransmitter.hpp"
#include "main/options.hpp"
#include "message/vocabulary.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace q = zarn::quorvelin;
using namespace wire_bytes;

namespace {

using time_point = q::transaction_info::time_point;

const time_point t0{std::chrono::hours(500000)};
time_point at_ms(long long ms) { return t0 + std::chrono::milliseconds(ms); }

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
    q::engine_snapshot reading;
    reading.counted = q::measurements(3);
    retransmissions.take_counts(reading);
    EXPECT_EQ(reading.counted.steps[0].retransmitted, 3u);
    EXPECT_EQ(reading.counted.steps[0].needed_retransmissions, (std::array<std::uint64_t, 3>{0, 0, 0}));
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
    q::engine_snapshot reading;
    reading.counted = q::measurements(3);
    retransmissions.take_counts(reading);
    EXPECT_EQ(reading.counted.steps[0].retransmitted, 1u);
    EXPECT_EQ(reading.counted.steps[0].needed_retransmissions, (std::array<std::uint64_t, 3>{1, 0, 0}));
    EXPECT_EQ(reading.counted.steps[1].retransmitted, 1u);
    EXPECT_EQ(reading.counted.steps[1].needed_retransmissions, (std::array<std::uint64_t, 3>{1, 0, 0}));
    q::engine_snapshot again;
    again.counted = q::measurements(3);
    retransmissions.take_counts(again);
    EXPECT_EQ(again.counted.steps[0].retransmitted, 0u);
}

// RELEASE is retransmitted at most REL_MAX_RC = 4 times in all.
TEST_F(retransmitting, AReleaseGoesOutFourTimesAtMost)
{
    q::client_entry& client = start(0);
    answer(client, 10);
    answer(client, 20); // the RELEASE leaves at 20 ms
    out.sent.clear();
    run_until(9000);
    EXPECT_EQ(out.sent.size(), 3u) << "three retransmissions after the first transmission";
    for (const sent_message& m : out.sent)
        EXPECT_EQ(m.type, 8u);
}
