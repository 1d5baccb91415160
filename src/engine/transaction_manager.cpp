#include "engine/transaction_manager.hpp"

#include "main/options.hpp"
#include "message/param.hpp"

#include <boost/thread/locks.hpp>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <limits>

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

// Latency in whole milliseconds; a completion before the start (the wall
// clock was stepped back) counts as 0 rather than wrapping.
std::uint32_t latency_ms(const result_record& record)
{
    auto ns = (record.end_time - record.start_time).count();
    return ns <= 0 ? 0 : static_cast<std::uint32_t>(ns / 1000000);
}

} // namespace

transaction_manager::transaction_manager(boost::asio::io_service& io, boost::asio::ip::address_v6 server,
                                         unsigned short send_port, unsigned short recv_port,
                                         const boost::asio::ip::basic_endpoint<morvo::asio::raw>& endpoint)
    : beat_timer(io), socket(io)
{
    socket.open(boost::asio::ip::udp::v6());
    // Replies to a whole second of clients can arrive in a burst; with the
    // default buffer the kernel would drop them while a worker is busy
    // building, and the test would measure the generator instead of the
    // server. The kernel caps the size at net.core.rmem_max; a refusal is
    // harmless.
    boost::system::error_code ignored;
    socket.set_option(boost::asio::socket_base::receive_buffer_size(4 << 20), ignored);
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
    // Scratch area for the message the first scenario message answers: the
    // generated identity, or a restarted client's last message.
    packet_buffer request{};
    char* begin = request.data();
    char* end = begin + request.size();

    upgrade_lock lock(table_mutex);
    table_entry* entry = nullptr;
    try {
        {
            exclusive_from_upgrade exclusive(lock);
            entry = &make_reqpkt(begin, end);
        }
        buffer_ptr buffer = entry->second.first;
        std::ptrdiff_t length = build_next(*entry, begin, end);
        if (length >= 0 && length <= max_message_size) {
            send(buffer, length);
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
    packet_buffer& buffer = *entry.second.first;
    transaction_info& info = entry.second.second;
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

void transaction_manager::send(const buffer_ptr& buffer, std::ptrdiff_t length)
{
    // The handler holds the buffer, so the bytes outlive a removed entry.
    socket.async_send_to(boost::asio::buffer(buffer->data(), static_cast<std::size_t>(length)), server_endpoint, 0,
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
    // Each receive has its own zero-filled buffer, owned by the handler so
    // that it is freed even if the handler never runs.
    auto buffer = std::make_shared<packet_buffer>();
    socket.async_receive_from(boost::asio::buffer(*buffer), sender_endpoint,
                              [this, buffer](const boost::system::error_code& error, std::size_t bytes) {
                                  on_receive(error, bytes, buffer.get());
                              });
}

void transaction_manager::on_receive(const boost::system::error_code& error, std::size_t, packet_buffer* buffer)
{
    if (error)
        return; // cancelled or failed: the receive chain ends here

    const boost::asio::ip::udp::endpoint source = sender_endpoint;
    async_receive();

    upgrade_lock lock(table_mutex);
    const char* const reply_begin = buffer->data();
    const char* const reply_end = reply_begin + buffer->size();
    const char* message = reply_begin;
    const char* message_end = reply_end;
    relay_param::get_message(message, message_end);

    auto found = transactions.find(read_xid(message, reply_end));
    if (found == transactions.end())
        return; // a late reply, or traffic that is not ours

    if (g_opt_log)
        *g_opt_log << "# received xid:" << found->first << " from:" << source << std::endl;

    table_entry& entry = *found;
    if (static_cast<std::size_t>(entry.second.second.scene_index) < g_opt_scenario.size()) {
        buffer_ptr request = entry.second.first;
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
                send(request, length);
            return;
        }
    }

    exclusive_from_upgrade exclusive(lock);
    result_records.push_back(result_record{entry.first, entry.second.second.start_time, now()});
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
    results = static_cast<unsigned>(result_records.size());
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

    avg_ms = max_ms = min_ms = 0;
    if (result_records.empty())
        return;
    std::uint64_t sum = 0; // 32 bits would wrap after about 50 days of latency
    std::uint32_t largest = 0;
    std::uint32_t smallest = std::numeric_limits<std::uint32_t>::max();
    for (const result_record& record : result_records) {
        std::uint32_t ms = latency_ms(record);
        sum += ms;
        largest = std::max(largest, ms);
        smallest = std::min(smallest, ms);
    }
    avg_ms = static_cast<unsigned>(sum / result_records.size());
    max_ms = largest;
    min_ms = smallest;
}

void transaction_manager::clear_results()
{
    exclusive_lock lock(table_mutex);
    for (auto& entry : transactions)
        if (entry.second.second.scene_index > 1)
            free_buffers.push_back(entry.second.first);
    transactions.clear();
    result_records.clear();
}

} // namespace quorvelin
} // namespace zarn
