#ifndef QUORVELIN_ENGINE_FEATURES_FEATURE_SET_HPP
#define QUORVELIN_ENGINE_FEATURES_FEATURE_SET_HPP

// The engine features a run plugged in, each with the timer that serves its
// planned instants, told of each event in the order they were plugged. The
// transaction manager knows its features only through this set. No lock:
// the manager calls it with its own held.

#include "engine/failure_log.hpp"
#include "engine/features/feature.hpp"
#include "engine/schedule/earliest_timer.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <functional>
#include <list>
#include <memory>

namespace zarn {
namespace quorvelin {

class feature_set {
public:
    using time_point = engine_feature::time_point;
    // Serves a feature whose timer fired (or failed, with `error`).
    using server = std::function<void(engine_feature&, earliest_timer&, const boost::system::error_code& error)>;

    // Timers on `loop`, each serving instants up to `slack` late.
    feature_set(boost::asio::io_service& loop, std::chrono::nanoseconds slack) : loop(loop), slack(slack) {}

    engine_feature& plug(std::unique_ptr<engine_feature> feature);
    bool empty() const noexcept { return plugged.empty(); }

    void sent(client_entry& client);
    void answered(client_entry& client);
    void accepted(client_entry& client, const char* answer, const char* end, const time_point& arrived);
    void completed(client_entry& client, const char* answer, const char* end, const time_point& arrived);
    // Whether some feature took the datagram.
    bool claims(std::int32_t xid, const char* message, const char* end, const time_point& arrived);
    bool keeps_id(std::int32_t xid) const;
    void wind_down(const time_point& now);
    void take_counts(engine_snapshot& reading);

    // Each timer waits for its feature's earliest instant, unless it already
    // waits for one about as early; when it fires, `serve` serves it.
    void arm(const server& serve);
    void cancel() noexcept;

private:
    struct slot {
        std::unique_ptr<engine_feature> feature;
        earliest_timer timer;
    };

    boost::asio::io_service& loop;
    std::chrono::nanoseconds slack;
    std::list<slot> plugged;
};

// Plugs in what the command line asked for: the reservation check
// (--reservations), retransmission (--retransmit), the lease check
// (--check-leases) and a population test's subscribers.
void plug_chosen_features(feature_set& features, client_table& clients, failure_log& failures);

} // namespace quorvelin
} // namespace zarn

#endif
