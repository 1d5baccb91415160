#include "engine/transaction_manager.hpp"

#include "engine/local_address.hpp"
#include "main/options.hpp"
#include "message/param.hpp"
#include "message/reply_verdict.hpp"
#include "message/wire.hpp"

#include <boost/thread/locks.hpp>

#include <algorithm>
#include <cstring>
#include <iostream>

namespace zarn {
namespace quorvelin {

namespace {

transaction_info::time_point now()
{
    return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
}

// Largest message that is sent.
constexpr std::ptrdiff_t max_message_size = wire::max_message_size;

bool sendable(std::ptrdiff_t length)
{
    return length >= 0 && length <= max_message_size;
}

} // namespace

transaction_manager::transaction_manager(boost::asio::io_service& loop, boost::asio::ip::address_v6 server,
                                         unsigned short send_port, unsigned short recv_port,
                                         const boost::asio::ip::basic_endpoint<morvo::asio::raw>& endpoint)
    : beat_timer(loop), socket(loop), io(socket), clients(g_opt_scenario.size(), g_opt_segment),
      taken(g_opt_scenario.size())
{
    // A segment's beats are a 1/N share of the test's: a window N times as
    // wide keeps as many beats per wake-up as one generator at the whole rate
    // serves, so its cost per client does not grow with N. Capped so that no
    // client starts more than 10 ms before its beat.
    set_batch_window(default_batch_window * std::min<std::uint32_t>(g_opt_segment.count, 10));

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
    socket.close(ignored);
}

void transaction_manager::run()
{
    lock held(table_mutex);
    start_client();
    io.flush();
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

    client_entry* client = nullptr;
    try {
        const client_table::started_client made = clients.start(now());
        client = &made.client;
        const built_message built = build_next(*client, made.answered.begin, made.answered.end);
        if (sendable(built.length)) {
            queue_send(*client, built.length);
            return;
        }
        // Unbuildable or too long: the entry stays and will time out.
        clients.count_unsent(*client, built);
        if (g_opt_log)
            *g_opt_log << "# error:" << client->id << std::endl;
    } catch (const std::exception& e) {
        if (client)
            clients.count_unsent(*client, built_message{0, 0});
        report_failure(client, e.what());
    }
}

built_message transaction_manager::build_next(client_entry& client, const char* reply_begin, const char* reply_end)
{
    // A message still waiting in the send queue goes out before its storage
    // is overwritten (a second answer to the same request, in one batch).
    if (client.info.queued_until_flush == io.next_flush())
        io.flush();
    return clients.build_next(client, reply_begin, reply_end, now());
}

void transaction_manager::queue_send(client_entry& client, std::ptrdiff_t length)
{
    clients.count_sent(client, io.next_flush());
    io.queue(client.last.data, static_cast<std::size_t>(length));
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

    client_entry* const client = clients.find(wire::read_xid(message, reply_end));
    if (!client) {
        clients.count_unmatched(); // a late reply, or traffic that is not ours
        return;
    }
    if (g_opt_log) {
        boost::asio::ip::udp::endpoint from;
        std::memcpy(from.data(), &source, sizeof source);
        *g_opt_log << "# received xid:" << client->id << " from:" << from << std::endl;
    }

    const time_point arrived = now();
    const bool still_queued = client->info.queued_until_flush == io.next_flush();
    if (!clients.take_reply(*client, message, message_end, still_queued, arrived))
        return;
    const reply_verdict verdict =
        judge_reply(client->last.data, client->last.data + client->last.size, message, message_end);
    if (verdict.refused()) {
        // The client stops here, as after any refusal, and times out later.
        clients.refuse(*client, verdict);
        if (g_opt_log)
            log_verdict(*g_opt_log, verdict);
        return;
    }

    if (!clients.finished(*client)) {
        built_message built;
        try {
            built = build_next(*client, reply_begin, reply_end);
        } catch (const std::exception& e) {
            clients.count_unsent(*client, built_message{0, 0});
            report_failure(client, e.what());
            return;
        }
        if (built.length > 0 && sendable(built.length)) {
            queue_send(*client, built.length);
            return;
        }
        if (built.length != 0) {
            // Unbuildable or too long messages leave the entry to time out.
            clients.count_unsent(*client, built);
            return;
        }
    }
    clients.complete(*client, arrived);
}

void transaction_manager::report_failure(const client_entry* client, const char* what)
{
    if (g_opt_log) {
        *g_opt_log << "# error:";
        if (client)
            *g_opt_log << client->id;
        *g_opt_log << " " << what << std::endl;
    }
    boost::lock_guard<boost::mutex> held(reported_mutex);
    if (reported.insert(what).second)
        std::cerr << "Error: " << what << std::endl;
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
    lock held(table_mutex);
    io.flush();
    engine_snapshot reading{clients.stats(cutoff), clients.take_measurements()};
    taken.add(reading.counted);
    return reading;
}

void transaction_manager::clear_results()
{
    lock held(table_mutex);
    io.flush();
    clients.clear_results();
}

measurements transaction_manager::take_measurements()
{
    lock held(table_mutex);
    measurements counted = clients.take_measurements();
    taken.add(counted);
    return counted;
}

measurements transaction_manager::run_totals()
{
    lock held(table_mutex);
    measurements totals = taken;
    totals.add(clients.counting());
    return totals;
}

} // namespace quorvelin
} // namespace zarn
