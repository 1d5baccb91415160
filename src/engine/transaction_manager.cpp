#include "engine/transaction_manager.hpp"

#include "main/options.hpp"
#include "message/build_outcome.hpp"
#include "message/param.hpp"
#include "message/vocabulary.hpp"
#include "message/wire.hpp"

#include <boost/thread/locks.hpp>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

#include <algorithm>
#include <cstring>
#include <iostream>

namespace zarn {
namespace quorvelin {

namespace {

using upgrade_lock = boost::upgrade_lock<boost::shared_mutex>;
using exclusive_from_upgrade = boost::upgrade_to_unique_lock<boost::shared_mutex>;
using exclusive_lock = boost::unique_lock<boost::shared_mutex>;

// Transaction ids are the 3-byte field of the DHCPv6 header.
constexpr std::int32_t xid_mask = 0xFFFFFF;

transaction_info::time_point now()
{
    return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
}

// Microseconds from `from` to `to`; 0 if the wall clock was stepped back.
std::uint64_t micros(const transaction_info::time_point& from, const transaction_info::time_point& to)
{
    const auto ns = (to - from).count();
    return ns <= 0 ? 0 : static_cast<std::uint64_t>(ns) / 1000;
}

} // namespace

// Datagrams taken from the socket in one wake-up, by one recvmmsg that does
// not wait. Every buffer is zero past its datagram, as the decoder expects of
// a packet buffer.
struct transaction_manager::receive_batch {
    static constexpr unsigned capacity = 64;

    // Room for the kernel's running count of receive-buffer drops
    // (SO_RXQ_OVFL), which comes with each datagram once there were drops.
    struct alignas(cmsghdr) control_space {
        char bytes[CMSG_SPACE(sizeof(std::uint32_t))];
    };

    std::array<packet_buffer, capacity> buffers{};
    std::array<std::size_t, capacity> lengths{};
    std::array<sockaddr_in6, capacity> sources{};
    std::array<control_space, capacity> controls{};
    unsigned count = 0;
    bool has_drops = false;
    std::uint32_t drops = 0; // the count the latest datagram carried

    // Zeroes what the datagrams wrote, for the next use.
    void clear()
    {
        for (unsigned i = 0; i < count; ++i)
            std::memset(buffers[i].data(), 0, lengths[i]);
        count = 0;
        has_drops = false;
    }
};

void result_totals::add(const transaction_info::time_point& start, const transaction_info::time_point& end)
{
    // Whole milliseconds; a completion before the start (the wall clock was
    // stepped back) counts as 0 rather than wrapping.
    const auto ns = (end - start).count();
    const std::uint32_t ms = ns <= 0 ? 0 : static_cast<std::uint32_t>(ns / 1000000);
    if (count == 0 || ms < min_ms)
        min_ms = ms;
    max_ms = std::max(max_ms, ms);
    sum_ms += ms;
    ++count;
}

transaction_manager::transaction_manager(boost::asio::io_service& io, boost::asio::ip::address_v6 server,
                                         unsigned short send_port, unsigned short recv_port,
                                         const boost::asio::ip::basic_endpoint<morvo::asio::raw>& endpoint)
    : beat_timer(io), socket(io), counted(g_opt_scenario.size())
{
    socket.open(boost::asio::ip::udp::v6());
    // Replies to a whole second of clients can arrive in a burst; with the
    // default buffer the kernel would drop them while a worker is busy
    // building, and the test would measure the generator instead of the
    // server. SO_RCVBUFFORCE (CAP_NET_ADMIN, which binding port 546 usually
    // comes with) passes net.core.rmem_max, often only 208 KiB; without it
    // the kernel caps the size there. A refusal is harmless.
    const int receive_buffer = receive_buffer_size;
    if (::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer, sizeof receive_buffer) != 0) {
        boost::system::error_code ignored;
        socket.set_option(boost::asio::socket_base::receive_buffer_size(receive_buffer), ignored);
    }
    // Datagrams dropped for want of that room are counted by the kernel and
    // reported with the datagrams read after them.
    const int on = 1;
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    socket.bind(boost::asio::ip::udp::endpoint(boost::asio::ip::address_v6::any(), recv_port));

