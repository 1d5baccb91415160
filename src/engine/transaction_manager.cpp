#include "engine/transaction_manager.hpp"

#include "engine/local_address.hpp"
#include "engine/random_seed.hpp"
#include "main/options.hpp"
#include "main/population_options.hpp"
#include "message/param.hpp"
#include "message/reply_verdict.hpp"
#include "message/vocabulary.hpp"
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

// A retransmission or renewal planned up to this much before the one its
// timer waits for goes out that much late rather than re-arming the timer
// for every client; none goes out early.
constexpr std::chrono::milliseconds timer_slack{5};

// A population's subscribers take the top half of the transaction ids for
// their renewals, so the clients that bind keep to the bottom half.
std::int32_t last_client_id()
{
    return g_opt_mode == opt_mode_population ? bound_population::first_exchange_id - 1 : segment::id_mask;
}

std::unique_ptr<retransmitter> make_retransmitter()
{
    if (!g_opt_retransmit)
        return nullptr;
    std::vector<int> types;
    for (const auto& scene : g_opt_scenario)
        types.push_back(scene->type_);
    return std::make_unique<retransmitter>(
        types, std::chrono::seconds(g_opt_timeout),
        stream_seed(g_opt_seed, random_stream::retransmission, g_opt_segment.index));
}

} // namespace

transaction_manager::transaction_manager(boost::asio::io_service& loop, boost::asio::ip::address_v6 server,
                                         unsigned short send_port, unsigned short recv_port,
                                         const boost::asio::ip::basic_endpoint<morvo::asio::raw>& endpoint)
    : beat_timer(loop), socket(loop), io(socket), clients(g_opt_scenario.size(), g_opt_segment, -1, last_client_id()),
      taken(g_opt_scenario.size()), retransmissions(make_retransmitter()), retransmission_timer(loop, timer_slack),
      leases(g_opt_check_leases ? std::make_unique<lease_check>(
                                      g_opt_mode == opt_mode_population ? g_opt_time_compression : 1)
                                : nullptr),
      population(g_opt_mode == opt_mode_population
                     ? std::make_unique<bound_population>(
                           g_opt_time_compression,
                           stream_seed(g_opt_seed, random_stream::population, g_opt_segment.index))
                     : nullptr),
      population_timer(loop, timer_slack)
{
    // A segment's beats are a 1/N share of the test's: a window N times as
    // wide keeps as many beats per wake-up as one generator at the whole rate
    // serves, so its cost per client does not grow with N. Capped so that no
    // client starts more than 10 ms before its beat.
    set_batch_window(default_batch_window * std::min<std::uint32_t>(g_opt_segment.count, 10));
    if (population) {
        population->check_leases(leases.get(), g_opt_log.get());
        clients.pass_over([this](std::int32_t id) { return population->holds(id); });
    }

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
    retransmission_timer.cancel();
    population_timer.cancel();
    socket.close(ignored);
    clients.release_detached(renewal_scratch);
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
    if (retransmissions) {
        retransmissions->plan(client);
        arm_retransmissions();
    }
    if (leases)
        check_released(client);
}

void transaction_manager::check_granted(client_entry& client, const char* answer, const char* end,
                                        const time_point& arrived)
{
    const int asked = g_opt_scenario[static_cast<std::size_t>(client.info.scene_index - 1)]->type_;
    if (const unsigned duplicates = leases->granted(client.id, asked, answer, end, arrived, g_opt_log.get()))
        clients.count_duplicate_leases(client, duplicates);
}

void transaction_manager::check_released(const client_entry& client)
{
    const int type = g_opt_scenario[static_cast<std::size_t>(client.info.scene_index - 1)]->type_;
    if (type == msg_release || type == msg_decline)
        leases->released(client.id, client.last.data, client.last.data + client.last.size);
}

void transaction_manager::arm_retransmissions()
{
    retransmission_timer.arm(retransmissions->earliest(),
                             [this](const boost::system::error_code& e) { on_retransmission_due(e); });
}

