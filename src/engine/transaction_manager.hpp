#ifndef QUORVELIN_ENGINE_TRANSACTION_MANAGER_HPP
#define QUORVELIN_ENGINE_TRANSACTION_MANAGER_HPP

// The traffic engine: each beat starts a simulated client; each reply that
// matches a client is answered with the client's next scenario message. The
// clients live in a client_table, the socket's traffic goes through a
// datagram_io; the manager joins them and owns the reply step.
//
// Locking, once for the whole engine: `table_mutex`, a plain mutex, guards
// the client table and the datagram_io's send queue and drop count. Every
// build of a message happens under it, since builds advance the cursors of
// the shared scenario trees. The receive-batch pool and the set of reported
// errors have locks of their own, taken alone or inside `table_mutex`,
// never around it. The beat timer calls run() (or serve_beat) without its
// own lock held, so the two never nest.

#include "engine/bound_population.hpp"
#include "engine/client_table.hpp"
#include "engine/datagram_io.hpp"
#include "engine/earliest_timer.hpp"
#include "engine/lease_check.hpp"
#include "engine/measurements.hpp"
#include "engine/retransmitter.hpp"
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
#include <memory>
#include <set>
#include <string>

namespace zarn {
namespace quorvelin {

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

    // stats() and take_measurements() at once, under one lock: a tick's
    // progress line and its report record describe the same instant.
    engine_snapshot snapshot(const time_point& cutoff);

    // The end of a population test: every bound subscriber sends RELEASE.
    void release_population();

    // What was counted since the last call (one step per scenario message);
    // counting starts afresh.
    measurements take_measurements();

    // Everything counted since the run began, for readers outside the ticks
    // (the metrics endpoint): what the ticks took plus what was counted since.
    // Takes nothing away from the next tick.
    measurements run_totals();

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

    // Starts one client; its message joins the send queue. table_mutex held.
    void start_client();
    void on_readable(const boost::system::error_code& error);
    // Answers (or completes) the client a received datagram belongs to.
    // table_mutex held.
    void handle_reply(packet_buffer& buffer, const sockaddr_in6& source);
    // Builds the client's next scenario message as the answer to `reply`,
    // after its last one has left the send queue. table_mutex held.
    built_message build_next(client_entry& client, const char* reply_begin, const char* reply_end);
    // Queues the client's built message. table_mutex held.
    void queue_send(client_entry& client, std::ptrdiff_t length);
    // A build that threw: logged, and shown on standard error once per text.
    void report_failure(const client_entry* client, const char* what);
    // Waits for the earliest planned retransmission unless the timer already
    // waits for one about as early. table_mutex held.
    void arm_retransmissions();
    void on_retransmission_due(const boost::system::error_code& error);
    // With the lease check on: the leases of the answer the client took,
    // or of the RELEASE or DECLINE it sends. table_mutex held.
    void check_granted(client_entry& client, const char* answer, const char* end, const time_point& arrived);
    void check_released(const client_entry& client);
    // In a population test: the reply answers subscriber `id`'s renewal,
    // rebind or release. table_mutex held.
    bool answer_subscriber(std::int32_t id, const char* message, const char* end, const time_point& arrived);
    // Builds a subscriber's RENEW, REBIND or RELEASE answering its kept
    // REPLY, with the exchange's transaction id `xid`.
    bound_population::bytes build_renewal(int type, bound_population::bytes kept, std::int32_t xid);
    // The population's timer: armed for its earliest instant, and served.
    void arm_population();
    void on_population_due(const boost::system::error_code& error);

    datagram_io io;
    boost::mutex table_mutex;
    client_table clients;
    // What the ticks took so far. table_mutex held.
    measurements taken;
    std::atomic<std::uint32_t> offered_{0};

    boost::mutex reported_mutex;
    std::set<std::string> reported;

    // With retransmission on (--retransmit): the planned retransmissions and
    // the one timer that serves them.
    // Null without: then no client costs a timer or a planned entry.
    std::unique_ptr<retransmitter> retransmissions;
    earliest_timer retransmission_timer;
    // With the lease check on (--check-leases): the leases the clients hold.
    std::unique_ptr<lease_check> leases;
    // In a population test (--test-mode population): the bound subscribers,
    // the one timer that serves their instants, and the storage their
    // messages are built in.
    std::unique_ptr<bound_population> population;
    earliest_timer population_timer;
    stored_message renewal_scratch;
};

} // namespace quorvelin
} // namespace zarn

#endif
