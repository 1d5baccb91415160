#include "engine/population/exchange_registry.hpp"

namespace zarn {
namespace quorvelin {

exchange_registry::~exchange_registry()
{
    for (auto& [xid, e] : flights)
        pool.release(e.message);
}

std::int32_t exchange_registry::next_id()
{
    // One still waiting for its answer, 8 million exchanges later, is
    // passed over; one abandoned by the releases gives its id up, since
    // with 8 million subscribers releasing, those kept only to count a late
    // answer could otherwise hold every id a RELEASE needs. A subscriber
    // waits on one exchange at most, and there are fewer subscribers than
    // ids, so some id is always free.
    for (;;) {
        const std::int32_t xid = next;
        next = xid == last_id ? first_id : xid + 1;
        const auto found = flights.find(xid);
        if (found == flights.end())
            return xid;
        if (found->second.abandoned) {
            close(xid);
            return xid;
        }
    }
}

exchange_registry::exchange& exchange_registry::open(std::int32_t xid, std::int32_t subscriber, int asked,
                                                     const char* begin, const char* end, time_point now)
{
    exchange& e = flights[xid];
    pool.store(e.message, begin, static_cast<std::size_t>(end - begin));
    e.first_sent = now;
    e.subscriber = subscriber;
    e.asked = asked;
    e.abandoned = false;
    return e;
}

exchange_registry::exchange* exchange_registry::find(std::int32_t xid)
{
    const auto found = flights.find(xid);
    return found == flights.end() ? nullptr : &found->second;
}

const exchange_registry::exchange* exchange_registry::find(std::int32_t xid) const
{
    const auto found = flights.find(xid);
    return found == flights.end() ? nullptr : &found->second;
}

void exchange_registry::close(std::int32_t xid)
{
    const auto found = flights.find(xid);
    if (found == flights.end())
        return;
    pool.release(found->second.message);
    flights.erase(found);
}

} // namespace quorvelin
} // namespace zarn