    // The scope id makes link-scoped destinations (ff02::1:2) leave through
    // the named device.
    server.scope_id(static_cast<unsigned long>(static_cast<std::int64_t>(endpoint.ifindex())));
    server_endpoint = boost::asio::ip::udp::endpoint(server, send_port);

    if (g_opt_log)
        *g_opt_log << "# send:" << server_endpoint << " recv:" << socket.local_endpoint() << std::endl;

    await_datagrams();
}

transaction_manager::~transaction_manager()
{
    boost::system::error_code ignored;
    socket.close(ignored);
}

void transaction_manager::run()
{
    upgrade_lock lock(table_mutex);
    start_client(lock);
    flush_sends();
}

void transaction_manager::serve_beat()
{
    upgrade_lock lock(table_mutex);
    start_client(lock);
}

void transaction_manager::beats_served() noexcept
{
    try {
        upgrade_lock lock(table_mutex);
        flush_sends();
    } catch (...) {
        // Locking failed: the queue goes out with the next flush.
    }
}

void transaction_manager::start_client(upgrade_lock& lock)
{
    // The message the first scenario message answers (the generated
    // identity, or a restarted client's last message) lasts for this call.
    struct end_start {
        client_messages& messages;
        ~end_start() { messages.end_start(); }
    } started{last_messages};
    const char* begin = nullptr;
    const char* end = nullptr;

    table_entry* entry = nullptr;
    try {
        {
            exclusive_from_upgrade exclusive(lock);
            entry = &make_reqpkt(begin, end);
        }
        std::ptrdiff_t length = build_next(*entry, begin, end);
        if (length >= 0 && length <= max_message_size) {
            queue_send(*entry, length);
            return;
        }
        // Unbuildable or too long: the entry stays and will time out.
        count_unsent(entry->second.second, length);
        if (g_opt_log)
            *g_opt_log << "# error:" << entry->first << std::endl;
    } catch (const std::exception& e) {
        if (entry)
            count_unsent(entry->second.second, 0);
        report_failure(entry, e.what());
    }
}

transaction_manager::table_entry& transaction_manager::make_reqpkt(const char*& begin, const char*& end)
{
    std::int32_t id;
    client_messages::range answered;
    if (free_buffers.empty()) {
        id = next_xid;
        // Ids stay within the 24 bits carried on the wire, so that a client's
        // table key always matches the id in its replies.
        next_xid = (next_xid + 1) & xid_mask;
        answered = last_messages.start_fresh(id);
    } else {
        // Restart: the client's last message becomes the message its first
        // scenario message answers, which keeps its id and identifiers; the
        // client starts without a previous request.
        const client_messages::restart restarted = last_messages.start_restart(free_buffers.front());
        free_buffers.pop_front();
        answered = restarted.answered;
        id = restarted.id;
    }
    begin = answered.begin;
    end = answered.end;
    transaction_info info;
    info.start_time = now();
    // An id still in the table keeps its entry (and its message).
    auto made = transactions.emplace(id, std::make_pair(stored_message(), info));
    if (made.second)
        ++counted.clients.started;
    return *made.first;
}

std::ptrdiff_t transaction_manager::build_next(table_entry& entry, const char* reply_begin, const char* reply_end)
{
    transaction_info& info = entry.second.second;
    // A message still waiting in the send queue goes out before its storage
    // is overwritten (a second answer to the same request, in one batch).
    if (info.queued_until_flush == flushes + 1)
        flush_sends();

    const std::int32_t scene = info.scene_index;
    info.scene_index = scene + 1;
    const std::ptrdiff_t length =
        last_messages.build(entry.second.first, *g_opt_scenario[static_cast<std::size_t>(scene)], reply_begin, reply_end);
    if (length < 0)
        return -1;
    info.send_time = now();
    return length;
}

void transaction_manager::queue_send(table_entry& entry, std::ptrdiff_t length)
{
    ++counted.steps[static_cast<std::size_t>(entry.second.second.scene_index - 1)].sent;
    send_queue.push_back(queued_send{entry.second.first.data, static_cast<std::size_t>(length)});
    entry.second.second.queued_until_flush = flushes + 1;
    if (send_queue.size() >= send_batch_size)
        flush_sends();
}

void transaction_manager::flush_sends() noexcept
{
    std::array<mmsghdr, send_batch_size> messages{};
    std::array<iovec, send_batch_size> parts{};
    const std::size_t count = send_queue.size();
    for (std::size_t i = 0; i < count; ++i) {
        parts[i] = iovec{const_cast<char*>(send_queue[i].data), send_queue[i].length};
        msghdr& header = messages[i].msg_hdr;
        header.msg_name = const_cast<sockaddr*>(server_endpoint.data());
        header.msg_namelen = static_cast<socklen_t>(server_endpoint.size());
        header.msg_iov = &parts[i];
        header.msg_iovlen = 1;
    }
    try {
        // The kernel copies each message before sendmmsg returns.
        std::size_t done = 0;
        while (done < count) {
            int sent = ::sendmmsg(socket.native_handle(), messages.data() + done, static_cast<unsigned>(count - done),
                                  MSG_DONTWAIT);
            if (sent > 0) {
                done += static_cast<std::size_t>(sent);
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // The send buffer is full: the rest wait for room in the
                // event loop, each holding a copy of its bytes.
                for (; done < count; ++done)
                    send(send_queue[done]);
            } else if (errno != EINTR) {
                // This message failed; like any failed send it is not
                // retried, and its client times out.
                ++done;
            }
        }
    } catch (const std::exception&) {
        // No memory for a waiting send: those clients time out.
    }
    send_queue.clear();
    ++flushes;
}

void transaction_manager::send(const queued_send& message)
{
    // The handler holds the copy, so the bytes outlive the client's message,
    // which its next build or its removal may overwrite before the send.
    held_bytes held = std::make_shared<const std::vector<char>>(message.data, message.data + message.length);
    socket.async_send_to(boost::asio::buffer(*held), server_endpoint, 0,
                         [this, held](const boost::system::error_code& error, std::size_t bytes) {
                             on_send(error, bytes, held);
                         });
}

void transaction_manager::on_send(const boost::system::error_code&, std::size_t, held_bytes)
{
    // A failed send is not retried: the client times out.
}

void transaction_manager::await_datagrams()
{
    // A zero-byte peek completes as soon as a datagram waits, also one that
    // arrived before the wait began (Asio tries a receive at once, where a
    // plain wait for readability would sleep until the next arrival).
    socket.async_receive(boost::asio::mutable_buffer(), boost::asio::socket_base::message_peek,
                         [this](const boost::system::error_code& error, std::size_t) { on_readable(error); });
}

void transaction_manager::read_batch(receive_batch& batch)
{
    constexpr unsigned capacity = receive_batch::capacity;
    std::array<mmsghdr, capacity> messages{};
    std::array<iovec, capacity> parts{};
    for (unsigned i = 0; i < capacity; ++i) {
        parts[i] = iovec{batch.buffers[i].data(), batch.buffers[i].size()};
        msghdr& header = messages[i].msg_hdr;
        header.msg_name = &batch.sources[i];
        header.msg_namelen = sizeof(sockaddr_in6);
        header.msg_iov = &parts[i];
        header.msg_iovlen = 1;
        header.msg_control = batch.controls[i].bytes;
        header.msg_controllen = sizeof batch.controls[i].bytes;
    }
    // Nothing waiting (EAGAIN) leaves the batch empty; a real error shows
    // again in the next wait.
    const int got = ::recvmmsg(socket.native_handle(), messages.data(), capacity, MSG_DONTWAIT, nullptr);
    for (int i = 0; i < got; ++i) {
        batch.lengths[batch.count++] = messages[i].msg_len; // longer datagrams were cut to the buffer
        msghdr& header = messages[i].msg_hdr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                std::memcpy(&batch.drops, CMSG_DATA(c), sizeof batch.drops);
                batch.has_drops = true;
            }
        }
    }
}

