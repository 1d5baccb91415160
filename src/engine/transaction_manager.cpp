#include "engine/transaction_manager.hpp"

#include "main/options.hpp"
#include "message/param.hpp"

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

// The transaction id in bytes 1-3 of the message at `message`. Bytes at or
// past `limit` (the end of the packet buffer) read as zero, like the zero
// tail of a buffer.
std::int32_t read_xid(const char* message, const char* limit)
{
    std::int32_t xid = 0;
    for (int i = 1; i <= 3; ++i) {
        unsigned char byte = message + i < limit ? static_cast<unsigned char>(message[i]) : 0;
        xid = xid << 8 | byte;
    }
    return xid;
}

} // namespace

// Datagrams taken from the socket in one wake-up: the first by the
// asynchronous receive, the rest by one recvmmsg that does not wait. Every
// buffer is zero past its datagram, as the decoder expects of a packet
// buffer.
struct transaction_manager::receive_batch {
    static constexpr unsigned capacity = 64;

    std::array<packet_buffer, capacity> buffers{};
    std::array<std::size_t, capacity> lengths{};
    std::array<sockaddr_in6, capacity> sources{};
    unsigned count = 0;

    // Zeroes what the datagrams wrote, for the next use.
    void clear()
    {
        for (unsigned i = 0; i < count; ++i)
            std::memset(buffers[i].data(), 0, lengths[i]);
        count = 0;
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
    : beat_timer(io), socket(io)
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
    socket.bind(boost::asio::ip::udp::endpoint(boost::asio::ip::address_v6::any(), recv_port));

    // The scope id makes link-scoped destinations (ff02::1:2) leave through
    // the named device.
    server.scope_id(static_cast<unsigned long>(static_cast<std::int64_t>(endpoint.ifindex())));
    server_endpoint = boost::asio::ip::udp::endpoint(server, send_port);

    if (g_opt_log)
        *g_opt_log << "# send:" << server_endpoint << " recv:" << socket.local_endpoint() << std::endl;

    async_receive();
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
    // Scratch area for the message the first scenario message answers: the
    // generated identity, or a restarted client's last message.
    packet_buffer request{};
    char* begin = request.data();
    char* end = begin + request.size();

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
        if (g_opt_log)
            *g_opt_log << "# error:" << entry->first << std::endl;
    } catch (const std::exception& e) {
        report_failure(entry, e.what());
    }
}

transaction_manager::table_entry& transaction_manager::make_reqpkt(char*& begin, char*& end)
{
    std::int32_t id;
    buffer_ptr buffer;
    if (free_buffers.empty()) {
        id = next_xid;
        // Ids stay within the 24 bits carried on the wire, so that a client's
        // table key always matches the id in its replies.
        next_xid = (next_xid + 1) & xid_mask;
        end = top_param::init_packet(id, begin, end);
        buffer = std::make_shared<packet_buffer>();
    } else {
        // Restart: the client's last message becomes the message its first
        // scenario message answers, which keeps its id and identifiers.
        buffer = std::move(free_buffers.front());
        free_buffers.pop_front();
        std::memcpy(begin, buffer->data(), buffer->size());
        end = begin + buffer->size();
        const char* message = begin;
        const char* message_end = end;
        relay_param::get_message(message, message_end);
        id = read_xid(message, end);
        buffer->fill(0);
    }
    transaction_info info;
    info.start_time = now();
    // An id still in the table keeps its entry; the new buffer is dropped.
    return *transactions.emplace(id, std::make_pair(std::move(buffer), info)).first;
}

std::ptrdiff_t transaction_manager::build_next(table_entry& entry, const char* reply_begin, const char* reply_end)
{
    transaction_info& info = entry.second.second;
    // A message still waiting in the send queue goes out before its buffer
    // is overwritten (a second answer to the same request, in one batch).
    if (info.queued_until_flush == flushes + 1)
        flush_sends();

    packet_buffer& buffer = *entry.second.first;
    // The client's previous request, for the options copied from it.
    const packet_buffer previous = buffer;
    const std::int32_t scene = info.scene_index;
    info.scene_index = scene + 1;

    char* out = buffer.data();
    char* last = g_opt_scenario[scene]->build_packet(out, out + buffer.size(), reply_begin, reply_end,
                                                     previous.data(), previous.data() + previous.size(), 0);
    if (!last)
        return -1;
    info.send_time = now();
    return last - out;
}

