// The clients. Their last messages in blocks sized to them, built through
// scratch buffers: each build must match, byte for byte and in how it fails,
// a build in place over a packet buffer of the client's own
// (wire_bytes::client), and leave every scratch buffer zero; a restart
// answers that whole buffer. Then the client table without sockets: scripts
// of starts, replies, stats and clears on a fake clock, each with what the
// table answered and counted.
#include "engine/client_messages.hpp"
#include "engine/client_table.hpp"
#include "main/options/options.hpp"
#include "message/reply_verdict.hpp"
#include "message/vocabulary.hpp"
#include "../support/wire_bytes.hpp"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace {

using namespace wire_bytes;
using zarn::quorvelin::built_message;
using zarn::quorvelin::client_entry;
using zarn::quorvelin::client_messages;
using zarn::quorvelin::client_table;
using zarn::quorvelin::message_pool;
using zarn::quorvelin::relay_param;
using zarn::quorvelin::segment;
using zarn::quorvelin::stored_message;
using time_point = client_table::time_point;

bytes stored(const stored_message& m) { return bytes(m.data, m.data + m.size); }

TEST(MessagePool, BlocksAreTheSmallestClassThatHoldsTheMessageAndAreReused)
{
    message_pool pool;
    stored_message m, other;
    for (const auto& size_block : {std::make_pair(1, 32), {32, 32}, {33, 48}, {1024, 1024}, {1500, 1504}}) {
        const std::string data(size_block.first, 'x');
        pool.store(m, data.data(), data.size());
        EXPECT_EQ(message_pool::class_sizes[m.size_class], std::size_t(size_block.second)) << size_block.first;
        EXPECT_EQ(stored(m), text(data));
    }
    const char* const whole = m.data;
    pool.store(m, "short", 5); // another class: the whole packet's block goes back...
    pool.store(other, std::string(1400, 'y').data(), 1400);
    EXPECT_EQ(other.data, whole); // ...and is the next one of its class handed out
    const char* const small = m.data;
    pool.store(m, "same class", 10);
    EXPECT_EQ(m.data, small);
    EXPECT_THROW(pool.store(m, std::string(1505, 'z').data(), 1505), std::length_error);
    pool.release(m);
    EXPECT_EQ(m.data, nullptr);
}

const char* const relays = "RELAY 2001:db8:1::1 => fe80::1 { INTERFACE_ID = \"eth0\" }";

// TYPE with the client's identifier and `filler` bytes of another option.
std::string padded(const std::string& type, std::size_t filler)
{
    return type + " { CID = @auto, 99 = \"" + std::string(filler, 'x') + "\" }";
}

// The server's answer of `type` to the client's last message, through a
// Relay-reply when it came relayed; `refused`: its IA_NA carries NoAddrAvail.
bytes reply_to(unsigned type, const bytes& sent, bool relayed, bool refused)
{
    const char* begin = reinterpret_cast<const char*>(sent.data());
    const char* end = begin + sent.size();
    relay_param::strip_relays(begin, end);
    const bytes inner(begin, end);
    const bytes reply = refused ? cat({bytes{static_cast<unsigned char>(type)}, bytes(inner.begin() + 1, inner.begin() + 4),
                                       find(inner, 1), server_id, ia(3, 1, 0, 0, status(2, ""))})
                                : answer(type, inner);
    return relayed ? relay(13, 0, "2001:db8:1::1", "fe80::1", option(9, reply)) : reply;
}

// One message of a client, whether its reply refuses the IA, and how the
// build ends: "sent", "null" or the encoder's error.
struct step {
    std::string text;
    bool refused = false;
    std::string ends = "sent";
};
struct client_case {
    const char* name;
    bool relayed;
    std::vector<step> steps;
};
const client_case client_cases[] = {
    {"default", false, {{builtin("SOLICIT")}, {builtin("REQUEST")}, {builtin("RELEASE")}}},
    {"relayed", true, {{builtin("SOLICIT")}, {builtin("REQUEST")}, {builtin("RELEASE")}}},
    {"an option the reply lacks copied from the previous request", false,
     {{"SOLICIT { CID = @auto, 6 = 23 }"}, {"REQUEST { CID = @auto, 6 = @auto }"}}},
    {"long, then shorter: nothing of the longer one is left", false,
     {{padded("SOLICIT", 1400)}, {builtin("REQUEST")}, {padded("RELEASE", 3)}}},
    {"a refused IA keeps what the build wrote over the last, shorter message", false,
     {{"SOLICIT { CID = @auto }"}, {builtin("REQUEST"), true, "null"}}},
    {"a message that does not fit keeps what was written", false,
     {{padded("SOLICIT", 200)}, {padded("REQUEST", 1600), false, "packet too short"}}},
    {"the longest message", false, {{padded("SOLICIT", 1499 - 30)}}},
};

// "sent" and the message built, "null", or the encoder's error.
template <class Build, class Message>
std::string outcome(Build build, Message message)
{
    try {
        return build() ? "sent " + to_hex(message()) : "null";
    } catch (const std::runtime_error& e) {
        return e.what();
    }
}