void transaction_manager::on_readable(const boost::system::error_code& error)
{
    if (error)
        return; // cancelled or failed: the receive chain ends here

    batch_ptr batch;
    {
        boost::lock_guard<boost::mutex> lock(batch_pool_mutex);
        if (!batch_pool.empty()) {
            batch = std::move(batch_pool.back());
            batch_pool.pop_back();
        }
    }
    if (!batch)
        batch = std::make_shared<receive_batch>();
    receive_batch& received = *batch;
    read_batch(received);
    // Another worker thread can take the next datagrams meanwhile.
    await_datagrams();

    if (received.count != 0) {
        upgrade_lock lock(table_mutex);
        if (received.has_drops)
            count_kernel_drops(received.drops);
        for (unsigned i = 0; i < received.count; ++i)
            handle_reply(lock, received.buffers[i], received.sources[i]);
        flush_sends();
    }

    received.clear();
    boost::lock_guard<boost::mutex> lock(batch_pool_mutex);
    batch_pool.push_back(std::move(batch));
}

void transaction_manager::count_kernel_drops(std::uint32_t total)
{
    // Batches may be handled out of order; the count only grows (modulo 2^32).
    const std::uint32_t more = total - kernel_drops;
    if (static_cast<std::int32_t>(more) > 0) {
        counted.rcvbuf_drops += more;
        kernel_drops = total;
    }
}

