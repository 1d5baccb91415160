#ifndef QUORVELIN_TESTS_HTTP_CLIENT_HPP
#define QUORVELIN_TESTS_HTTP_CLIENT_HPP

// A blocking HTTP client over loopback for the metrics endpoint's tests:
// whole requests, half-open ones, and the server's closing of a connection.
// Every wait is bounded (10 s), so that a server that keeps a connection too
// long fails an expectation instead of hanging the test. A wait that runs
// out cancels the read and leaves the connection open, as a client trickling
// a request needs it.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>

#include <chrono>
#include <string>

namespace http_client {

namespace http = boost::beast::http;
using clock = std::chrono::steady_clock;
constexpr std::chrono::seconds bound{10};

struct answer {
    int status = 0; // 0: the connection ended (or the bound passed) first
    http::response_header<> header;
    std::string body;

    std::string field(const char* name) const { return std::string(header[name]); }
};

class connection {
public:
    explicit connection(const boost::asio::ip::tcp::endpoint& to) { socket_.connect(to); }

    // Throws when the server has ended the connection (a reset).
    void send(const std::string& text) { boost::asio::write(socket_, boost::asio::buffer(text)); }

    // The next answer on this connection.
    answer receive()
    {
        http::response<http::string_body> read;
        if (wait(bound, [&](auto done) { http::async_read(socket_, buffer_, read, done); }))
            return {};
        return {static_cast<int>(read.result_int()), read.base(), read.body()};
    }

    answer ask(const std::string& request)
    {
        send(request);
        return receive();
    }

    // True when the server ends the connection within `wait`, having sent
    // nothing more.
    bool closed_by_server(std::chrono::milliseconds within = bound)
    {
        char byte;
        const auto ended = wait(within, [&](auto done) { socket_.async_read_some(boost::asio::buffer(&byte, 1), done); });
        return ended == boost::asio::error::eof || ended == boost::asio::error::connection_reset;
    }

private:
    // Runs the read `start` begins until it ends or `within` passes, when it
    // is cancelled; its error (operation_aborted on the bound).
    template <typename Start>
    boost::system::error_code wait(std::chrono::milliseconds within, Start start)
    {
        boost::system::error_code ended = boost::asio::error::operation_aborted;
        start([&](boost::system::error_code e, std::size_t) { ended = e; });
        io_.restart();
        io_.run_for(within);
        if (!io_.stopped()) {
            socket_.cancel();
            io_.run();
        }
        return ended;
    }

    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_{io_};
    boost::beast::flat_buffer buffer_;
};

inline std::string get(const std::string& target, const std::string& more_fields = "")
{
    return "GET " + target + " HTTP/1.1\r\nHost: test\r\n" + more_fields + "\r\n";
}

} // namespace http_client

#endif
