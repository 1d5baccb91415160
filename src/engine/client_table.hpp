#ifndef QUORVELIN_ENGINE_CLIENT_TABLE_HPP
#define QUORVELIN_ENGINE_CLIENT_TABLE_HPP

// The simulated clients: one entry per live client, keyed by its DHCPv6
// transaction id, with its last message, the clients kept to be restarted,
// the latency totals behind stats() and what each step of the scenario
// counted. No sockets and no lock: the transaction manager serialises every
// call, and every time comes from the caller.

#include "engine/client_messages.hpp"
#include "engine/measurements.hpp"
#include "engine/segment.hpp"
#include "message/reply_verdict.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <unordered_map>

namespace zarn {
namespace quorvelin {

struct transaction_info {
    using time_point = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

    time_point start_time; // entry made; the client's total time runs from here
    time_point send_time;  // last message built; timeouts are judged on it
    std::int32_t scene_index = 0; // next scenario message to build
    // The last message could not be sent (a refused IA in the reply it
    // answers, or a message that cannot be built), or its answer refused it:
    // the client only waits to time out, and further replies are duplicates.
    bool stalled = false;
    // Stalled by the answer to the last message itself, which it took.
    bool stopped_by_answer = false;
    // Retransmissions of the last message so far (saturating).
    std::uint8_t retransmissions = 0;
    // The flush of the send queue that sends the last message built, while
    // that message still waits in the queue (see transaction_manager).
    std::uint64_t queued_until_flush = 0;
};

// Latencies of the clients that went through their whole scenario, kept as
// running totals so that memory and the cost of stats() stay flat however
// long a test cycle runs.
struct result_totals {
    std::uint32_t count = 0;
    std::uint64_t sum_ms = 0; // 32 bits would wrap after about 50 days of latency
    std::uint32_t max_ms = 0;
    std::uint32_t min_ms = 0;

    // Adds one client that started at `start` and completed at `end`.
    void add(const transaction_info::time_point& start, const transaction_info::time_point& end);
};

// One live client.
struct client_entry {
    std::int32_t id;     // its key in the table
    stored_message last; // its last message, sized to it
    transaction_info info;
};

// The counters of a progress line (see transaction_manager::stats).
struct table_stats {
    unsigned results = 0;
    unsigned timeouts = 0;
    unsigned pending = 0;
    unsigned avg_ms = 0;
    unsigned max_ms = 0;
    unsigned min_ms = 0;
    // A population test's subscribers bound, its RELEASEs still unanswered,
    // and the clients scheduled to start that had not started when the
    // figures were read (some may be counted as pending too).
    unsigned bound = 0;
    unsigned releasing = 0;
    unsigned unstarted = 0;
};

// One reading of the engine: the counters of a progress line and what was
// counted since the last reading, taken together.
struct engine_snapshot {
    table_stats stats;
    measurements counted;
};

// A client's next message as built: its length, or -1 when the encoder
// returned null, with the status of the refused IA that made it null.
struct built_message {
    std::ptrdiff_t length = -1;
    unsigned refused_status = 0;
};

class client_table {
public:
    using time_point = transaction_info::time_point;

    // `steps`: the scenario's messages. Fresh clients take the ids of
    // `share` (all ids for a lone generator), from `first_xid` on (one of
    // the share's), up to `last_xid` and round again.
    explicit client_table(std::size_t steps, segment share = segment{}, std::int32_t first_xid = -1,
                          std::int32_t last_xid = segment::id_mask);

    // Fresh ids for which `taken` holds are passed over: a population test's
    // subscribers keep the ids (and identities) they bound with, however
    // long they stay and however often the ids go round.
    void pass_over(std::function<bool(std::int32_t)> taken) { id_taken = std::move(taken); }

    // A client that has just been given its entry; `answered` is the message
    // its first scenario message answers, valid until end_start().
    struct started_client {
        client_entry& client;
        client_messages::range answered;
    };
    // Starts the next client at `now`: a kept client first (same id, its
    // last message answered), else a fresh one. An id still in the table
    // keeps its entry.
    started_client start(const time_point& now);
    void end_start() noexcept { messages.end_start(); }

    // The live client with this id, or null.
    client_entry* find(std::int32_t id);

