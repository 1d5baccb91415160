// The metrics endpoint's HTTP server on loopback, on ports the system picks:
// both families, the answers by path and method, and the deadlines and the
// bound that keep slow, idle or many clients from blinding it.
#include "main/output/http_server.hpp"
#include "../support/http_client.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace zarn::quorvelin;
using http_client::connection;
using http_client::get;
using tcp = boost::asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

// A page whose body counts the requests that reached it.
struct counted_page {
    std::shared_ptr<std::atomic<int>> served = std::make_shared<std::atomic<int>>(0);

    http_page page() const
    {
        return {"/metrics", "text/plain; version=0.0.4",
                [served = served] { return "scrape " + std::to_string(++*served) + "\n"; }};
    }
};

tcp::endpoint on(const char* address, unsigned short port = 0)
{
    return {boost::asio::ip::make_address(address), port};
}

// Where a client reaches `server` over `address`'s family.
tcp::endpoint reach(const http_server& server, const char* address)
{
    return on(address, server.local_endpoint().port());
}

http_limits deadlines(std::chrono::milliseconds request, std::chrono::milliseconds idle, std::size_t connections = 256)
{
    http_limits limits;
    limits.request_deadline = request;
    limits.idle_deadline = idle;
    limits.max_connections = connections;
    return limits;
}

} // namespace

// Error answers have no body, so the connection goes on with the next
// request whatever the method was.
TEST(HttpServer, AnswersOtherPathsWith404AndOtherMethodsWith405)
{
    struct asked {
        std::string request;
        int status;
        std::string allow;
    };
    counted_page counted;
    http_server server(on("127.0.0.1"), counted.page());
    connection client(reach(server, "127.0.0.1"));
    for (const asked& a : std::vector<asked>{
             {get("/metrics?name[]=quorvelin_finished"), 200, ""},
             {get("/"), 404, ""},
             {get("/metrics/"), 404, ""},
             {get("/metricsx"), 404, ""},
             {"POST /metrics HTTP/1.1\r\nHost: test\r\nContent-Length: 5\r\n\r\nhello", 405, "GET"},
             {"HEAD /metrics HTTP/1.1\r\nHost: test\r\n\r\n", 405, "GET"},
             {"DELETE /other HTTP/1.1\r\nHost: test\r\n\r\n", 404, ""},
             {get("/metrics"), 200, ""}}) {
        const http_client::answer got = client.ask(a.request);
        EXPECT_EQ(got.status, a.status) << a.request;
        EXPECT_EQ(got.field("Allow"), a.allow) << a.request;
        EXPECT_EQ(got.body.empty(), a.status != 200) << a.request;
    }
    EXPECT_EQ(*counted.served, 2);
}

// 50 clients that began a request and never end its header hold nothing
// back: the server reads every connection as it comes.
TEST(HttpServer, FiftyHalfOpenConnectionsLeaveScrapesAnsweredWithinASecond)
{
    counted_page counted;
    http_server server(on("::"), counted.page());
    std::vector<std::unique_ptr<connection>> half_open;
    for (int i = 0; i < 50; ++i) {
        half_open.push_back(std::make_unique<connection>(reach(server, i % 2 ? "::1" : "127.0.0.1")));
        half_open.back()->send("GET /metrics HTTP/1.1\r\n");
    }
    for (const char* address : {"::1", "127.0.0.1", "::1"}) {
        const auto began = http_client::clock::now();
        EXPECT_EQ(connection(reach(server, address)).ask(get("/metrics")).status, 200) << address;
        EXPECT_LT(http_client::clock::now() - began, 1s) << address;
    }
    EXPECT_EQ(*counted.served, 3);
}

// The deadline is the whole request's: a client that trickles a header
// field now and then is closed as one that sends nothing more.
TEST(HttpServer, ClosesAConnectionWhoseRequestIsNotCompleteAtTheDeadline)
{
    counted_page counted;
    http_server server(on("127.0.0.1"), counted.page(), deadlines(300ms, 1h));
    const auto began = http_client::clock::now();
    connection silent(reach(server, "127.0.0.1"));
    connection trickling(reach(server, "127.0.0.1"));
    silent.send("GET /metrics HTTP/1.1\r\n");
    trickling.send("GET /metrics HTTP/1.1\r\n");
    // A field every 50 ms for at most 5 s, until the server ends it.
    bool trickle_closed = false;
    for (int i = 0; i < 100 && !trickle_closed; ++i) {
        try {
            trickling.send("X-Slow: " + std::to_string(i) + "\r\n");
            trickle_closed = trickling.closed_by_server(50ms);
        } catch (const std::exception&) {
            trickle_closed = true; // reset by the server
        }
    }
    EXPECT_TRUE(trickle_closed);
    EXPECT_TRUE(silent.closed_by_server());
    EXPECT_GE(http_client::clock::now() - began, 300ms);
    EXPECT_EQ(*counted.served, 0);
}

TEST(HttpServer, ClosesAKeptConnectionIdleAtTheIdleDeadline)
{
    counted_page counted;
    http_server server(on("::1"), counted.page(), deadlines(1h, 300ms));
    connection client(reach(server, "::1"));
    const auto asked = http_client::clock::now();
    EXPECT_EQ(client.ask(get("/metrics")).status, 200);
    EXPECT_TRUE(client.closed_by_server());
    EXPECT_GE(http_client::clock::now() - asked, 300ms);
}

// At the bound a newcomer is closed unread; once a connection has gone, the
// next is served.
TEST(HttpServer, ClosesConnectionsBeyondTheBoundAtOnce)
{
    counted_page counted;
    http_server server(on("127.0.0.1"), counted.page(), deadlines(1h, 1h, 3));
    std::vector<std::unique_ptr<connection>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<connection>(reach(server, "127.0.0.1")));
        held.back()->send("GET /metrics HTTP/1.1\r\n");
    }
    connection beyond(reach(server, "127.0.0.1"));
    EXPECT_TRUE(beyond.closed_by_server());
    EXPECT_EQ(*counted.served, 0);

    held.front()->send("Connection: close\r\n\r\n");
    EXPECT_EQ(held.front()->receive().status, 200);
    EXPECT_TRUE(held.front()->closed_by_server());
    // The server learns of the end of that connection as it accepts the
    // next ones: a few may still find it full.
    int status = 0;
    for (int attempt = 0; attempt < 100 && status != 200; ++attempt)
        status = connection(reach(server, "127.0.0.1")).ask(get("/metrics")).status;
    EXPECT_EQ(status, 200);
}

// Destroying the server ends every connection, idle, half-open or kept,
// instead of waiting for their deadlines.
TEST(HttpServer, StopsWithConnectionsOpen)
{
    counted_page counted;
    auto server = std::make_unique<http_server>(on("::1"), counted.page(), deadlines(1h, 1h));
    connection idle(reach(*server, "::1"));
    connection half_open(reach(*server, "::1"));
    half_open.send("GET /metrics HTTP/1.1\r\n");
    connection kept(reach(*server, "::1"));
    EXPECT_EQ(kept.ask(get("/metrics")).status, 200);
    const auto began = http_client::clock::now();
    server.reset();
    EXPECT_LT(http_client::clock::now() - began, 5s);
    for (connection* client : {&idle, &half_open, &kept})
        EXPECT_TRUE(client->closed_by_server());
}
