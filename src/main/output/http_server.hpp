#ifndef QUORVELIN_MAIN_OUTPUT_HTTP_SERVER_HPP
#define QUORVELIN_MAIN_OUTPUT_HTTP_SERVER_HPP

// A small HTTP/1.1 server for one page, on a thread of its own: the metrics
// endpoint's. Whatever its clients do, the engine's event loop never waits
// for them, and no client, slow or idle or one of many, keeps the others
// from being answered:
//
// - every connection must deliver a complete request within the request
//   deadline of being opened (or, kept alive, within the idle deadline of
//   its last answer) and take its answer within the request deadline, or
//   it is closed;
// - at most max_connections are open at once; one accepted beyond them is
//   closed at once, before it is read;
// - the thread runs at a lower scheduling priority than the engine's, so
//   that scrapes on a busy host take CPU from nothing but idle time.
//
// GET of the page answers 200 with what `page` returns; any other path 404,
// any other method on the page 405.

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace zarn {
namespace quorvelin {

struct http_limits {
    std::chrono::milliseconds request_deadline{5000};
    std::chrono::milliseconds idle_deadline{10000};
    std::size_t max_connections = 256;
};

struct http_page {
    std::string path;                   // "/metrics"
    std::string content_type;           // "text/plain; version=0.0.4"
    std::function<std::string()> body;  // called on the server's thread, per request
};

class http_server {
public:
    // Listens on `where` (port 0: one the system picks) and serves from its
    // own thread until destroyed. The unspecified IPv6 address, [::], takes
    // IPv4 connections too. Throws boost::system::system_error when the
    // address cannot be listened on (in use, not on this host).
    http_server(const boost::asio::ip::tcp::endpoint& where, http_page page, http_limits limits = {});
    // Closes the listening socket and every connection, and joins the thread.
    ~http_server();

    http_server(const http_server&) = delete;
    http_server& operator=(const http_server&) = delete;

    // Where it listens, with the port the system picked.
    boost::asio::ip::tcp::endpoint local_endpoint() const;

private:
    class impl;
    std::unique_ptr<impl> impl_;
};

} // namespace quorvelin
} // namespace zarn

#endif
