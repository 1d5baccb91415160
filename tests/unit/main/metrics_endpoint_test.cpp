// --metrics-listen's endpoint over loopback: the run's series in
// Prometheus's text format on both families of [::], the final figures
// after freeze(), and the errors that stop a run at start.
#include "main/output/metrics_endpoint.hpp"
#include "../support/http_client.hpp"
#include "../support/wire_bytes.hpp"

#include <gtest/gtest.h>
#include <prometheus/text_serializer.h>

using namespace zarn::quorvelin;
using http_client::connection;
using http_client::get;
using tcp = boost::asio::ip::tcp;

namespace {

// A port no one listens on now, on either family.
unsigned short unused_port()
{
    boost::asio::io_context io;
    tcp::acceptor probe(io, tcp::endpoint(boost::asio::ip::make_address("::"), 0));
    return probe.local_endpoint().port();
}

http_client::answer scrape(const char* address, unsigned short port)
{
    return connection({boost::asio::ip::make_address(address), port}).ask(get("/metrics"));
}

} // namespace

TEST(MetricsEndpoint, ServesTheSerializedFamiliesOverBothFamiliesThenTheFinalOnes)
{
    const unsigned short port = unused_port();
    const std::vector<std::string> steps{"SOLICIT", "REQUEST"};
    const metric_labels labels{"once", "0/1"};
    metrics_endpoint endpoint("[::]:" + std::to_string(port), labels, steps);
    const measurements none(steps.size());
    for (const char* address : {"::1", "127.0.0.1"}) {
        const http_client::answer got = scrape(address, port);
        EXPECT_EQ(got.status, 200) << address;
        EXPECT_EQ(got.field("Content-Type"), "text/plain; version=0.0.4") << address;
        EXPECT_EQ(got.body, prometheus::TextSerializer().Serialize(metric_families({none, steps, 0, false}, labels)))
            << address;
    }

    measurements totals(steps.size());
    totals.clients.started = 7, totals.clients.completed = 6, totals.clients.timed_out = 1;
    totals.steps[1].answered = 6;
    endpoint.freeze(totals, true);
    const http_client::answer got = scrape("::1", port);
    EXPECT_EQ(got.body, prometheus::TextSerializer().Serialize(metric_families({totals, steps, 0, true}, labels)));
    EXPECT_NE(got.body.find("quorvelin_finished{mode=\"once\",segment=\"0/1\"} 1\n"), std::string::npos) << got.body;
    EXPECT_EQ(scrape("127.0.0.1", port).status, 200);
}

TEST(MetricsEndpoint, SaysWhyItCannotListen)
{
    boost::asio::io_context io;
    const tcp::acceptor taken(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    const std::string port = std::to_string(taken.local_endpoint().port());
    struct refused {
        std::string address;
        std::string error;
    };
    for (const refused& r : std::vector<refused>{
             {"127.0.0.1:" + port, "Address already in use"},
             // [::] takes IPv4 too, so an IPv4 listener is in its way.
             {"[::]:" + port, "Address already in use"},
             {"[2001:db8::dead]:9547", "Cannot assign requested address"},
             {"[::1]:0", "not ADDRESS:PORT (an IPv4 address, or an IPv6 address in brackets, and a port from 1 to "
                         "65535: 127.0.0.1:9547, [::]:9547)"}})
        EXPECT_EQ(wire_bytes::error_of([&] { metrics_endpoint(r.address, {"once", "0/1"}, {"SOLICIT"}); }),
                  "--metrics-listen " + r.address + ": " + r.error);
}
