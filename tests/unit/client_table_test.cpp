// The client table without sockets: scripts of starts, replies, stats and
// clears on a fake clock, each with what the table answered and counted.
#include "engine/client_table.hpp"
#include "main/options.hpp"
#include "message/reply_verdict.hpp"
#include "counts_text.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

#include <map>

namespace {

using namespace wire_bytes;
using zarn::quorvelin::built_message;
using zarn::quorvelin::client_entry;
using zarn::quorvelin::client_table;
using zarn::quorvelin::segment;
using time_point = client_table::time_point;

// Plays a script on a table of the built-in three-message scenario, the way
// the transaction manager's reply step uses it. Words, each optionally
// followed by @ and a time in milliseconds:
//   s      start a client; writes "s<id>"
//   a<id>  the server's answer to the client's last message
//   w<id>  the same without a Server Identifier
//   p<id>  an ADVERTISE, which answers only a SOLICIT
//   q<id>  the answer while the client's message still waits to be sent
//   x<id>  an answer whose IA_NA refuses with NoAddrAvail
//   l<id>  an answer without any lease
//   n<id>  the answer, whose next message turns out too long to send
//   r<id>  the client's last reply again (a server that answers twice)
//   b<id>  a REPLY whose IA_NA says NoBinding
//          replies write "c<id>" when the client completed, "d" for a
//          duplicate, "r" when the answer refused the message, "n" when its
//          next message was not built, "u" when no client has the id,
//          nothing when the next message was sent
//   t      stats with that cutoff; writes "[results timeouts pending avg max min]"
//   k      writes "k<live>/<kept for restart>"
//   c      clear_results
class script_player {
public:
    explicit script_player(std::int32_t first_xid = 0, segment share = segment{},
                           std::int32_t last_xid = segment::id_mask)
        : table(3, share, first_xid, last_xid)
    {
        for (const char* type : {"SOLICIT", "REQUEST", "RELEASE"})
            g_opt_scenario.push_back(scenario(builtin(type)));
    }
    ~script_player() { g_opt_scenario.clear(); }

    std::string play(const std::string& script)
    {
        std::istringstream words(script);
        std::string out;
        for (std::string word; words >> word;) {
            const auto at_sign = word.find('@');
            const time_point at{std::chrono::milliseconds(at_sign == std::string::npos ? 0 : std::stol(word.substr(at_sign + 1)))};
            const std::string head = word.substr(0, at_sign);
            const std::int32_t id = head.size() > 1 ? std::stoi(head.substr(1)) : 0;
            out += (out.empty() ? "" : " ") + step(head[0], id, at);
        }
        return out;
    }

    std::string counts() { return counts_text(table.take_measurements()); }

    client_table table;
    // The last message of each client that sent one, and the last reply to it.
    std::map<std::int32_t, bytes> last, answered;

private:
    std::string step(char what, std::int32_t id, const time_point& at)
    {
        switch (what) {
        case 's':
            return start(at);
        case 't': {
            const auto s = table.stats(at);
            return "[" + std::to_string(s.results) + " " + std::to_string(s.timeouts) + " " +
                   std::to_string(s.pending) + " " + std::to_string(s.avg_ms) + " " + std::to_string(s.max_ms) +
                   " " + std::to_string(s.min_ms) + "]";
        }
        case 'k':
            return "k" + std::to_string(table.live()) + "/" + std::to_string(table.kept_for_restart());
        case 'c':
            table.clear_results();
            return "c";
        default:
            return reply(what, id, at);
        }
    }

    std::string start(const time_point& at)
    {
        const client_table::started_client made = table.start(at);
        const built_message built = table.build_next(made.client, made.answered.begin, made.answered.end, at);
        table.end_start();
        sent(made.client, built);
        return "s" + std::to_string(made.client.id);
    }