void transaction_manager::queue_send(table_entry& entry, std::ptrdiff_t length)
{
    send_queue.push_back(queued_send{entry.second.first, static_cast<std::size_t>(length)});
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
        parts[i] = iovec{send_queue[i].buffer->data(), send_queue[i].length};
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
                // event loop, each holding its buffer.
                for (; done < count; ++done)
                    send(send_queue[done].buffer, send_queue[done].length);
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

void transaction_manager::send(const buffer_ptr& buffer, std::size_t length)
{
    // The handler holds the buffer, so the bytes outlive a removed entry.
    socket.async_send_to(boost::asio::buffer(buffer->data(), length), server_endpoint, 0,
                         [this, buffer](const boost::system::error_code& error, std::size_t bytes) {
                             on_send(error, bytes, buffer);
                         });
}

void transaction_manager::on_send(const boost::system::error_code&, std::size_t, buffer_ptr)
{
    // A failed send is not retried: the client times out.
}

void transaction_manager::async_receive()
{
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
    // The handler owns the batch, so that it is freed even if the handler
    // never runs.
    socket.async_receive_from(boost::asio::buffer(batch->buffers[0]), sender_endpoint,
                              [this, batch](const boost::system::error_code& error, std::size_t bytes) {
                                  on_receive(error, bytes, batch);
                              });
}

void transaction_manager::drain_socket(receive_batch& batch)
{
    constexpr unsigned room = receive_batch::capacity - 1;
    std::array<mmsghdr, room> messages{};
    std::array<iovec, room> parts{};
    for (unsigned i = 0; i < room; ++i) {
        parts[i] = iovec{batch.buffers[i + 1].data(), batch.buffers[i + 1].size()};
        msghdr& header = messages[i].msg_hdr;
        header.msg_name = &batch.sources[i + 1];
        header.msg_namelen = sizeof(sockaddr_in6);
        header.msg_iov = &parts[i];
        header.msg_iovlen = 1;
    }
    // Nothing waiting (EAGAIN) is the usual end; a real error shows again in
    // the next asynchronous receive.
    int got = ::recvmmsg(socket.native_handle(), messages.data(), room, MSG_DONTWAIT, nullptr);
    for (int i = 0; i < got; ++i)
        batch.lengths[batch.count++] = messages[i].msg_len; // longer datagrams were cut to the buffer
}

void transaction_manager::on_receive(const boost::system::error_code& error, std::size_t bytes,
                                     const batch_ptr& batch)
{
    if (error)
        return; // cancelled or failed: the receive chain ends here

    receive_batch& received = *batch;
    received.lengths[0] = bytes;
    received.count = 1;
    std::memcpy(&received.sources[0], sender_endpoint.data(),
                std::min<std::size_t>(sender_endpoint.size(), sizeof(sockaddr_in6)));
    drain_socket(received);
    // Another worker thread can take the next datagrams meanwhile.
    async_receive();

    {
        upgrade_lock lock(table_mutex);
        lifetime.received += received.count;
        for (unsigned i = 0; i < received.count; ++i)
            handle_reply(lock, received.buffers[i], received.sources[i]);
        flush_sends();
    }

    received.clear();
    boost::lock_guard<boost::mutex> lock(batch_pool_mutex);
    batch_pool.push_back(batch);
}

void transaction_manager::handle_reply(upgrade_lock& lock, packet_buffer& buffer, const sockaddr_in6& source)
{
    const char* const reply_begin = buffer.data();
    const char* const reply_end = reply_begin + buffer.size();
    const char* message = reply_begin;
    const char* message_end = reply_end;
    relay_param::get_message(message, message_end);

    auto found = transactions.find(read_xid(message, reply_end));
    if (found == transactions.end())
        return; // a late reply, or traffic that is not ours
    ++lifetime.matched;

    if (g_opt_log) {
        boost::asio::ip::udp::endpoint from;
        std::memcpy(from.data(), &source, sizeof source);
        *g_opt_log << "# received xid:" << found->first << " from:" << from << std::endl;
    }

    table_entry& entry = *found;
    if (static_cast<std::size_t>(entry.second.second.scene_index) < g_opt_scenario.size()) {
        std::ptrdiff_t length;
        try {
            length = build_next(entry, reply_begin, reply_end);
        } catch (const std::exception& e) {
            report_failure(&entry, e.what());
            return;
        }
        if (length != 0) {
            // Unbuildable or too long messages leave the entry to time out.
            if (length > 0 && length <= max_message_size)
                queue_send(entry, length);
            return;
        }
    }

    exclusive_from_upgrade exclusive(lock);
    results_since_clear.add(entry.second.second.start_time, now());
    ++lifetime.completed;
    transactions.erase(found);
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
    // Queued messages go out before their buffers may be handed to restarts.
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
        // Only a client that had a reply is worth restarting.
        if (info.scene_index > 1)
            free_buffers.push_back(it->second.first);
        it = transactions.erase(it);
    }

    const result_totals& totals = results_since_clear;
    avg_ms = totals.count ? static_cast<unsigned>(totals.sum_ms / totals.count) : 0;
    max_ms = totals.count ? totals.max_ms : 0;
    min_ms = totals.count ? totals.min_ms : 0;
}

void transaction_manager::clear_results()
{
    exclusive_lock lock(table_mutex);
    flush_sends();
    for (auto& entry : transactions)
        if (entry.second.second.scene_index > 1)
            free_buffers.push_back(entry.second.first);
    transactions.clear();
    results_since_clear = result_totals();
}

traffic_totals transaction_manager::totals()
{
    exclusive_lock lock(table_mutex);
    return lifetime;
}

} // namespace quorvelin
} // namespace zarn
