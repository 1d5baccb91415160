#ifndef QUORVELIN_MAIN_OUTPUT_METRICS_ENDPOINT_HPP
#define QUORVELIN_MAIN_OUTPUT_METRICS_ENDPOINT_HPP

// --metrics-listen: the run's figures served to Prometheus over HTTP at
// /metrics while the test runs. A scrape reads the totals the run's
// recorder keeps, as of the last tick, and the rate the engine offers now
// (see metric_families); once the test has ended, scrapes see the report's
// own totals, for --metrics-linger seconds more. The HTTP side is
// http_server's: its own thread, deadlines and a bound on connections.

#include "engine/transaction_manager.hpp"
#include "loadtest/report/metric_families.hpp"
#include "loadtest/report/run_recorder.hpp"
#include "main/output/http_server.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zarn {
namespace quorvelin {

class metrics_endpoint {
public:
    // Listens on `address` (see parse_listen_address; [::] takes IPv4
    // scrapes too). Throws std::runtime_error naming the option when the
    // address is malformed, in use or not on this host.
    metrics_endpoint(const std::string& address, metric_labels labels, std::vector<std::string> steps);
    ~metrics_endpoint();

    // Scrapes read `recorder`'s totals and `engine`'s offered rate from now
    // on, until freeze().
    void follow(const run_recorder& recorder, const transaction_manager& engine);
    // The test is over: scrapes see `totals` from now on, marked finished
    // when `finished`. The engine is no longer read.
    void freeze(const measurements& totals, bool finished);
    // Keeps serving for `seconds`, or until SIGINT or SIGTERM.
    static void linger(std::uint32_t seconds);

private:
    class source;
    std::shared_ptr<source> source_;
    std::unique_ptr<http_server> server_;
};

} // namespace quorvelin
} // namespace zarn

#endif
