#include "main/output/http_server.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <thread>
#include <unordered_set>
#include <vector>

namespace zarn {
namespace quorvelin {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// A request is a header and, for methods other than GET, perhaps a small
// body: what a connection may make the server hold is bounded by these.
constexpr std::uint32_t header_limit = 8 * 1024;
constexpr std::uint64_t body_limit = 4 * 1024;
constexpr std::size_t buffer_limit = 16 * 1024;
// How long the server waits before accepting again when accepting failed
// (out of file descriptors, typically): not at once, which would spin.
constexpr std::chrono::milliseconds accept_retry{100};
// Nice value added to the server's thread (Linux keeps one per thread).
constexpr int nice_increment = 10;

using request = http::request<http::string_body>;
using response = http::response<http::string_body>;

class connection;

// What the listener and its connections share; touched on the server's
// thread only.
struct server_state {
    http_page page;
    http_limits limits;
    std::unordered_set<connection*> open;
    bool stopping = false;
};

// The answer to one request. Error answers carry no body, so that they are
// whole whatever the method was (an answer to HEAD must not have one).
response answer(const http_page& page, const request& asked)
{
    response answered;
    answered.version(asked.version());
    answered.keep_alive(asked.keep_alive());
    const beast::string_view target = asked.target();
    if (target.substr(0, target.find('?')) != page.path) {
        answered.result(http::status::not_found);
    } else if (asked.method() != http::verb::get) {
        answered.result(http::status::method_not_allowed);
        answered.set(http::field::allow, "GET");
    } else {
        try {
            answered.body() = page.body();
            answered.result(http::status::ok);
            answered.set(http::field::content_type, page.content_type);
        } catch (const std::exception&) {
            answered.result(http::status::internal_server_error);
        }
    }
    answered.prepare_payload();
    return answered;
}

// One client's connection: requests read and answered in turn, each step
// under a deadline; the connection ends at the first error, timeout or end
// of stream. It lives as long as an operation of it is pending.
class connection : public std::enable_shared_from_this<connection> {
public:
    connection(tcp::socket socket, server_state& server)
        : stream_(std::move(socket)), buffer_(buffer_limit), server_(server)
    {
        server_.open.insert(this);
    }
    ~connection() { server_.open.erase(this); }

    void start() { read_request(server_.limits.request_deadline); }
    // Cancels what is pending: its handler ends the connection.
    void close() { stream_.close(); }

private:
    void read_request(std::chrono::milliseconds deadline)
    {
        parser_.emplace();
        parser_->header_limit(header_limit);
        parser_->body_limit(body_limit);
        stream_.expires_after(deadline);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code error, std::size_t) {
                             self->on_request(error);
                         });
    }

    void on_request(beast::error_code error)
    {
        if (error || server_.stopping)
            return;
        answer_ = answer(server_.page, parser_->get());
        // A client that does not take its answer holds the connection no
        // longer than one that does not finish its request.
        stream_.expires_after(server_.limits.request_deadline);
        http::async_write(stream_, answer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
            self->on_answered(error);
        });
    }

    void on_answered(beast::error_code error)
    {
        if (error || server_.stopping)
            return;
        if (!answer_.keep_alive()) {
            beast::error_code ignored;
            stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
            return;
        }
        read_request(server_.limits.idle_deadline);
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    response answer_;
    server_state& server_;
};

// The engine's threads come first when the CPU is short: a scrape may wait
// some milliseconds, a client's exchange may not. Raising one's own nice
// value needs no privilege; should it fail, the server runs as it is.
void yield_to_the_engine()
{
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, 0); // 0: this thread, on Linux
    if (errno == 0)
        setpriority(PRIO_PROCESS, 0, std::min(current + nice_increment, 19));
}

} // namespace

class http_server::impl {
public:
    impl(const tcp::endpoint& where, http_page page, http_limits limits)
        : state_{std::move(page), limits, {}, false}, acceptor_(io_), retry_(io_)
    {
        acceptor_.open(where.protocol());
        // A port left in TIME_WAIT by an earlier run is free.
        acceptor_.set_option(tcp::acceptor::reuse_address(true));
        // [::] takes IPv4 clients too, whatever the host's default
        // (net.ipv6.bindv6only); other addresses are of one family anyway.
        if (where.address().is_v6() && where.address().is_unspecified())
            acceptor_.set_option(asio::ip::v6_only(false));
        acceptor_.bind(where);
        acceptor_.listen(asio::socket_base::max_listen_connections);
        local_ = acceptor_.local_endpoint();
        accept();
        thread_ = std::thread([this] { serve(); });
    }

    ~impl()
    {
        asio::post(io_, [this] { stop(); });
        thread_.join();
    }

    tcp::endpoint local_endpoint() const { return local_; }

private:
    void serve()
    {
        pthread_setname_np(pthread_self(), "metrics-http");
        yield_to_the_engine();
        // A handler that threw lost its connection, not the server.
        for (;;) {
            try {
                io_.run();
                return;
            } catch (const std::exception&) {
            }
        }
    }

    void accept()
    {
        acceptor_.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
            accepted(error, std::move(socket));
        });
    }

    void accepted(const boost::system::error_code& error, tcp::socket socket)
    {
        if (state_.stopping)
            return;
        if (error) {
            retry_.expires_after(accept_retry);
            retry_.async_wait([this](const boost::system::error_code& cancelled) {
                if (!cancelled && !state_.stopping)
                    accept();
            });
            return;
        }
        // Beyond the bound the socket closes here, unread: the client sees
        // its connection end at once rather than wait in the backlog.
        if (state_.open.size() < state_.limits.max_connections)
            std::make_shared<connection>(std::move(socket), state_)->start();
        accept();
    }

    // Ends every pending operation, so that io_.run() returns.
    void stop()
    {
        state_.stopping = true;
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        retry_.cancel();
        // A copy: a connection leaves the set when its last handler has run,
        // which may be during this loop should close() complete at once.
        const std::vector<connection*> open(state_.open.begin(), state_.open.end());
        for (connection* each : open)
            each->close();
    }

    // Declared before the io_context: handlers it destroys may end
    // connections, which leave the set.
    server_state state_;
    asio::io_context io_;
    tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    tcp::endpoint local_;
    std::thread thread_;
};

http_server::http_server(const tcp::endpoint& where, http_page page, http_limits limits)
    : impl_(std::make_unique<impl>(where, std::move(page), limits))
{
}

http_server::~http_server() = default;

tcp::endpoint http_server::local_endpoint() const
{
    return impl_->local_endpoint();
}

} // namespace quorvelin
} // namespace zarn
