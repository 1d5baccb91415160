#include "main/output/metrics_endpoint.hpp"

#include "main/values/listen_address.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <prometheus/collectable.h>
#include <prometheus/exposer.h>

#include <chrono>
#include <csignal>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace zarn {
namespace quorvelin {

// What a scrape collects: the live engine, or the figures the test ended with.
class metrics_endpoint::source : public prometheus::Collectable {
public:
    source(metric_labels labels, std::vector<std::string> steps)
        : labels_(std::move(labels)), steps_(std::move(steps)), final_(steps_.size())
    {
    }

    std::vector<prometheus::MetricFamily> Collect() const override
    {
        std::lock_guard<std::mutex> held(mutex_);
        if (!engine_)
            return metric_families({final_, steps_, 0, finished_}, labels_);
        return metric_families({recorder_->totals(), steps_, engine_->offered(), false}, labels_);
    }

    void follow(const run_recorder* recorder, const transaction_manager* engine)
    {
        std::lock_guard<std::mutex> held(mutex_);
        recorder_ = recorder;
        engine_ = engine;
    }

    void freeze(const measurements& totals, bool finished)
    {
        std::lock_guard<std::mutex> held(mutex_);
        engine_ = nullptr;
        final_ = totals;
        finished_ = finished;
    }

private:
    const metric_labels labels_;
    const std::vector<std::string> steps_;
    // Held while a scrape reads the run, so that freeze() waits for it and
    // the recorder and the engine may go once freeze() returned.
    mutable std::mutex mutex_;
    const run_recorder* recorder_ = nullptr;
    const transaction_manager* engine_ = nullptr;
    measurements final_;
    bool finished_ = false;
};

namespace {

// The listening option as the HTTP server takes it.
std::string server_address(const boost::asio::ip::tcp::endpoint& where)
{
    const std::string host = where.address().to_string();
    return (where.address().is_v6() ? "[" + host + "]" : host) + ":" + std::to_string(where.port());
}

} // namespace

metrics_endpoint::metrics_endpoint(const std::string& address, metric_labels labels, std::vector<std::string> steps)
    : source_(std::make_shared<source>(std::move(labels), std::move(steps)))
{
    const std::string option = "--metrics-listen " + address + ": ";
    try {
        const boost::asio::ip::tcp::endpoint where = parse_listen_address(address);
        check_can_listen(where);
        // One thread answers scrapes: Prometheus asks once per interval.
        try {
            exposer_ = std::make_unique<prometheus::Exposer>(server_address(where), 1);
        } catch (const std::exception&) {
            // The address was free a moment ago; Debian's civetweb, under
            // the exposer, is built without IPv6.
            throw std::runtime_error(where.address().is_v6()
                                         ? "the HTTP server library (civetweb) serves IPv4 only here; use an IPv4 "
                                           "address such as 0.0.0.0:" + std::to_string(where.port())
                                         : "the HTTP server could not listen there");
        }
    } catch (const boost::system::system_error& e) {
        throw std::runtime_error(option + e.code().message());
    } catch (const std::exception& e) {
        throw std::runtime_error(option + e.what());
    }
    exposer_->RegisterCollectable(source_);
}

metrics_endpoint::~metrics_endpoint() = default;

void metrics_endpoint::follow(const run_recorder& recorder, const transaction_manager& engine)
{
    source_->follow(&recorder, &engine);
}

void metrics_endpoint::freeze(const measurements& totals, bool finished)
{
    source_->freeze(totals, finished);
}

void metrics_endpoint::linger(std::uint32_t seconds)
{
    boost::asio::io_service io;
    boost::asio::steady_timer timer(io, std::chrono::seconds(seconds));
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    timer.async_wait([&io](const boost::system::error_code&) { io.stop(); });
    signals.async_wait([&io](const boost::system::error_code&, int) { io.stop(); });
    io.run();
}

} // namespace quorvelin
} // namespace zarn
