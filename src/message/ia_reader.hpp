#ifndef QUORVELIN_MESSAGE_IA_READER_HPP
#define QUORVELIN_MESSAGE_IA_READER_HPP

// The IAs of a DHCPv6 client/server message, read in place: each IA_NA,
// IA_TA and IA_PD with its IAID, T1 and T2 (RFC 8415 sections 21.4, 21.5,
// 21.21), its own Status Code, and the addresses and prefixes inside it
// with their lifetimes (sections 21.6, 21.22). Whoever reads a lease out of
// a message (the verdict on a reply, the lease check, what a bound client
// keeps) reads it here. Nothing outside the message is read.

#include "message/vocabulary.hpp"
#include "message/wire.hpp"

#include <cstdint>
#include <optional>

namespace zarn {
namespace quorvelin {

// Walks the status codes among the options [begin, end): the first other
// than Success, or Success. A Status Code too short for a code is UnspecFail.
inline unsigned failure_status(const char* begin, const char* end)
{
    for (const char* p = begin; const std::size_t n = wire::option_size(p, end); p += n) {
        if (wire::get16(p) != opt_status_code)
            continue;
        const unsigned status = n < wire::option_header + 2 ? unsigned(status_unspec_fail) : wire::get16(p + 4);
        if (status != status_success)
            return status;
    }
    return status_success;
}

// An IAADDR or IAPREFIX inside an IA.
struct ia_lease {
    unsigned code = 0;             // opt_iaaddr or opt_iaprefix
    const char* address = nullptr; // its 16 bytes
    unsigned prefix_length = 128;  // 128 for an address
    std::uint32_t preferred = 0;
    std::uint32_t valid = 0;
};

// One IA_NA, IA_TA or IA_PD option, [begin, end). An IA cut short after its
// IAID is still one (a client may name it), but has nothing inside.
class ia_view {
public:
    // The IA at [begin, end) when it is one, with at least its IAID.
    static std::optional<ia_view> of(const char* begin, const char* end)
    {
        const std::size_t size = wire::size(begin, end);
        const unsigned code = size >= wire::option_header + 4 ? wire::get16(begin) : 0;
        if (code != opt_ia_na && code != opt_ia_ta && code != opt_ia_pd)
            return std::nullopt;
        const std::size_t fixed = code == opt_ia_ta ? wire::option_header + 4 : wire::ia_header;
        return ia_view(begin, end, size >= fixed ? begin + fixed : nullptr);
    }

    unsigned code() const { return wire::get16(begin_); }
    std::uint32_t iaid() const { return wire::get32(begin_ + 4); }
    // Whether its fixed fields are whole; only then does it hold anything.
    bool complete() const { return options_ != nullptr; }
    // T1 and T2; 0 in an IA_TA, which has none, or one cut short.
    std::uint32_t t1() const { return complete() && code() != opt_ia_ta ? wire::get32(begin_ + 8) : 0; }
    std::uint32_t t2() const { return complete() && code() != opt_ia_ta ? wire::get32(begin_ + 12) : 0; }
    // What this kind of IA leases: addresses, or for IA_PD prefixes.
    unsigned lease_code() const { return code() == opt_ia_pd ? opt_iaprefix : opt_iaaddr; }
    // The first failure status among its own options, or Success.
    unsigned status() const { return complete() ? failure_status(options_, end_) : unsigned(status_success); }

    // Calls f(const ia_lease&) for each whole IAADDR and IAPREFIX among its
    // options, of either kind, in order.
    template <class F>
    void for_each_lease(F f) const
    {
        if (!complete())
            return;
        for (const char* q = options_; const std::size_t m = wire::option_size(q, end_); q += m) {
            ia_lease lease;
            lease.code = wire::get16(q);
            if (lease.code == opt_iaaddr && m >= wire::iaaddr_fixed) {
                lease.address = q + 4;
                lease.preferred = wire::get32(q + 20);
                lease.valid = wire::get32(q + 24);
            } else if (lease.code == opt_iaprefix && m >= wire::iaprefix_fixed) {
                lease.preferred = wire::get32(q + 4);
                lease.valid = wire::get32(q + 8);
                lease.prefix_length = wire::get8(q + 12);
                lease.address = q + 13;
            } else {
                continue;
            }
            f(lease);
        }
    }

    // Whether it holds a lease of its own kind that the client may use:
    // one with a valid lifetime above 0.
    bool holds_lease() const
    {
        bool holds = false;
        const unsigned kind = lease_code();
        for_each_lease([&](const ia_lease& l) { holds = holds || (l.code == kind && l.valid != 0); });
        return holds;
    }

private:
    ia_view(const char* begin, const char* end, const char* options) : begin_(begin), options_(options), end_(end) {}

    const char* begin_;
    const char* options_; // null when cut short
    const char* end_;
};

// Calls f(const ia_view&) for each IA among the own options of the
// client/server message [begin, end), in order.
template <class F>
void for_each_ia(const char* begin, const char* end, F f)
{
    if (wire::size(begin, end) < wire::message_header)
        return;
    for (const char* p = begin + wire::message_header; const std::size_t n = wire::option_size(p, end); p += n)
        if (const std::optional<ia_view> ia = ia_view::of(p, p + n))
            f(*ia);
}

// The message's first IA of `code` with `iaid`, if any.
inline std::optional<ia_view> find_ia(const char* begin, const char* end, unsigned code, std::uint32_t iaid)
{
    std::optional<ia_view> found;
    for_each_ia(begin, end, [&](const ia_view& ia) {
        if (!found && ia.code() == code && ia.iaid() == iaid)
            found = ia;
    });
    return found;
}

} // namespace quorvelin
} // namespace zarn

#endif