    std::string reply(char kind, std::int32_t id, const time_point& at)
    {
        const bytes& request = last[id];
        bytes datagram = request.empty() ? message(2, static_cast<std::uint32_t>(id), server_id)
                         : kind == 'r'   ? answered[id]
                                         : answer(request[0] == 1 ? 2 : 7, request);
        if (kind == 'b')
            datagram = message(7, static_cast<std::uint32_t>(id),
                               cat({find(request, 1), server_id, ia(3, 1, 0, 0, status(3, ""))}));
        answered[id] = datagram;
        if (kind == 'p')
            datagram[0] = 2;
        if (kind == 'w')
            datagram = message(datagram[0], static_cast<std::uint32_t>(id), cat({find(request, 1), find(datagram, 3)}));
        if (kind == 'l')
            datagram = message(datagram[0], static_cast<std::uint32_t>(id), cat({find(request, 1), server_id}));
        if (kind == 'x')
            datagram = message(datagram[0], static_cast<std::uint32_t>(id),
                               cat({find(request, 1), server_id, ia(3, 1, 0, 0, status(2, ""))}));
        buffer received{};
        std::copy(datagram.begin(), datagram.end(), received.begin());
        const char* const begin = received.data();
        const char* const end = begin + received.size();

        client_entry* const client = table.find(id);
        if (!client) {
            table.count_unmatched();
            return "u";
        }
        if (!table.take_reply(*client, begin, end, kind == 'q', at))
            return "d";
        const auto verdict = zarn::quorvelin::judge_reply(reinterpret_cast<const char*>(request.data()),
                                                          reinterpret_cast<const char*>(request.data() + request.size()),
                                                          begin, end, table.next_type(*client));
        if (!table.take_verdict(*client, verdict))
            return "r";
        if (!table.finished(*client)) {
            const built_message built = table.build_next(*client, begin, end, at);
            if (kind == 'n') {
                table.count_unsent(*client, built); // as for 1500 bytes or more
                return "n";
            }
            if (built.length != 0)
                return sent(*client, built) ? "" : "n";
        }
        table.complete(*client, at);
        return "c" + std::to_string(id);
    }

