#ifndef QUORVELIN_ENGINE_POPULATION_POPULATION_FEATURE_HPP
#define QUORVELIN_ENGINE_POPULATION_POPULATION_FEATURE_HPP

// The population test's side of the engine, as an engine feature: a client
// that completes its scenario binds and becomes a subscriber of the
// bound_population; replies to the subscribers' exchanges (ids from
// exchange_registry::first_id up) are theirs; their RENEW, REBIND and
// RELEASE are built from the population's scenario messages, answering the
// REPLY each subscriber keeps, and sent on the feature's own timer; at the
// end of the test they release.

#include "engine/failure_log.hpp"
#include "engine/features/feature.hpp"
#include "engine/population/bound_population.hpp"
#include "message/param.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>

namespace zarn {
namespace quorvelin {

// The messages a subscriber sends besides its scenario.
struct renewal_scenes {
    const top_param& renew;
    const top_param& rebind;
    const top_param& release;
};

class population_feature : public engine_feature {
public:
    // The last transaction id a client walking its scenario may take: the
    // ids above are the subscribers' exchanges.
    static constexpr std::int32_t last_client_id = exchange_registry::first_id - 1;

    // Builds in `clients`' storage; `steady_seed`: with one, first renewals
    // are spread over T1 (bound_population); `release_spacing`: between two
    // closing RELEASEs, so that the server meets no burst; `listener`: told
    // what becomes of the subscribers' leases, if any; `log`: the debug log.
    population_feature(client_table& clients, renewal_scenes scenes, failure_log& failures, double compression,
                       std::uint64_t seed, std::optional<std::uint64_t> steady_seed,
                       std::chrono::microseconds release_spacing, subscriber_listener* listener, std::ostream* log);
    ~population_feature() override;

    void completed(client_entry& client, const char* answer, const char* end, const time_point& arrived) override;
    bool claims(std::int32_t xid, const char* message, const char* end, const time_point& arrived) override;
    bool keeps_id(std::int32_t xid) const override { return population.holds(xid); }
    void wind_down(const time_point& now) override;
    void take_counts(engine_snapshot& reading) override;
    std::optional<time_point> earliest() const override { return population.earliest(); }
    void serve(const time_point& now, outbox& out) override;

private:
    // A subscriber's RENEW, REBIND or RELEASE answering its `kept` REPLY,
    // with the exchange's transaction id `xid`; empty when it cannot be
    // built or sent.
    bound_population::bytes build(int type, bound_population::bytes kept, std::int32_t xid);

    client_table& clients;
    renewal_scenes scenes;
    failure_log& failures;
    std::chrono::microseconds release_spacing;
    std::ostream* log;
    bound_population population;
    stored_message scratch; // where its messages are built
};

} // namespace quorvelin
} // namespace zarn

#endif
