#ifndef QUORVELIN_ENGINE_POPULATION_EXCHANGE_REGISTRY_HPP
#define QUORVELIN_ENGINE_POPULATION_EXCHANGE_REGISTRY_HPP

// The exchanges a population's subscribers have in flight, by transaction
// id. Each RENEW, REBIND and RELEASE exchange has an id of its own (RFC
// 8415 section 16.1), kept by its retransmissions, from the top half of
// the 24-bit field, so that a reply's id alone says whether it belongs to
// a subscriber's exchange or to a client walking its scenario. An exchange
// keeps its message while it waits (to send it again and to judge the
// answer against it), when it began, whose it is and what it asked. Ids go
// round, passing over those still in flight. No lock: the owner serialises
// every call.

#include "engine/message_pool.hpp"
#include "engine/schedule/backoff.hpp"

#include <cstdint>
#include <unordered_map>

namespace zarn {
namespace quorvelin {

class exchange_registry {
public:
    using time_point = backoff_time;

    // The ids of the subscribers' exchanges: the top half of the 24 bits.
    static constexpr std::int32_t first_id = 0x800000;
    static constexpr std::int32_t last_id = 0xFFFFFF;

    struct exchange {
        stored_message message;
        time_point first_sent;
        std::int32_t subscriber = 0;
        int asked = 0;          // msg_renew, msg_rebind or msg_release
        bool abandoned = false; // cut short by the releases: only its answer is counted
    };

    // Messages are kept in `pool`'s blocks.
    explicit exchange_registry(message_pool& pool) : pool(pool) {}
    ~exchange_registry();
    exchange_registry(const exchange_registry&) = delete;
    exchange_registry& operator=(const exchange_registry&) = delete;

    // The id the next exchange takes: the next in turn not in flight.
    std::int32_t next_id();
    // Opens exchange `xid` (from next_id) of `subscriber`, asking `asked`
    // with the message [begin, end), first sent at `now`.
    exchange& open(std::int32_t xid, std::int32_t subscriber, int asked, const char* begin, const char* end,
                   time_point now);
    // The exchange in flight with id `xid`, or null.
    exchange* find(std::int32_t xid);
    const exchange* find(std::int32_t xid) const;
    // Ends exchange `xid` (none: nothing happens).
    void close(std::int32_t xid);

    std::size_t size() const noexcept { return flights.size(); }

private:
    message_pool& pool;
    std::unordered_map<std::int32_t, exchange> flights;
    std::int32_t next = first_id;
};

} // namespace quorvelin
} // namespace zarn

#endif
