#ifndef QUORVELIN_TESTS_HTTP_CLIENT_HPP
#define QUORVELIN_TESTS_HTTP_CLIENT_HPP

// A plain blocking HTTP client over loopback for the metrics endpoint's
// tests: whole requests, half-open ones, and the server's closing of a
// connection. Every wait is bounded (10 s), so that a server that keeps a
// connection too long fails an expectation instead of hanging the test.

#include <boost/asio/ip/tcp.hpp>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

namespace http_client {

using clock = std::chrono::steady_clock;
constexpr std::chrono::seconds bound{10};

struct answer {
    int status = 0;      // 0: the connection ended (or the bound passed) first
    std::string header;  // the status line and the fields
    std::string body;

    // The value of header field `name` (as written here), or "".
    std::string field(const std::string& name) const
    {
        const std::size_t at = header.find("\r\n" + name + ": ");
        if (at == std::string::npos)
            return "";
        const std::size_t from = at + name.size() + 4;
        return header.substr(from, header.find("\r\n", from) - from);
    }
};

class connection {
public:
    explicit connection(const boost::asio::ip::tcp::endpoint& to)
        : fd_(::socket(to.protocol().family(), SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        if (fd_ < 0 || ::connect(fd_, to.data(), static_cast<socklen_t>(to.size())) != 0)
            throw std::runtime_error("connect: " + std::string(std::strerror(errno)));
    }
    ~connection() { ::close(fd_); }
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    void send(const std::string& text)
    {
        if (::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("send: " + std::string(std::strerror(errno)));
    }

    // The next answer on this connection.
    answer receive()
    {
        answer got;
        std::size_t end;
        while ((end = pending_.find("\r\n\r\n")) == std::string::npos)
            if (!read_more())
                return got;
        got.header = pending_.substr(0, end + 2);
        pending_.erase(0, end + 4);
        const std::string length = got.field("Content-Length");
        const std::size_t size = length.empty() ? 0 : std::stoul(length);
        while (pending_.size() < size)
            if (!read_more())
                return answer{};
        got.body = pending_.substr(0, size);
        pending_.erase(0, size);
        got.status = std::stoi(got.header.substr(got.header.find(' ') + 1, 3));
        return got;
    }

    answer ask(const std::string& request)
    {
        send(request);
        return receive();
    }

    // True when the server ends the connection within `wait`, having sent
    // nothing more.
    bool closed_by_server(std::chrono::milliseconds wait = bound)
    {
        const std::size_t had = pending_.size();
        const clock::time_point until = clock::now() + wait;
        while (read_more(until)) {
        }
        return pending_.size() == had && !timed_out_;
    }

private:
    // Appends what arrives; false at the end of the stream, on an error
    // (a reset is an end too) or when `until` has passed (timed_out_).
    bool read_more(clock::time_point until = clock::now() + bound)
    {
        timed_out_ = false;
        pollfd ready{fd_, POLLIN, 0};
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - clock::now());
            if (left.count() <= 0) {
                timed_out_ = true;
                return false;
            }
            const int n = ::poll(&ready, 1, static_cast<int>(left.count()));
            if (n > 0)
                break;
            if (n < 0 && errno != EINTR)
                return false;
        }
        char chunk[65536];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        pending_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    int fd_;
    std::string pending_;
    bool timed_out_ = false;
};

inline std::string get(const std::string& target, const std::string& more_fields = "")
{
    return "GET " + target + " HTTP/1.1\r\nHost: test\r\n" + more_fields + "\r\n";
}

} // namespace http_client

#endif
