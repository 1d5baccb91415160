#ifndef QUORVELIN_ENGINE_FEATURES_FEATURE_HPP
#define QUORVELIN_ENGINE_FEATURES_FEATURE_HPP

// An optional feature of the engine (retransmission, the duplicate-lease
// check, the population of bound subscribers) plugs in beside the reply
// step through this face and nothing else. The transaction manager calls
// every feature it was given at the same few points of a client's life,
// always with its lock held, and serves each feature's own planned
// instants on a timer of the feature's own. What a feature sends of its
// own goes to the outbox: the socket's send queue.

#include "engine/client_table.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace zarn {
namespace quorvelin {

class outbox {
public:
    // Queues [data, data + size), which must stay put until the flush that
    // sends it; returns that flush's number (transaction_info::queued_until_flush).
    virtual std::uint64_t send(const char* data, std::size_t size) = 0;

protected:
    ~outbox() = default;
};

class engine_feature {
public:
    using time_point = transaction_info::time_point;

    virtual ~engine_feature() = default;

    // The client's message has just been queued to send.
    virtual void sent(client_entry&) {}
    // The client took [answer, end) as the answer to its message, at
    // `arrived`: before the verdict on it.
    virtual void answered(client_entry&) {}
    // The verdict found no refusal in it.
    virtual void accepted(client_entry&, const char* /*answer*/, const char* /*end*/, const time_point&) {}
    // With it the client went through its whole scenario (it leaves the
    // table when this returns).
    virtual void completed(client_entry&, const char* /*answer*/, const char* /*end*/, const time_point&) {}
    // A datagram whose transaction id names no live client: whether it is
    // this feature's, which then took it.
    virtual bool claims(std::int32_t /*xid*/, const char* /*message*/, const char* /*end*/, const time_point&)
    {
        return false;
    }
    // Whether a fresh client must not take transaction id `xid` (and the
    // identity that goes with it): the feature keeps it.
    virtual bool keeps_id(std::int32_t /*xid*/) const { return false; }
    // The test ends from `now` on: what the feature does then (a
    // population's subscribers release their leases).
    virtual void wind_down(const time_point& /*now*/) {}
    // Adds what it counted since the last call to `reading`.
    virtual void take_counts(engine_snapshot& /*reading*/) {}

    // Its next planned instant, stale or not; none without one.
    virtual std::optional<time_point> earliest() const { return std::nullopt; }
    // Its work due at `now`.
    virtual void serve(const time_point& /*now*/, outbox&) {}
};

} // namespace quorvelin
} // namespace zarn

#endif
