#ifndef QUORVELIN_TESTS_NET_LOOPBACK_LAB_HPP
#define QUORVELIN_TESTS_NET_LOOPBACK_LAB_HPP

// Test support for the DHCPv6 ports on loopback: a private network namespace
// per test (so concurrent runs and local servers never collide on 546/547),
// and a UDP peer on [::1]:547 that plays the server.

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

// A blocking UDP socket on [::1]:547 that answers whoever sent to it last.
class udp_peer {
public:
    udp_peer()
    {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(547);
        address.sin6_addr = in6addr_loopback;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error(std::string("test peer cannot bind [::1]:547: ") + std::strerror(errno));
    }
    ~udp_peer() { ::close(fd_); }
    udp_peer(const udp_peer&) = delete;
    udp_peer& operator=(const udp_peer&) = delete;

    // One datagram, waiting up to `timeout`; empty when none came.
    bytes receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
    {
        pollfd waiting{fd_, POLLIN, 0};
        bytes data(4000);
        socklen_t length = sizeof client_;
        const ssize_t n = ::poll(&waiting, 1, static_cast<int>(timeout.count())) != 1 ? -1
            : ::recvfrom(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&client_), &length);
        data.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return data;
    }

    void send(const bytes& data)
    {
        if (::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&client_), sizeof client_) !=
            static_cast<ssize_t>(data.size()))
            throw std::runtime_error(std::string("test peer cannot send: ") + std::strerror(errno));
    }

    unsigned short client_port() const { return ntohs(client_.sin6_port); }

private:
    int fd_ = ::socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 client_{};
};

} // namespace loopback_lab

#endif
