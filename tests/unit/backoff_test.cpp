// The retransmission schedule of RFC 8415 section 15 with each message
// type's parameters (section 7.6), on a fake clock with fixed RAND values.
#include "engine/schedule/backoff.hpp"
#include "message/vocabulary.hpp"
#include "message/wire.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

#include <string>

namespace q = zarn::quorvelin;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

const q::backoff_time t0{std::chrono::hours(500000)};

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
        {q::msg_information_request, 0.0, 3, "1000 2000 4000"},
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
    using namespace wire_bytes;
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
