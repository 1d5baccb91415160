#include "main/output/metrics_endpoint.hpp"

#include "main/values/listen_address.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <prometheus/text_serializer.h>

#include <chrono>
#include <csignal>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace zarn {
namespace quorvelin {

// What a scrape collects: the live engine, or the figures the test ended with.
class metrics_endpoint::source {
public:
    source(metric_labels labels, std::vector<std::string> steps)
        : labels_(std::move(labels)), steps_(std::move(steps)), final_(steps_.size())
    {
    }

    // The page a scrape gets, in Prometheus's text format.
    std::string scrape() const { return prometheus::TextSerializer().Serialize(families()); }

    std::vector<prometheus::MetricFamily> families() const
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

metrics_endpoint::metrics_endpoint(const std::string& address, metric_labels labels, std::vector<std::string> steps)
    : source_(std::make_shared<source>(std::move(labels), std::move(steps)))
{
    const std::string option = "--metrics-listen " + address + ": ";
    try {
        server_ = std::make_unique<http_server>(
            parse_listen_address(address),
            http_page{"/metrics", "text/plain; version=0.0.4", [scraped = source_] { return scraped->scrape(); }});
    } catch (const boost::system::system_error& e) {
        throw std::runtime_error(option + e.code().message());
    } catch (const std::exception& e) {
        throw std::runtime_error(option + e.what());
    }
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
