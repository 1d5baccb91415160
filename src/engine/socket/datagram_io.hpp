#ifndef QUORVELIN_ENGINE_SOCKET_DATAGRAM_IO_HPP
#define QUORVELIN_ENGINE_SOCKET_DATAGRAM_IO_HPP

// The engine's side of its UDP socket: the socket options, receiving in
// batches (one recvmmsg per wake-up, into pooled batches), sending in batches
// (a queue sent by sendmmsg, with what the socket cannot take at once left
// to the event loop) and the kernel's count of dropped datagrams.
//
// The send queue and the drop count are not locked here: the caller
// serialises those calls (the transaction manager holds its table lock). The
// batch pool has its own lock.

#include "message/wire.hpp"

#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zarn {
namespace quorvelin {

// One message, relay layers included; zero-filled past its end.
using packet_buffer = std::array<char, wire::packet_size>;

// Datagrams taken from the socket in one wake-up, by one recvmmsg that does
// not wait. Every buffer is zero past its datagram, as the decoder expects of
// a packet buffer.
struct receive_batch {
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
    void clear();
};

// What a flush does after sendmmsg sent nothing, by errno.
enum class send_failure {
    wait_for_room, // the send buffer is full: the rest go through the event loop
    retry,         // interrupted: the same messages again
    skip_one,      // this message failed: it is dropped, its client times out
};
send_failure classify_send_error(int error) noexcept;

// What a bind refused for want of privilege (EACCES) reports: the port, the
// privilege it needs, and the command that grants it to the binary at
// `program`.
std::string privileged_port_refusal(unsigned short port, const std::string& program);

class datagram_io {
public:
    // Bytes of replies the socket can hold while the workers are busy.
    static constexpr int receive_buffer_size = 4 << 20;
    // Messages queued before the queue is sent without waiting for the end
    // of the beats or of the received batch.
    static constexpr std::size_t send_batch_size = 64;

    explicit datagram_io(boost::asio::ip::udp::socket& socket) : socket(socket) {}

    // Opens the socket with its options, binds it to [local]:recv_port (::
    // for any address), and sends everything to `server`. A failed bind
    // throws boost::system::system_error ("bind: ..."), or, refused for
    // want of privilege, std::runtime_error with privileged_port_refusal.
    void open(const boost::asio::ip::address_v6& local, unsigned short recv_port,
              const boost::asio::ip::udp::endpoint& server);
    const boost::asio::ip::udp::endpoint& server() const { return server_endpoint; }

    // The flush that will send what is queued now.
    std::uint64_t next_flush() const { return flushes + 1; }
    // Queues [data, data + length), which must stay put until the next
    // flush; a full queue is flushed at once.
    void queue(const char* data, std::size_t length);
    // Sends the queue with as few system calls as the socket allows.
    void flush() noexcept;

    // Calls `on_readable(error)` once a datagram can be read (also one that
    // arrived before the call).
    template <class Handler>
    void await_datagrams(Handler on_readable)
    {
        // A zero-byte peek completes as soon as a datagram waits, where a
        // plain wait for readability would sleep until the next arrival.
        socket.async_receive(boost::asio::mutable_buffer(), boost::asio::socket_base::message_peek,
                             [on_readable](const boost::system::error_code& error, std::size_t) {
                                 on_readable(error);
                             });
    }
    using batch_ptr = std::shared_ptr<receive_batch>;
    // A cleared batch from the pool, and back to it.
    batch_ptr take_batch();
    void give_back(batch_ptr batch);
    // Takes what waits in the socket, without blocking, into the batch.
    void read(receive_batch& batch);
    // Datagrams the kernel dropped since the count last seen, from the
    // running total a batch carried.
    std::uint32_t new_drops(std::uint32_t total);

private:
    // A message of the queue: it stays put until the queue is sent.
    struct queued_send {
        const char* data;
        std::size_t length;
    };
    // The bytes of a send left to the event loop, held until it completes.
    using held_bytes = std::shared_ptr<const std::vector<char>>;

    void send_later(const queued_send& message);

    boost::asio::ip::udp::socket& socket;
    boost::asio::ip::udp::endpoint server_endpoint;
    std::vector<queued_send> send_queue;
    // Flushes of the send queue so far.
    std::uint64_t flushes = 0;
    // The kernel's count of receive-buffer drops when last seen.
    std::uint32_t kernel_drops = 0;

    boost::mutex batch_pool_mutex;
    std::vector<batch_ptr> batch_pool;
};

} // namespace quorvelin
} // namespace zarn

#endif