    bool sent(client_entry& client, const built_message& built)
    {
        if (built.length < 0) {
            table.count_unsent(client, built);
            return false;
        }
        table.count_sent(client, 1);
        last[client.id] = bytes(client.last.data, client.last.data + built.length);
        return true;
    }
};

struct script_case {
    const char* name;
    const char* script;
    const char* answers;
    const char* counts;
};

const script_case cases[] = {
    {"fresh clients are numbered from 0", "s s s k", "s0 s1 s2 k3/0",
     "3 0 0 0 0 0 0 0 | 0 0 0 0 0 0 0 0 | 0 0 0 0 0 0 0 0 | 3 0 0 0 0 0 | 0"},
    {"a client walks the scenario; its latency runs from its start to the last answer",
     "s@0 a0@10 a0@20 a0@35 t@0 k", "s0   c0 [1 0 0 35 35 35] k0/0",
     "1 1 0 0 0 0 0 1 | 1 1 0 0 0 0 0 1 | 1 1 0 0 0 0 0 1 | 1 1 0 0 0 1 | 0"},
    {"results are cumulative, timeouts counted once, and latencies truncated",
     "s@0 a0 a0 a0@7 t s@100 a1 a1 a1@112 t@50 t@50", "s0   c0 [1 0 0 7 7 7] s1   c1 [2 0 0 9 12 7] [2 0 0 9 12 7]",
     "2 2 0 0 0 0 0 2 | 2 2 0 0 0 0 0 2 | 2 2 0 0 0 0 0 2 | 2 2 0 0 0 2 | 0"},
    {"the cutoff is inclusive and a timed-out client is counted once", "s@5 t@4 t@5 t@5 k",
     "s0 [0 0 1 0 0 0] [0 1 0 0 0 0] [0 0 0 0 0 0] k0/0",
     "1 0 0 1 0 0 0 0 | 0 0 0 0 0 0 0 0 | 0 0 0 0 0 0 0 0 | 1 0 1 0 0 0 | 0"},
    {"a client that had a reply restarts with its id before any fresh client",
     "s@0 s@0 a1@1 t@100 k s@200 s@200 k a1@201", "s0 s1  [0 2 0 0 0 0] k0/1 s1 s2 k2/0 ",
     "4 2 0 1 0 0 0 2 | 2 0 0 1 0 0 0 0 | 0 0 0 0 0 0 0 0 | 4 0 2 0 0 0 | 0"},
    {"a reply to a removed client matches nobody", "s@0 t@0 a0 a5", "s0 [0 1 0 0 0 0] u u",
     "1 0 0 1 0 0 0 0 | 0 0 0 0 0 0 0 0 | 0 0 0 0 0 0 0 0 | 1 0 1 0 0 0 | 2"},
    {"only the awaited answer moves a client on", "s a0 p0 a0 q0 a0 p0", "s0  d  d c0 u",
     "1 1 1 0 0 0 0 1 | 1 1 1 0 0 0 0 1 | 1 1 0 0 0 0 0 1 | 1 1 0 0 0 1 | 1"},
    {"an answer without a Server Identifier still moves the client on", "s w0", "s0 ",
     "1 1 0 0 0 1 0 1 | 1 0 0 0 0 0 0 0 | 0 0 0 0 0 0 0 0 | 1 0 0 0 0 0 | 0"},
    {"a refused IA stalls the client at the step it answers, until it times out; it is not restarted",
     "s@0 x0@1 a0@2 t@0 k", "s0 r d [0 1 0 0 0 0] k0/0",
     "1 1 1 0 0 0 1 1 | 0 0 0 0 0 0 0 0 | 0 0 0 0 0 0 0 0 | 1 0 1 1 0 0 | 0"},
    {"an answer without a lease refuses the message it answers", "s a0 l0 t@0", "s0  r [0 1 0 0 0 0]",
     "1 1 0 0 0 0 0 1 | 1 1 0 0 0 0 1 1 | 0 0 0 0 0 0 0 0 | 1 0 1 1 0 0 | 0"},
    {"a message too long to send stalls the client at its own step", "s@0 n0@1 t@0 t@1", "s0 n [0 0 1 0 0 0] [0 1 0 0 0 0]",
     "1 1 0 0 0 0 0 1 | 0 0 0 0 1 0 0 0 | 0 0 0 0 0 0 0 0 | 1 0 1 1 0 0 | 0"},
    // A server that saw a request twice answers it twice, the second time
    // late: a duplicate of the step it answers, wherever the client is.
    {"the REQUEST's REPLY again while the RELEASE waits is a duplicate of REQUEST", "s a0 a0 r0 a0", "s0   d c0",
     "1 1 0 0 0 0 0 1 | 1 1 1 0 0 0 0 1 | 1 1 0 0 0 0 0 1 | 1 1 0 0 0 1 | 0"},
    {"the ADVERTISE again while the RELEASE waits is a duplicate of SOLICIT", "s a0 r0 a0 p0 a0", "s0  d  d c0",
     "1 1 2 0 0 0 0 1 | 1 1 0 0 0 0 0 1 | 1 1 0 0 0 0 0 1 | 1 1 0 0 0 1 | 0"},
    {"a refusal again is a duplicate of the refused step", "s a0 x0 x0", "s0  r d",
     "1 1 0 0 0 0 0 1 | 1 1 1 0 0 0 1 1 | 0 0 0 0 0 0 0 0 | 1 0 0 0 0 0 | 0"},
    {"NoBinding to the RELEASE completes the client", "s a0 a0 b0", "s0   c0",
     "1 1 0 0 0 0 0 1 | 1 1 0 0 0 0 0 1 | 1 1 0 0 0 0 0 1 | 1 1 0 0 0 1 | 0"},
    {"clearing drops every client and result and keeps those that had a reply",
     "s s s a0 a0 a0 a1 c t k s s", "s0 s1 s2   c0  c [0 0 0 0 0 0] k0/1 s1 s3",
     "5 2 0 0 0 0 0 2 | 2 1 0 0 0 0 0 1 | 1 1 0 0 0 0 0 1 | 5 1 0 0 2 1 | 0"},
};

TEST(ClientTable, Scripts)
{
    for (const auto& c : cases) {
        script_player player;
        EXPECT_EQ(player.play(c.script), c.answers) << c.name;
        EXPECT_EQ(player.counts(), c.counts) << c.name;
    }
}

TEST(ClientTable, FreshIdsStayWithinTheTwentyFourBitsOnTheWire)
{
    script_player player(0xFFFFFF);
    EXPECT_EQ(player.play("s s a0 a16777215"), "s16777215 s0  ");
    EXPECT_EQ(player.last[0][1] << 16 | player.last[0][2] << 8 | player.last[0][3], 0);
    // A population test keeps its clients below the ids of its renewals,
    // and passes over the ids its bound subscribers keep.
    script_player below(0x7FFFFE, segment{}, 0x7FFFFF);
    below.table.pass_over([](std::int32_t id) { return id == 0x7FFFFF || id == 0 || id == 2; });
    EXPECT_EQ(below.play("s s s"), "s8388606 s1 s3");
}

// Segment 2 of 3 runs the test's clients 2, 5, 8, ...: their ids and their
// generated identities are those the whole test gives them, and past 24 bits
// the segment starts again at its own first id.
TEST(ClientTable, ASegmentRunsItsShareOfTheTestsClients)
{
    script_player player(-1, segment{2, 3});
    EXPECT_EQ(player.play("s s s"), "s2 s5 s8");
    EXPECT_EQ(find(player.last[5], 1), client_id(5));
    script_player wrapping(0xFFFFFE, segment{2, 3});
    EXPECT_EQ(wrapping.play("s s"), "s16777214 s2");
}

TEST(ClientTable, ARestartedClientKeepsItsIdentityAndAnswersItsLastMessage)
{
    script_player player;
    player.play("s@0 a0@1 t@5");
    const bytes request = player.last[0];
    player.play("s@10");
    const bytes restarted = player.last[0];
    EXPECT_EQ(restarted[0], 1) << "it starts over with its first scenario message";
    EXPECT_EQ(find(restarted, 1), find(request, 1));
    EXPECT_EQ(find(restarted, 3), find(request, 3)) << "the offered address comes from its last message";
}

// The running latency totals behind stats(): whole milliseconds, truncated.
TEST(ResultTotals, CountSumMaximumAndMinimumInWholeMilliseconds)
{
    const zarn::quorvelin::transaction_info::time_point start{std::chrono::hours(1000)};
    zarn::quorvelin::result_totals t;
    // Two clients of about 35 days: their sum passes 2^32 ms.
    t.add(start, start + std::chrono::milliseconds(3000000000LL) + std::chrono::microseconds(999));
    t.add(start, start + std::chrono::milliseconds(3000000002LL));
    EXPECT_EQ(std::to_string(t.count) + " " + std::to_string(t.sum_ms) + " " + std::to_string(t.max_ms) + " " +
                  std::to_string(t.min_ms), "2 6000000002 3000000002 3000000000");
    t.add(start, start - std::chrono::milliseconds(5)); // a completion before its start: the clock was stepped back
    t.add(start, start + std::chrono::milliseconds(7));
    EXPECT_EQ(std::to_string(t.count) + " " + std::to_string(t.sum_ms) + " " + std::to_string(t.max_ms) + " " +
                  std::to_string(t.min_ms), "4 6000000009 3000000002 0");
}

} // namespace