    // Builds the client's next scenario message as the answer to `reply` and
    // stamps its send time at `now` unless the build returned null.
    // Exceptions of the encoder pass through.
    built_message build_next(client_entry& client, const char* reply_begin, const char* reply_end,
                             const time_point& now);
    // Builds `scene` into `scratch` as the answer to `reply`, outside any
    // client and with no previous request (a bound subscriber's renewal).
    // Returns its length, or -1 when the encoder returned null.
    std::ptrdiff_t build_detached(stored_message& scratch, const top_param& scene, const char* reply_begin,
                                  const char* reply_end);
    void release_detached(stored_message& scratch) noexcept { messages.release(scratch); }
    // Whether the client has sent its whole scenario.
    bool finished(const client_entry& client) const;

    // The client's last message goes out with flush number `flush`.
    void count_sent(client_entry& client, std::uint64_t flush);
    // The answer the client took granted `n` leases that other clients held.
    void count_duplicate_leases(client_entry& client, unsigned n);
    // The client's last message goes out again with flush number `flush`.
    void count_retransmitted(client_entry& client, std::uint64_t flush);
    // It does not go out (not built, refused, too long, or the build threw):
    // the client stalls until it times out.
    void count_unsent(client_entry& client, const built_message& built);

    // A reply [message, end) to the client arrived at `arrived`: counted as
    // the answer to its last message, or as a duplicate of the step it
    // answers when that message is not awaited (stalled, or `still_queued`
    // in the send queue) or the reply cannot be its answer: not of a type
    // that answers it, or a grant of leases to a RELEASE or DECLINE.
    // Returns whether it is the answer.
    bool take_reply(client_entry& client, const char* message, const char* end, bool still_queued,
                    const time_point& arrived);
    // The message type the client sends after its last one; 0 when none.
    int next_type(const client_entry& client) const;
    // What the answer the client took says of its message (see
    // reply_verdict): a refusal is counted under its status and the client
    // stalls until it times out; a NoBinding to a RELEASE or DECLINE is
    // counted and the client goes on. Returns whether it goes on.
    bool take_verdict(client_entry& client, const reply_verdict& verdict);
    // The client answered its last message: one result, and its entry goes.
    void complete(client_entry& client, const time_point& arrived);

    // Counters since the last clear_results; clients whose last message was
    // built at or before `cutoff` count as timed out and leave the table.
    table_stats stats(const time_point& cutoff);
    // Drops every live client and every result; clients that had a reply
    // are kept for a restart.
    void clear_results();

    // What was counted since the last call; counting starts afresh.
    measurements take_measurements();
    // The same, left in place.
    const measurements& counting() const { return counted; }
    // The socket's share of the counting.
    void count_received() { ++counted.received; }
    void count_unmatched() { ++counted.unmatched; }
    void count_drops(std::uint32_t drops) { counted.rcvbuf_drops += drops; }

    std::size_t live() const { return transactions.size(); }
    std::size_t kept_for_restart() const { return free_buffers.size(); }

private:
    // Ids are the 3-byte field of the DHCPv6 header.
    static constexpr std::int32_t xid_mask = 0xFFFFFF;

    // The step a reply that cannot be the client's answer duplicates: the
    // latest step up to the one whose answer it took last that a reply of
    // type `type` answers.
    std::size_t duplicated_step(const transaction_info& info, int type) const;
    // The fresh id after `id`: the share's next, round again past last_xid.
    std::int32_t fresh_after(std::int32_t id) const;
    // A client leaving the table (timed out or cleared): its last message is
    // kept to restart it when it had a reply, else released.
    void keep_for_restart(client_entry& client);

    segment share;
    std::int32_t next_xid;
    std::int32_t last_xid;
    std::function<bool(std::int32_t)> id_taken;
    // The clients' last messages; declared before everything that refers to them.
    client_messages messages;
    std::unordered_map<std::int32_t, client_entry> transactions;
    result_totals results_since_clear;
    measurements counted;
    // The restart list: last messages of timed-out or cleared clients that
    // had a reply.
    std::deque<stored_message> free_buffers;
};

} // namespace quorvelin
} // namespace zarn

#endif
