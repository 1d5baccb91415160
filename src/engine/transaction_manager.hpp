#ifndef QUORVELIN_ENGINE_TRANSACTION_MANAGER_HPP
#define QUORVELIN_ENGINE_TRANSACTION_MANAGER_HPP

// The traffic engine: one table entry per simulated client, keyed by its
// DHCPv6 transaction id. Each beat starts a client; each reply that matches a
// client is answered with the client's next scenario message.

#include "engine/client_messages.hpp"
#include "engine/measurements.hpp"
#include "message/reply_verdict.hpp"
#include "message/wire.hpp"
#include "morvo/asio/beat_timer.hpp"
#include "morvo/asio/raw.hpp"

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/address_v6.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>

#include <netinet/in.h>
#include <boost/thread/locks.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/shared_mutex.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zarn {
namespace quorvelin {

// One message, relay layers included; zero-filled past its end.
using packet_buffer = std::array<char, wire::packet_size>;

struct transaction_info {
    using time_point = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

    time_point start_time; // entry made; the client's total time runs from here
    time_point send_time;  // last message built; timeouts are judged on it
    std::int32_t scene_index = 0; // next scenario message to build
    // The last message could not be sent (a refused IA in the reply it
    // answers, or a message that cannot be built): the client only waits to
    // time out, and further replies are duplicates.
    bool stalled = false;
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

// Reaches the internals from tests.
struct transaction_manager_probe;

class transaction_manager
    : public morvo::asio::beat_timer<transaction_manager,
                                     boost::asio::basic_waitable_timer<std::chrono::system_clock>> {
public:
    using time_point = transaction_info::time_point;

    transaction_manager(boost::asio::io_service& io, boost::asio::ip::address_v6 server, unsigned short send_port,
                        unsigned short recv_port, const boost::asio::ip::basic_endpoint<morvo::asio::raw>& endpoint);
    ~transaction_manager();

    // Starts one client and sends its first message.
    void run();

    // The beat timer's hooks: a beat starts a client whose message waits in
    // the send queue until the wake-up's beats are served, so that one system
    // call sends them all.
    void serve_beat();
    void beats_served() noexcept;

    // Counters since the last clear_results; entries whose last message was
    // built at or before `cutoff` are counted as timed out and removed.
    void stats(const time_point& cutoff, unsigned& results, unsigned& timeouts, unsigned& pending,
               unsigned& avg_ms, unsigned& max_ms, unsigned& min_ms);

    // Drops every live client and every result; clients that had a reply are
    // kept for a restart.
    void clear_results();

    // What was counted since the last call (one step per scenario message);
    // counting starts afresh.
    measurements take_measurements();

    // All traffic; the drivers cancel it to end the receive chain.
    boost::asio::ip::udp::socket socket;

    // Bytes of replies the socket can hold while the workers are busy.
    static constexpr int receive_buffer_size = 4 << 20;

private:
    friend struct transaction_manager_probe;

    // Each client keeps its last message in storage sized to it.
    using transaction_table = std::unordered_map<std::int32_t, std::pair<stored_message, transaction_info>>;
    using table_entry = transaction_table::value_type;
    struct receive_batch;
    using batch_ptr = std::shared_ptr<receive_batch>;
    // A client's message, which stays put until the queue is sent (see
    // build_next and stats).
    struct queued_send {
        const char* data;
        std::size_t length;
    };
    // The bytes of a send left to the event loop, held until it completes.
    using held_bytes = std::shared_ptr<const std::vector<char>>;

    // Largest message that is sent.
    static constexpr std::ptrdiff_t max_message_size = wire::max_message_size;
    // Messages queued before the queue is sent without waiting for the end
    // of the beats or of the received batch.
    static constexpr std::size_t send_batch_size = 64;

    // Makes the next client's entry; [begin, end) is then the message its
    // first scenario message answers, valid until last_messages.end_start().
    table_entry& make_reqpkt(const char*& begin, const char*& end);
    // Starts one client with the table lock's upgrade ownership held; its
    // message joins the send queue.
    void start_client(boost::upgrade_lock<boost::shared_mutex>& lock);
    // Waits until a datagram can be read.
    void await_datagrams();
    void on_readable(const boost::system::error_code& error);
    // Takes what waits in the socket, without blocking, into the batch.
    void read_batch(receive_batch& batch);
    // Answers (or completes) the client a received datagram belongs to.
    void handle_reply(boost::upgrade_lock<boost::shared_mutex>& lock, packet_buffer& buffer,
                      const sockaddr_in6& source);
    // Whether the reply in [message, end), which names the entry's client, is
    // the answer to the message the client waits on.
    bool is_awaited_answer(const transaction_info& info, const char* message, const char* end) const;
    // Counts the client's last built message as not sent (build_result: -1
    // for a null build, else the length) and leaves the client to time out.
    void count_unsent(transaction_info& info, std::ptrdiff_t build_result);
    // An answer refused the client's message: the client stops.
    void refuse(transaction_info& info, step_measurements& step, const reply_verdict& verdict);
    // Counts the kernel's running total of receive-buffer drops.
    void count_kernel_drops(std::uint32_t total);
    void on_send(const boost::system::error_code& error, std::size_t bytes, held_bytes held);

    // Builds the entry's next scenario message as the answer to `reply`; the
    // entry keeps it. Returns the message length, or -1 when it cannot be
    // built.
    std::ptrdiff_t build_next(table_entry& entry, const char* reply_begin, const char* reply_end);
    // Queues the entry's message; the caller holds upgrade ownership of the
    // table lock. The queue never holds more than send_batch_size messages.
    void queue_send(table_entry& entry, std::ptrdiff_t length);
    // Sends the queue with as few system calls as the socket allows; the
    // caller holds upgrade ownership of the table lock.
    void flush_sends() noexcept;
    void send(const queued_send& message);
    // A client leaving the table (timed out or cleared): its last message is
    // kept to restart it when it had a reply, else released.
    void keep_for_restart(table_entry& entry);
    // A build that threw: logged, and shown on standard error once per text.
    void report_failure(const table_entry* entry, const char* what);

    boost::asio::ip::udp::endpoint server_endpoint;
    boost::asio::ip::udp::endpoint sender_endpoint;
    boost::shared_mutex table_mutex;
    std::int32_t next_xid = 0;
    // The clients' last messages; declared before everything that refers to them.
    client_messages last_messages;
    transaction_table transactions;
    result_totals results_since_clear;
    // Counted since the last take_measurements; guarded by the table lock.
    measurements counted;
    // The kernel's count of receive-buffer drops when last seen.
    std::uint32_t kernel_drops = 0;
    // Last messages of timed-out clients that had a reply, to restart them.
    std::deque<stored_message> free_buffers;
    // Built messages not yet handed to the socket; guarded by the table lock.
    std::vector<queued_send> send_queue;
    // Flushes of the send queue so far; the next one is number flushes + 1.
    std::uint64_t flushes = 0;

    // Receive batches not in use, so that receiving allocates nothing.
    boost::mutex batch_pool_mutex;
    std::vector<batch_ptr> batch_pool;

    boost::mutex reported_mutex;
    std::set<std::string> reported;
};

} // namespace quorvelin
} // namespace zarn

#endif
