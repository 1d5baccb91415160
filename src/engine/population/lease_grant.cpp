#include "engine/population/lease_grant.hpp"

#include "message/ia_reader.hpp"
#include "message/vocabulary.hpp"
#include "message/wire.hpp"

#include <algorithm>

namespace zarn {
namespace quorvelin {

namespace {

// The times of an IA_NA or IA_PD: its T1 and T2 and the shortest lifetimes
// of its addresses or prefixes; valid 0 without any.
ia_times times_of(const ia_view& ia)
{
    ia_times t{ia.t1(), ia.t2(), infinite_lifetime, 0};
    bool any = false;
    ia.for_each_lease([&](const ia_lease& lease) {
        if (lease.valid == 0)
            return;
        t.preferred = std::min(t.preferred, lease.preferred);
        t.valid = any ? std::min(t.valid, lease.valid) : lease.valid;
        any = true;
    });
    return t;
}

} // namespace

std::optional<lease_grant> read_grant(const char* begin, const char* end, backoff_time now, double compression)
{
    if (wire::size(begin, end) < wire::message_header || wire::get8(begin) != msg_reply)
        return std::nullopt;
    lease_grant grant;
    grant.kept.assign(begin, wire::message_header);
    bool holds = false;
    for (const char* p = begin + wire::message_header; const std::size_t n = wire::option_size(p, end); p += n) {
        const unsigned code = wire::get16(p);
        if (code == opt_ia_na || code == opt_ia_pd) {
            const std::optional<ia_view> ia = ia_view::of(p, p + n);
            if (!ia || !ia->complete())
                continue;
            const auto timers = lease_timers_for(times_of(*ia), now, compression);
            if (!timers)
                continue; // discarded, or nothing granted in it
            grant.timers = holds ? earliest(grant.timers, *timers) : *timers;
            holds = true;
        } else if (code != opt_client_identifier && code != opt_server_identifier) {
            continue;
        }
        grant.kept.append(p, n);
    }
    if (!holds)
        return std::nullopt;
    return grant;
}

} // namespace quorvelin
} // namespace zarn
