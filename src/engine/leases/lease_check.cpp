#include "engine/leases/lease_check.hpp"

#include "message/ia_reader.hpp"
#include "message/param.hpp"
#include "message/vocabulary.hpp"
#include "message/wire.hpp"

#include <boost/asio/ip/address_v6.hpp>

#include <cmath>
#include <utility>

namespace zarn {
namespace quorvelin {

namespace {

// Calls f(key, valid lifetime) for each IAADDR and IAPREFIX inside the
// IA_NA, IA_TA and IA_PD options of the client/server message [begin, end).
template <class F>
void for_each_lease(const char* begin, const char* end, F f)
{
    for_each_ia(begin, end, [&](const ia_view& ia) {
        ia.for_each_lease([&](const ia_lease& lease) {
            lease_key key;
            key.length = static_cast<std::uint8_t>(lease.prefix_length);
            std::copy(lease.address, lease.address + 16, key.bytes.begin());
            f(key, lease.valid);
        });
    });
}

lease_table::seconds seconds_of(const lease_check::time_point& t)
{
    return static_cast<lease_table::seconds>(std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count());
}

std::ostream& operator<<(std::ostream& os, const lease_key& key)
{
    boost::asio::ip::address_v6::bytes_type bytes;
    std::copy(key.bytes.begin(), key.bytes.end(), bytes.begin());
    os << boost::asio::ip::address_v6(bytes);
    if (key.length != 128)
        os << "/" << unsigned(key.length);
    return os;
}

} // namespace

lease_check::lease_check(double factor, std::vector<int> types, std::ostream* debug_log)
    : compression(factor), step_types(std::move(types)), log(debug_log), by_step(step_types.size())
{
}

unsigned lease_check::granted(std::int32_t id, int asked, const char* answer, const char* end, const time_point& now)
{
    if (wire::size(answer, end) < wire::message_header || wire::get8(answer) != msg_reply ||
        !(asked == msg_solicit || asked == msg_request || asked == msg_renew || asked == msg_rebind))
        return 0;
    const lease_table::seconds at = seconds_of(now);
    unsigned duplicates = 0;
    for_each_lease(answer, end, [&](const lease_key& key, std::uint32_t valid) {
        if (valid == 0)
            return;
        // Whole seconds, rounded up: a lease is held a little longer rather
        // than given up before its end.
        const double lasts = valid == 0xffffffff ? double(lease_table::forever) : std::ceil(valid / compression);
        const lease_table::seconds until =
            lasts >= double(lease_table::forever - at) ? lease_table::forever : at + static_cast<lease_table::seconds>(lasts);
        const std::int32_t other = table.grant(key, id, until, at);
        if (other == lease_table::no_holder)
            return;
        ++duplicates;
        if (log)
            *log << "# duplicate lease " << key << " granted to xid:" << id << ", held by xid:" << other << std::endl;
    });
    return duplicates;
}

int lease_check::type_of(const client_entry& client) const
{
    const auto step = static_cast<std::size_t>(client.info.scene_index - 1);
    return step < step_types.size() ? step_types[step] : 0;
}

void lease_check::accepted(client_entry& client, const char* answer, const char* end, const time_point& arrived)
{
    by_step[static_cast<std::size_t>(client.info.scene_index - 1)] +=
        granted(client.id, type_of(client), answer, end, arrived);
}

void lease_check::sent(client_entry& client)
{
    const int type = type_of(client);
    if (type == msg_release || type == msg_decline)
        released(client.id, client.last.data, client.last.data + client.last.size);
}

void lease_check::renewed(std::int32_t id, int asked, const char* reply, const char* end, const time_point& at)
{
    (asked == msg_rebind ? at_rebind : at_renew) += granted(id, asked, reply, end, at);
}

void lease_check::take_counts(engine_snapshot& reading)
{
    for (std::size_t step = 0; step < by_step.size() && step < reading.counted.steps.size(); ++step)
        reading.counted.steps[step].duplicate_leases += std::exchange(by_step[step], 0);
    reading.counted.population.renew.duplicate_leases += std::exchange(at_renew, 0);
    reading.counted.population.rebind.duplicate_leases += std::exchange(at_rebind, 0);
}

void lease_check::released(std::int32_t id, const char* message, const char* end)
{
    relay_param::strip_relays(message, end);
    for_each_lease(message, end, [&](const lease_key& key, std::uint32_t) { table.release(key, id); });
}

} // namespace quorvelin
} // namespace zarn