void transaction_manager::handle_reply(upgrade_lock& lock, packet_buffer& buffer, const sockaddr_in6& source)
{
    ++counted.received;
    const char* const reply_begin = buffer.data();
    const char* const reply_end = reply_begin + buffer.size();
    const char* message = reply_begin;
    const char* message_end = reply_end;
    relay_param::get_message(message, message_end);

    auto found = transactions.find(wire::read_xid(message, reply_end));
    if (found == transactions.end()) {
        ++counted.unmatched; // a late reply, or traffic that is not ours
        return;
    }

    if (g_opt_log) {
        boost::asio::ip::udp::endpoint from;
        std::memcpy(from.data(), &source, sizeof source);
        *g_opt_log << "# received xid:" << found->first << " from:" << from << std::endl;
    }

    table_entry& entry = *found;
    transaction_info& info = entry.second.second;
    // Live entries have built at least their first message.
    const std::size_t awaited = static_cast<std::size_t>(info.scene_index - 1);
    if (!is_awaited_answer(info, message, message_end)) {
        // Another answer to the message before: it was answered already.
        ++counted.steps[awaited == 0 ? 0 : awaited - 1].duplicates;
        return;
    }
    const time_point arrived = now();
    step_measurements& step = counted.steps[awaited];
    ++step.answered;
    step.latency.record(micros(info.send_time, arrived));
    if (!wire::has_option(message, message_end, opt_server_identifier))
        ++step.no_server_id;
    const stored_message& request = entry.second.first;
    const reply_verdict verdict = judge_reply(request.data, request.data + request.size, message, message_end);
    if (verdict.refused()) {
        refuse(info, step, verdict);
        return;
    }

    if (static_cast<std::size_t>(info.scene_index) < g_opt_scenario.size()) {
        std::ptrdiff_t length;
        try {
            length = build_next(entry, reply_begin, reply_end);
        } catch (const std::exception& e) {
            count_unsent(info, 0);
            report_failure(&entry, e.what());
            return;
        }
        if (length > 0 && length <= max_message_size) {
            queue_send(entry, length);
            return;
        }
        if (length != 0) {
            // Unbuildable or too long messages leave the entry to time out.
            count_unsent(info, length);
            return;
        }
    }

    ++counted.clients.completed;
    counted.clients.latency.record(micros(info.start_time, arrived));
    exclusive_from_upgrade exclusive(lock);
    results_since_clear.add(info.start_time, arrived);
    last_messages.release(entry.second.first);
    transactions.erase(found);
}