TEST(ClientMessages, BuildsAndRestartsMatchABuildInPlace)
{
    client_messages messages;
    for (const client_case& c : client_cases) {
        SCOPED_TRACE(c.name);
        client in_place(7);
        stored_message last;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const step& s = c.steps[i];
            auto tree = [&] { return c.relayed ? relayed(s.text, relays) : scenario(s.text); };
            const bytes reply = i == 0 ? bytes() : reply_to(i == 1 ? 2 : 7, in_place.sent(), c.relayed, s.refused);
            const std::string want = outcome(
                [&] { return i == 0 ? in_place.start(*tree()) : in_place.answer(*tree(), reply); },
                [&] { return in_place.sent(); });
            buffer received{}; // as received: zero past the datagram
            std::copy(reply.begin(), reply.end(), received.begin());
            const client_messages::range r =
                i == 0 ? messages.start_fresh(7) : client_messages::range{received.data(), received.end()};
            EXPECT_EQ(outcome([&] { return messages.build(last, *tree(), r.begin, r.end) >= 0; },
                              [&] { return stored(last); }),
                      want);
            messages.end_start();
            EXPECT_EQ(want.substr(0, s.ends.size()), s.ends);
            // The packet buffer is the stored message and zeros.
            const buffer& packet = in_place.packet();
            EXPECT_EQ(bytes(packet.begin(), packet.end()), cat({stored(last), bytes(packet.size() - last.size)}));
            EXPECT_TRUE(messages.scratch_clear());
        }
        // A restart answers the whole packet buffer, under the client's id.
        const client_messages::restart restarted = messages.start_restart(last);
        EXPECT_EQ(bytes(restarted.answered.begin, restarted.answered.end),
                  bytes(in_place.packet().begin(), in_place.packet().end()));
        EXPECT_EQ(restarted.id, 7);
        EXPECT_EQ(last.data, nullptr);
        messages.end_start();
        EXPECT_TRUE(messages.scratch_clear());
    }
}

// Per step "sent answered duplicates timed-out unbuildable no-server-id
// refused answer-latencies |", then the clients' "started completed
// timed-out stalled cleared latencies |", then the unmatched datagrams.
std::string counts_text(const zarn::quorvelin::measurements& m)
{
    std::ostringstream os;
    for (const auto& s : m.steps)
        os << s.sent << " " << s.answered << " " << s.duplicates << " " << s.timed_out << " " << s.unbuildable << " "
           << s.no_server_id << " " << s.refused_total() << " " << s.latency.count() << " | ";
    const auto& c = m.clients;
    os << c.started << " " << c.completed << " " << c.timed_out << " " << c.stalled << " " << c.cleared << " "
       << c.latency.count() << " | " << m.unmatched;
    return os.str();
}

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
    {"each latency runs from the client's start to its last answer; results are cumulative, timeouts "
     "counted once, latencies truncated; a completed client is gone",
     "s@0 a0 a0 a0@7 t s@100 a1 a1 a1@112 t@50 t@50 k",
     "s0   c0 [1 0 0 7 7 7] s1   c1 [2 0 0 9 12 7] [2 0 0 9 12 7] k0/0",
     "2 2 0 0 0 0 0 2 | 2 2 0 0 0 0 0 2 | 2 2 0 0 0 0 0 2 | 2 2 0 0 0 2 | 0"},
    {"the cutoff is inclusive, a timed-out client is counted once and a reply to it matches nobody",
     "s@5 t@4 t@5 t@5 k a0 a5", "s0 [0 0 1 0 0 0] [0 1 0 0 0 0] [0 0 0 0 0 0] k0/0 u u",
     "1 0 0 1 0 0 0 0 | 0 0 0 0 0 0 0 0 | 0 0 0 0 0 0 0 0 | 1 0 1 0 0 0 | 2"},
    {"a client that had a reply restarts with its id before any fresh client",
     "s@0 s@0 a1@1 t@100 k s@200 s@200 k a1@201", "s0 s1  [0 2 0 0 0 0] k0/1 s1 s2 k2/0 ",
     "4 2 0 1 0 0 0 2 | 2 0 0 1 0 0 0 0 | 0 0 0 0 0 0 0 0 | 4 0 2 0 0 0 | 0"},
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

TEST(ClientTable, ARefusalIsCountedUnderItsStatus)
{
    script_player player;
    player.play("s x0");
    EXPECT_EQ(player.table.take_measurements().steps[0].refused[zarn::quorvelin::status_no_addr_avail], 1u);
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
    const auto text = [&t] {
        return std::to_string(t.count) + " " + std::to_string(t.sum_ms) + " " + std::to_string(t.max_ms) + " " +
               std::to_string(t.min_ms);
    };
    // Two clients of about 35 days: their sum passes 2^32 ms.
    t.add(start, start + std::chrono::milliseconds(3000000000LL) + std::chrono::microseconds(999));
    t.add(start, start + std::chrono::milliseconds(3000000002LL));
    EXPECT_EQ(text(), "2 6000000002 3000000002 3000000000");
    t.add(start, start - std::chrono::milliseconds(5)); // a completion before its start: the clock was stepped back
    t.add(start, start + std::chrono::milliseconds(7));
    EXPECT_EQ(text(), "4 6000000009 3000000002 0");
}

} // namespace
