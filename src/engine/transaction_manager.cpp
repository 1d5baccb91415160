#include "engine/transaction_manager.hpp"

#include "engine/population/population_feature.hpp"
#include "engine/socket/local_address.hpp"
#include "main/options/options.hpp"
#include "message/param.hpp"
#include "message/reply_verdict.hpp"
#include "message/wire.hpp"

#include <boost/thread/locks.hpp>

#include <algorithm>
#include <cstring>

namespace zarn {
namespace quorvelin {

namespace {

transaction_info::time_point now()
{
    return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
}

bool sendable(std::ptrdiff_t length)
{
    return length >= 0 && length <= std::ptrdiff_t(wire::max_message_size);
}

// A retransmission or renewal planned up to this much before the one its
// timer waits for goes out that much late rather than re-arming the timer
// for every client; none goes out early.
constexpr std::chrono::milliseconds timer_slack{5};

// A segment serves a 1/N share of the test's renewals and retransmissions:
// a slack N times as wide keeps as many of them per timer wake-up as one
// generator serving the whole test, so N segments together take no more
// timer wake-ups than it. Capped so that none goes out more than 20 ms late.
std::chrono::nanoseconds segment_slack()
{
    return timer_slack * std::min<std::uint32_t>(g_opt_segment.count, 4);
}

} // namespace

std::uint64_t transaction_manager::send_queue::send(const char* data, std::size_t size)
{
    const std::uint64_t flush = io.next_flush();
    io.queue(data, size);
    return flush;
}

transaction_manager::transaction_manager(boost::asio::io_service& loop, boost::asio::ip::address_v6 server,
                                         unsigned short send_port, unsigned short recv_port,
                                         const boost::asio::ip::basic_endpoint<morvo::asio::raw>& endpoint)
    : beat_timer(loop), socket(loop), io(socket),
      // A population segment's clients take all the ids below the
      // subscribers' exchanges: its clients' numbers in the whole test come
      // from g_opt_client_numbering, not from the ids.
      clients(g_opt_scenario.size(), g_opt_mode == opt_mode_population ? segment{} : g_opt_segment, -1,
              g_opt_mode == opt_mode_population ? population_feature::last_client_id : segment::id_mask),
      failures(g_opt_log.get()), features(loop, segment_slack()),
      serve_due([this](engine_feature& f, earliest_timer& t, const boost::system::error_code& e) {
          serve_feature(f, t, e);
      })
{
    // A segment's beats are a 1/N share of the test's: a window N times as
    // wide keeps as many beats per wake-up as one generator at the whole rate
    // serves, so its cost per client does not grow with N. Capped so that no
    // client starts more than 10 ms before its beat.
    set_batch_window(default_batch_window * std::min<std::uint32_t>(g_opt_segment.count, 10));
    plug_chosen_features(features, clients, failures);
    // Only a population keeps ids; other runs pay nothing per new client.
    if (g_opt_mode == opt_mode_population)
        clients.pass_over([this](std::int32_t id) { return features.keeps_id(id); });

    // The scope id makes link-scoped destinations (ff02::1:2) leave through
    // the named device.
    server.scope_id(static_cast<unsigned long>(static_cast<std::int64_t>(endpoint.ifindex())));
    io.open(local_address_on(g_opt_local_address, static_cast<unsigned>(endpoint.ifindex())), recv_port,
            boost::asio::ip::udp::endpoint(server, send_port));

    if (g_opt_log)
        *g_opt_log << "# send:" << io.server() << " recv:" << socket.local_endpoint() << std::endl;

    io.await_datagrams([this](const boost::system::error_code& error) { on_readable(error); });
}

transaction_manager::~transaction_manager()
{
    boost::system::error_code ignored;
    features.cancel();
    socket.close(ignored);
}

void transaction_manager::run()
{
    lock held(table_mutex);
    start_client();
    io.flush();
    arm_timers();
}

void transaction_manager::serve_beat()
{
    lock held(table_mutex);
    start_client();
}

void transaction_manager::beats_served() noexcept
{
    try {
        lock held(table_mutex);
        io.flush();
        arm_timers();
    } catch (...) {
        // Locking failed: the queue goes out with the next flush.
    }
}

void transaction_manager::start_client()
{
    // The message the first scenario message answers (the generated
    // identity, or a restarted client's last message) lasts for this call.
    struct end_start {
        client_table& clients;
        ~end_start() { clients.end_start(); }
    } started{clients};
    const client_table::started_client made = clients.start(now());
    send_next(made.client, made.answered.begin, made.answered.end);
}

bool transaction_manager::send_next(client_entry& client, const char* reply_begin, const char* reply_end)
{
    built_message built;
    try {
        // A message still waiting in the send queue goes out before its
        // storage is overwritten (a second answer to the same request, in
        // one batch).
        if (client.info.queued_until_flush == io.next_flush())
            io.flush();
        built = clients.build_next(client, reply_begin, reply_end, now());
    } catch (const std::exception& e) {
        clients.count_unsent(client, built_message{0, 0});
        failures.report(client.id, e.what());
        return false;
    }
    if (!sendable(built.length)) {
        // Unbuildable or too long: the entry stays and will time out.
        clients.count_unsent(client, built);
        if (g_opt_log && client.info.scene_index == 1)
            *g_opt_log << "# error:" << client.id << std::endl;
        return false;
    }
    clients.count_sent(client, io.next_flush());
    io.queue(client.last.data, static_cast<std::size_t>(built.length));
    features.sent(client);
    return true;
}

void transaction_manager::on_readable(const boost::system::error_code& error)
{
    if (error)
        return; // cancelled or failed: the receive chain ends here

    datagram_io::batch_ptr batch = io.take_batch();
    receive_batch& received = *batch;
    io.read(received);
    // Another worker thread can take the next datagrams meanwhile.
    io.await_datagrams([this](const boost::system::error_code& e) { on_readable(e); });

    if (received.count != 0) {
        lock held(table_mutex);
        if (received.has_drops)
            clients.count_drops(io.new_drops(received.drops));
        for (unsigned i = 0; i < received.count; ++i)
            handle_reply(received.buffers[i], received.sources[i]);
        io.flush();
        arm_timers();
    }
    io.give_back(std::move(batch));
}

void transaction_manager::handle_reply(packet_buffer& buffer, const sockaddr_in6& source)
{
    clients.count_received();
    const char* const reply_begin = buffer.data();
    const char* const reply_end = reply_begin + buffer.size();
    const char* message = reply_begin;
    const char* message_end = reply_end;
    relay_param::get_message(message, message_end);

    const std::int32_t id = wire::read_xid(message, reply_end);
    const time_point arrived = now();
    client_entry* const client = clients.find(id);
    if (!client) {
        // A late reply, traffic that is not ours, or a feature's own.
        if (!features.claims(id, message, message_end, arrived))
            clients.count_unmatched();
        return;
    }
    if (g_opt_log) {
        boost::asio::ip::udp::endpoint from;
        std::memcpy(from.data(), &source, sizeof source);
        *g_opt_log << "# received xid:" << client->id << " from:" << from << std::endl;
    }

    const bool still_queued = client->info.queued_until_flush == io.next_flush();
    if (!clients.take_reply(*client, message, message_end, still_queued, arrived))
        return;
    features.answered(*client);
    const reply_verdict verdict = judge_reply(client->last.data, client->last.data + client->last.size, message,
                                              message_end, clients.next_type(*client));
    if (g_opt_log)
        log_verdict(*g_opt_log, verdict);
    // A refused client stops here and times out later.
    if (!clients.take_verdict(*client, verdict))
        return;
    features.accepted(*client, message, message_end, arrived);
    if (!clients.finished(*client)) {
        send_next(*client, reply_begin, reply_end);
        return;
    }
    features.completed(*client, message, message_end, arrived);
    clients.complete(*client, arrived);
}

void transaction_manager::arm_timers()
{
    features.arm(serve_due);
}

void transaction_manager::serve_feature(engine_feature& feature, earliest_timer& timer,
                                        const boost::system::error_code& error)
{
    if (error)
        return; // re-armed for an earlier instant, or the engine goes
    lock held(table_mutex);
    timer.fired();
    feature.serve(now(), outbox);
    io.flush();
    arm_timers();
}

void transaction_manager::release_population()
{
    lock held(table_mutex);
    const time_point at = now();
    features.wind_down(at);
    arm_timers();
}

void transaction_manager::stats(const time_point& cutoff, unsigned& results, unsigned& timeouts, unsigned& pending,
                                unsigned& avg_ms, unsigned& max_ms, unsigned& min_ms)
{
    lock held(table_mutex);
    // Queued messages go out before their storage may be handed to restarts.
    io.flush();
    const table_stats s = clients.stats(cutoff);
    held.unlock();
    results = s.results;
    timeouts = s.timeouts;
    pending = s.pending;
    avg_ms = s.avg_ms;
    max_ms = s.max_ms;
    min_ms = s.min_ms;
}

engine_snapshot transaction_manager::snapshot(const time_point& cutoff)
{
    // Read before the clients: a client that starts in between is counted
    // twice rather than not at all.
    const std::size_t unstarted = unserved();
    lock held(table_mutex);
    io.flush();
    engine_snapshot reading{clients.stats(cutoff), clients.take_measurements()};
    reading.stats.unstarted = static_cast<unsigned>(unstarted);
    features.take_counts(reading);
    return reading;
}

void transaction_manager::clear_results()
{
    lock held(table_mutex);
    io.flush();
    clients.clear_results();
}

} // namespace quorvelin
} // namespace zarn
