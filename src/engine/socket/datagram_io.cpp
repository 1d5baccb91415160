#include "engine/socket/datagram_io.hpp"

#include <boost/thread/locks.hpp>

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zarn {
namespace quorvelin {

void receive_batch::clear()
{
    for (unsigned i = 0; i < count; ++i)
        std::memset(buffers[i].data(), 0, lengths[i]);
    count = 0;
    has_drops = false;
}

send_failure classify_send_error(int error) noexcept
{
    if (error == EAGAIN || error == EWOULDBLOCK)
        return send_failure::wait_for_room;
    if (error == EINTR)
        return send_failure::retry;
    return send_failure::skip_one;
}

namespace {

// The running binary's own path, for a command that names it.
std::string this_program()
{
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path)
        return "/path/to/quorvelin";
    return std::string(path, static_cast<std::size_t>(length));
}

} // namespace

std::string privileged_port_refusal(unsigned short port, const std::string& program)
{
    return "bind: Permission denied: UDP port " + std::to_string(port) +
           " needs root or the capability CAP_NET_BIND_SERVICE; to run without root, grant it to the binary "
           "once: setcap cap_net_bind_service=+ep " + program;
}

void datagram_io::open(const boost::asio::ip::address_v6& local, unsigned short recv_port,
                       const boost::asio::ip::udp::endpoint& server)
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
    boost::system::error_code error;
    socket.bind(boost::asio::ip::udp::endpoint(local, recv_port), error);
    // The DHCPv6 client and server ports are privileged ports: an ordinary
    // user learns here what to do about it.
    if (error == boost::system::errc::permission_denied)
        throw std::runtime_error(privileged_port_refusal(recv_port, this_program()));
    if (error)
        throw boost::system::system_error(error, "bind");
    server_endpoint = server;
}

void datagram_io::queue(const char* data, std::size_t length)
{
    send_queue.push_back(queued_send{data, length});
    if (send_queue.size() >= send_batch_size)
        flush();
}

void datagram_io::flush() noexcept
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
            const int sent = ::sendmmsg(socket.native_handle(), messages.data() + done,
                                        static_cast<unsigned>(count - done), MSG_DONTWAIT);
            if (sent > 0) {
                done += static_cast<std::size_t>(sent);
                continue;
            }
            switch (classify_send_error(errno)) {
            case send_failure::wait_for_room:
                // The rest wait for room in the event loop, each holding a
                // copy of its bytes.
                for (; done < count; ++done)
                    send_later(send_queue[done]);
                break;
            case send_failure::skip_one:
                // Like any failed send it is not retried.
                ++done;
                break;
            case send_failure::retry:
                break;
            }
        }
    } catch (const std::exception&) {
        // No memory for a waiting send: those clients time out.
    }
    send_queue.clear();
    ++flushes;
}

void datagram_io::send_later(const queued_send& message)
{
    // The handler holds the copy, so the bytes outlive the client's message,
    // which its next build or its removal may overwrite before the send. A
    // failed send is not retried: the client times out.
    held_bytes held = std::make_shared<const std::vector<char>>(message.data, message.data + message.length);
    socket.async_send_to(boost::asio::buffer(*held), server_endpoint, 0,
                         [held](const boost::system::error_code&, std::size_t) {});
}

datagram_io::batch_ptr datagram_io::take_batch()
{
    {
        boost::lock_guard<boost::mutex> lock(batch_pool_mutex);
        if (!batch_pool.empty()) {
            batch_ptr batch = std::move(batch_pool.back());
            batch_pool.pop_back();
            return batch;
        }
    }
    return std::make_shared<receive_batch>();
}

void datagram_io::give_back(batch_ptr batch)
{
    batch->clear();
    boost::lock_guard<boost::mutex> lock(batch_pool_mutex);
    batch_pool.push_back(std::move(batch));
}

void datagram_io::read(receive_batch& batch)
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

std::uint32_t datagram_io::new_drops(std::uint32_t total)
{
    // Batches may be handled out of order; the count only grows (modulo 2^32).
    const std::uint32_t more = total - kernel_drops;
    if (static_cast<std::int32_t>(more) <= 0)
        return 0;
    kernel_drops = total;
    return more;
}

} // namespace quorvelin
} // namespace zarn