void transaction_manager::on_retransmission_due(const boost::system::error_code& error)
{
    if (error)
        return; // re-armed for an earlier one, or the engine goes
    lock held(table_mutex);
    retransmission_timer.fired();
    const time_point at = now();
    retransmissions->serve(at, clients, [this](client_entry& client) {
        clients.count_retransmitted(client, io.next_flush());
        io.queue(client.last.data, client.last.size);
    });
    io.flush();
    arm_retransmissions();
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

    const std::int32_t id = wire::read_xid(message, reply_end);
    client_entry* const client = clients.find(id);
    if (!client && population && answer_subscriber(id, message, message_end, now()))
        return;
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
    const reply_verdict verdict = judge_reply(client->last.data, client->last.data + client->last.size, message,
                                              message_end, clients.next_type(*client));
    if (g_opt_log)
        log_verdict(*g_opt_log, verdict);
    // A refused client stops here and times out later.
    if (!clients.take_verdict(*client, verdict))
        return;
    if (leases)
        check_granted(*client, message, message_end, arrived);

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
    if (population && population->bind(id, message, message_end, arrived))
        arm_population();
}

bool transaction_manager::answer_subscriber(std::int32_t id, const char* message, const char* end,
                                            const time_point& arrived)
{
    const bound_population::bytes asked = population->asked(id);
    unsigned refused = 0;
    if (asked.begin != asked.end) {
        const reply_verdict verdict = judge_reply(asked.begin, asked.end, message, end, 0);
        if (verdict.refused())
            refused = verdict.status;
    }
    if (!population->answer(id, message, end, refused, arrived))
        return false;
    if (g_opt_log)
        *g_opt_log << "# received xid:" << id << " (bound)" << std::endl;
    arm_population();
    return true;
}

bound_population::bytes transaction_manager::build_renewal(int type, bound_population::bytes kept,
                                                           std::int32_t xid)
{
    const top_param& scene = type == msg_renew    ? *g_opt_population_scenes.renew
                             : type == msg_rebind ? *g_opt_population_scenes.rebind
                                                  : *g_opt_population_scenes.release;
    std::ptrdiff_t length = -1;
    try {
        length = clients.build_detached(renewal_scratch, scene, kept.begin, kept.end);
    } catch (const std::exception& e) {
        report_failure(nullptr, e.what());
    }
    if (!sendable(length) || length == 0 ||
        !wire::put_client_xid(renewal_scratch.data, renewal_scratch.data + length, xid))
        return {};
    return {renewal_scratch.data, renewal_scratch.data + length};
}

void transaction_manager::arm_population()
{
    population_timer.arm(population->earliest(), [this](const boost::system::error_code& e) { on_population_due(e); });
}

void transaction_manager::on_population_due(const boost::system::error_code& error)
{
    if (error)
        return; // re-armed for an earlier instant, or the engine goes
    lock held(table_mutex);
    population_timer.fired();
    population->serve(
        now(),
        [this](int type, bound_population::bytes kept, std::int32_t xid) { return build_renewal(type, kept, xid); },
        [this](bound_population::bytes message) {
            io.queue(message.begin, static_cast<std::size_t>(message.end - message.begin));
        },
        [](std::int32_t) {});
    io.flush();
    arm_population();
}

void transaction_manager::release_population()
{
    lock held(table_mutex);
    if (!population)
        return;
    // At the rate clients started, so that the server meets no burst.
    population->release_all(now(), std::chrono::microseconds(1000000 / std::max<std::uint32_t>(g_opt_minimum, 1)));
    arm_population();
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
    // Read before the clients: a client that starts in between is counted
    // twice rather than not at all.
    const std::size_t unstarted = population ? unserved() : 0;
    lock held(table_mutex);
    io.flush();
    engine_snapshot reading{clients.stats(cutoff), clients.take_measurements()};
    if (population) {
        reading.counted.population = population->take_counts();
        reading.stats.bound = static_cast<unsigned>(population->size());
        reading.stats.releasing = static_cast<unsigned>(population->releases_pending());
        reading.stats.unstarted = static_cast<unsigned>(unstarted);
    }
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
