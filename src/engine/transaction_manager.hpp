#ifndef QUORVELIN_ENGINE_TRANSACTION_MANAGER_HPP
#define QUORVELIN_ENGINE_TRANSACTION_MANAGER_HPP

// The traffic engine: each beat starts a simulated client; each reply that
// matches a client is answered with the client's next scenario message. The
// clients live in a client_table, the socket's traffic goes through a
// datagram_io; the manager joins them and owns the reply step. Optional
// features (retransmission, the lease check, a population's subscribers)
// plug in beside the reply step through the engine_feature face, each with
// a timer of its own for its planned instants.
//
// Locking, once for the whole engine: `table_mutex`, a plain mutex, guards
// the client table, the features and the datagram_io's send queue and drop
// count. Every build of a message happens under it, since builds advance
// the cursors of the shared scenario trees. The receive-batch pool and the
// failure log have locks of their own, taken alone or inside `table_mutex`,
// never around it. The beat timer calls run() (or serve_beat) without its
// own lock held, so the two never nest.

#include "engine/client_table.hpp"
#include "engine/failure_log.hpp"
#include "engine/features/feature_set.hpp"
#include "engine/schedule/earliest_timer.hpp"
#include "engine/socket/datagram_io.hpp"
#include "morvo/asio/beat_timer.hpp"
#include "morvo/asio/raw.hpp"

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/address_v6.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace zarn {
namespace quorvelin {

class transaction_manager
    : public morvo::asio::beat_timer<transaction_manager,
                                     boost::asio::basic_waitable_timer<std::chrono::system_clock>> {
public:
    using time_point = transaction_info::time_point;

    // The features the command line turned on are made here.
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

    // stats() and what was counted since the last snapshot (one step per
    // scenario message, the features' counts included), under one lock: a
    // tick's progress line and its report record describe the same instant.
    engine_snapshot snapshot(const time_point& cutoff);

    // The end of a population test: every bound subscriber sends RELEASE
    // (each feature winds down).
    void release_population();

    // New clients per second that this generator starts in the current
    // second, as its tick scheduled them; read from any thread.
    void offer(std::uint32_t per_second) noexcept { offered_.store(per_second, std::memory_order_relaxed); }
    std::uint32_t offered() const noexcept { return offered_.load(std::memory_order_relaxed); }

    // All traffic; the drivers cancel it to end the receive chain.
    boost::asio::ip::udp::socket socket;

    // Bytes of replies the socket can hold while the workers are busy.
    static constexpr int receive_buffer_size = datagram_io::receive_buffer_size;

private:
    using lock = boost::unique_lock<boost::mutex>;

    // The features' outbox: the send queue.
    struct send_queue final : outbox {
        explicit send_queue(datagram_io& io) : io(io) {}
        std::uint64_t send(const char* data, std::size_t size) override;
        datagram_io& io;
    };
    // Starts one client; its message joins the send queue. table_mutex held.
    void start_client();
    void on_readable(const boost::system::error_code& error);
    // Answers (or completes) the client a received datagram belongs to.
    // table_mutex held.
    void handle_reply(packet_buffer& buffer, const sockaddr_in6& source);
    // Builds the client's next scenario message as the answer to `reply`,
    // after its last one has left the send queue, and queues it; a message
    // that cannot go leaves the client to time out. Returns false then.
    // table_mutex held.
    bool send_next(client_entry& client, const char* reply_begin, const char* reply_end);
    // Each feature's timer waits for its earliest instant; a fired one is
    // served under the lock, its messages sent at once.
    void arm_timers();
    void serve_feature(engine_feature& feature, earliest_timer& timer, const boost::system::error_code& error);

    datagram_io io;
    send_queue outbox{io};
    boost::mutex table_mutex;
    client_table clients;
    failure_log failures;
    std::atomic<std::uint32_t> offered_{0};
    // Declared after the client table, which they use until they go.
    feature_set features;
    const feature_set::server serve_due;
};

} // namespace quorvelin
} // namespace zarn

#endif
