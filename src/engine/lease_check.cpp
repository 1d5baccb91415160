#include "engine/lease_check.hpp"

#include "message/ia_reader.hpp"
#include "message/param.hpp"
#include "message/vocabulary.hpp"
#include "message/wire.hpp"

#include <boost/asio/ip/address_v6.hpp>

#include <cmath>

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

unsigned lease_check::granted(std::int32_t id, int asked, const char* answer, const char* end, const time_point& now,
                              std::ostream* log)
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

void lease_check::released(std::int32_t id, const char* message, const char* end)
{
    relay_param::strip_relays(message, end);
    for_each_lease(message, end, [&](const lease_key& key, std::uint32_t) { table.release(key, id); });
}

} // namespace quorvelin
} // namespace zarn
