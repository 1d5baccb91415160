#include "engine/lease_grant.hpp"

#include "message/vocabulary.hpp"
#include "message/wire.hpp"

#include <algorithm>

namespace zarn {
namespace quorvelin {

namespace {

// The times of the IA_NA or IA_PD option [ia, ia + n): its T1 and T2 and
// the shortest lifetimes of its addresses or prefixes; valid 0 without any.
ia_times times_of(const char* ia, std::size_t n)
{
    ia_times t{wire::get32(ia + 8), wire::get32(ia + 12), infinite_lifetime, 0};
    bool any = false;
    for (const char* q = ia + wire::ia_header; const std::size_t m = wire::option_size(q, ia + n); q += m) {
        const unsigned code = wire::get16(q);
        // IAADDR: address, then preferred and valid; IAPREFIX: the lifetimes first.
        const std::size_t at = code == opt_iaaddr && m >= wire::iaaddr_fixed       ? 20
                               : code == opt_iaprefix && m >= wire::iaprefix_fixed ? 4
                                                                                   : 0;
        if (at == 0 || wire::get32(q + at + 4) == 0)
            continue;
        t.preferred = std::min(t.preferred, wire::get32(q + at));
        t.valid = any ? std::min(t.valid, wire::get32(q + at + 4)) : wire::get32(q + at + 4);
        any = true;
    }
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
        const bool ia = (code == opt_ia_na || code == opt_ia_pd) && n >= wire::ia_header;
        if (ia) {
            const auto timers = lease_timers_for(times_of(p, n), now, compression);
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
