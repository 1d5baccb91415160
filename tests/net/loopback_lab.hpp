#ifndef QUORVELIN_TESTS_NET_LOOPBACK_LAB_HPP
#define QUORVELIN_TESTS_NET_LOOPBACK_LAB_HPP

// Test support for the DHCPv6 ports on loopback: a private network namespace
// per test (so concurrent runs and local servers never collide on 546/547),
// and a UDP peer on [::1]:547 that plays the server with hand-made bytes.

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace loopback_lab {

using bytes = std::vector<unsigned char>;

// Moves the calling thread (and the threads and sockets it creates from now
// on) into a fresh network namespace with loopback up; returns to the
// original one when destroyed. Without the privilege for that, falls back to
// the host's loopback under a machine-wide lock file.
class private_network {
public:
    private_network()
    {
        original_ = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        if (original_ >= 0 && ::unshare(CLONE_NEWNET) == 0 && loopback_up()) {
            isolated_ = true;
            return;
        }
        lock_ = ::open("/tmp/quorvelin-dhcp-ports.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (lock_ >= 0)
            ::flock(lock_, LOCK_EX);
    }
    ~private_network()
    {
        if (isolated_)
            ::setns(original_, CLONE_NEWNET);
        if (original_ >= 0)
            ::close(original_);
        if (lock_ >= 0)
            ::close(lock_);
    }
    private_network(const private_network&) = delete;
    private_network& operator=(const private_network&) = delete;

    bool isolated() const { return isolated_; }

private:
    static bool loopback_up()
    {
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0)
            return false;
        ifreq request{};
        std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
        bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
        request.ifr_flags |= IFF_UP;
        up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
        ::close(fd);
        return up;
    }

    int original_ = -1;
    int lock_ = -1;
    bool isolated_ = false;
};

struct datagram {
    bytes data;
    sockaddr_in6 from{};

    int type() const { return data.empty() ? -1 : data[0]; }
    std::int32_t xid() const { return data.size() < 4 ? -1 : data[1] << 16 | data[2] << 8 | data[3]; }
};

// A blocking UDP socket on [::1]:port.
class udp_peer {
public:
    explicit udp_peer(unsigned short port = 547)
    {
        fd_ = ::socket(AF_INET6, SOCK_DGRAM, 0);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_loopback;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("test peer cannot bind [::1]:" + std::to_string(port) + ": " +
                                     std::strerror(errno));
    }
    ~udp_peer() { ::close(fd_); }
    udp_peer(const udp_peer&) = delete;
    udp_peer& operator=(const udp_peer&) = delete;

    // Waits up to `timeout` for one datagram.
    bool receive(datagram& out, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
    {
        pollfd waiting{fd_, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(timeout.count())) != 1)
            return false;
        out.data.assign(4000, 0);
        socklen_t length = sizeof out.from;
        ssize_t n = ::recvfrom(fd_, out.data.data(), out.data.size(), 0, reinterpret_cast<sockaddr*>(&out.from),
                               &length);
        if (n < 0)
            return false;
        out.data.resize(static_cast<std::size_t>(n));
        return true;
    }

    void send_to(const sockaddr_in6& to, const bytes& data)
    {
        if (::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
            static_cast<ssize_t>(data.size()))
            throw std::runtime_error(std::string("test peer cannot send: ") + std::strerror(errno));
    }

private:
    int fd_ = -1;
};

inline void put16(bytes& out, unsigned value)
{
    out.push_back(static_cast<unsigned char>(value >> 8));
    out.push_back(static_cast<unsigned char>(value));
}

inline void put32(bytes& out, std::uint32_t value)
{
    put16(out, value >> 16);
    put16(out, value & 0xFFFF);
}

inline void put_option(bytes& out, unsigned code, const bytes& data)
{
    put16(out, code);
    put16(out, static_cast<unsigned>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
}

// The whole option `code` (header included) of a client/server message, or
// nothing.
inline bytes find_option(const bytes& message, unsigned code)
{
    std::size_t at = 4;
    while (at + 4 <= message.size()) {
        unsigned found = message[at] << 8 | message[at + 1];
        std::size_t length = message[at + 2] << 8 | message[at + 3];
        if (found == 0 || at + 4 + length > message.size())
            break;
        if (found == code)
            return bytes(message.begin() + at, message.begin() + at + 4 + length);
        at += 4 + length;
    }
    return bytes();
}

// The server's DUID-LL, as carried in its Server Identifier.
inline bytes server_duid()
{
    return {0x00, 0x03, 0x00, 0x01, 0x02, 0x42, 0xac, 0x11, 0x00, 0x02};
}

// An ADVERTISE or REPLY from the test server: the client's identifier copied
// from its request, the server identifier and IA_NA 1 with one address.
inline bytes server_answer(unsigned type, const datagram& request, unsigned char address_tail = 1)
{
    // Type, then the request's transaction id.
    bytes out(request.data.begin(), request.data.begin() + 4);
    out[0] = static_cast<unsigned char>(type);
    bytes client_id = find_option(request.data, 1);
    out.insert(out.end(), client_id.begin(), client_id.end());
    put_option(out, 2, server_duid());

    bytes iaaddr{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, address_tail};
    put32(iaaddr, 3000);
    put32(iaaddr, 4000);
    bytes ia_na;
    put32(ia_na, 1);
    put32(ia_na, 1000);
    put32(ia_na, 2000);
    put_option(ia_na, 5, iaaddr);
    put_option(out, 3, ia_na);
    return out;
}

} // namespace loopback_lab

#endif