bool transaction_manager::is_awaited_answer(const transaction_info& info, const char* message, const char* end) const
{
    if (info.stalled || info.queued_until_flush == flushes + 1)
        return false; // nothing is awaited, or the awaited message has not left yet
    const int type = message < end ? static_cast<int>(wire::get8(message)) : 0;
    return answers(g_opt_scenario[static_cast<std::size_t>(info.scene_index - 1)]->type_, type);
}

void transaction_manager::count_unsent(transaction_info& info, std::ptrdiff_t build_result)
{
    info.stalled = true;
    const auto step = static_cast<std::size_t>(info.scene_index - 1);
    // A null build is a refusal when the encoder noted the refusing status;
    // the refusal belongs to the step whose answer carried it.
    const unsigned status = build_result < 0 ? take_refusal() : 0;
    if (status != 0 && step > 0)
        ++counted.steps[step - 1].refused[std::min<std::size_t>(status, status_slots - 1)];
    else
        ++counted.steps[step].unbuildable;
}

void transaction_manager::refuse(transaction_info& info, step_measurements& step, const reply_verdict& verdict)
{
    // The client stops here, as after any refusal, and times out later.
    info.stalled = true;
    if (verdict.what == reply_verdict::kind::no_lease)
        ++step.no_lease_offered;
    else
        ++step.refused[std::min<std::size_t>(verdict.status, status_slots - 1)];
    if (g_opt_log)
        log_verdict(*g_opt_log, verdict);
}

void transaction_manager::report_failure(const table_entry* entry, const char* what)
{
    if (g_opt_log) {
        *g_opt_log << "# error:";
        if (entry)
            *g_opt_log << entry->first;
        *g_opt_log << " " << what << std::endl;
    }
    boost::lock_guard<boost::mutex> lock(reported_mutex);
    if (reported.insert(what).second)
        std::cerr << "Error: " << what << std::endl;
}

void transaction_manager::stats(const time_point& cutoff, unsigned& results, unsigned& timeouts, unsigned& pending,
                                unsigned& avg_ms, unsigned& max_ms, unsigned& min_ms)
{
    exclusive_lock lock(table_mutex);
    // Queued messages go out before their storage may be handed to restarts.
    flush_sends();
    results = results_since_clear.count;
    timeouts = 0;
    pending = 0;
    for (auto it = transactions.begin(); it != transactions.end();) {
        const transaction_info& info = it->second.second;
        if (cutoff < info.send_time) {
            ++pending;
            ++it;
            continue;
        }
        ++timeouts;
        ++counted.clients.timed_out;
        if (info.stalled)
            ++counted.clients.stalled;
        else
            ++counted.steps[static_cast<std::size_t>(info.scene_index - 1)].timed_out;
        keep_for_restart(*it);
        it = transactions.erase(it);
    }

    const result_totals& totals = results_since_clear;
    avg_ms = totals.count ? static_cast<unsigned>(totals.sum_ms / totals.count) : 0;
    max_ms = totals.count ? totals.max_ms : 0;
    min_ms = totals.count ? totals.min_ms : 0;
}

void transaction_manager::keep_for_restart(table_entry& entry)
{
    // Only a client that had a reply is worth restarting.
    if (entry.second.second.scene_index > 1)
        free_buffers.push_back(entry.second.first);
    else
        last_messages.release(entry.second.first);
}

void transaction_manager::clear_results()
{
    exclusive_lock lock(table_mutex);
    flush_sends();
    counted.clients.cleared += transactions.size();
    for (auto& entry : transactions)
        keep_for_restart(entry);
    transactions.clear();
    results_since_clear = result_totals();
}

measurements transaction_manager::take_measurements()
{
    measurements fresh(g_opt_scenario.size());
    exclusive_lock lock(table_mutex);
    std::swap(fresh, counted);
    return fresh;
}

} // namespace quorvelin
} // namespace zarn
