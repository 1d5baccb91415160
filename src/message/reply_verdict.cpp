#include "message/reply_verdict.hpp"

#include "message/param.hpp"
#include "message/vocabulary.hpp"
#include "message/wire.hpp"

namespace zarn {
namespace quorvelin {

namespace {

// Where the leases of each kind of IA sit: after the IA's fixed fields, as
// options of lease_code whose valid lifetime is at valid_at.
struct ia_layout {
    unsigned code;
    std::size_t fixed;      // option header and fixed fields
    unsigned lease_code;
    std::size_t lease_size; // option header and fixed fields of a lease
    std::size_t valid_at;   // offset of the lease's valid lifetime
};

constexpr ia_layout ia_layouts[] = {
    {opt_ia_na, wire::ia_header, opt_iaaddr, wire::iaaddr_fixed, 24},
    {opt_ia_ta, wire::option_header + 4, opt_iaaddr, wire::iaaddr_fixed, 24},
    {opt_ia_pd, wire::ia_header, opt_iaprefix, wire::iaprefix_fixed, 8},
};

const ia_layout* layout_of(unsigned code)
{
    for (const ia_layout& l : ia_layouts)
        if (l.code == code)
            return &l;
    return nullptr;
}

// Messages whose answer assigns addresses or prefixes.
bool asks_for_leases(unsigned type)
{
    return type == msg_solicit || type == msg_request || type == msg_renew || type == msg_rebind;
}

// Messages whose REPLY ends the exchange whatever it says (section 18.2.7,
// 18.2.8).
bool done_whatever_status(unsigned type)
{
    return type == msg_release || type == msg_decline;
}

// The answer's option of `code` whose first four data bytes are `iaid`;
// its size, or 0.
std::size_t find_ia(const char* options, const char* end, unsigned code, std::uint32_t iaid, const char*& ia)
{
    for (const char* p = options; const std::size_t n = wire::option_size(p, end); p += n)
        if (wire::get16(p) == code && n >= wire::option_header + 4 && wire::get32(p + 4) == iaid) {
            ia = p;
            return n;
        }
    return 0;
}

// Whether the IA [ia, ia + n) holds an address or prefix the client may use:
// one whose valid lifetime is not zero.
bool holds_lease(const char* ia, std::size_t n, const ia_layout& l)
{
    if (n < l.fixed)
        return false;
    const char* const end = ia + n;
    for (const char* p = ia + l.fixed; const std::size_t m = wire::option_size(p, end); p += m)
        if (wire::get16(p) == l.lease_code && m >= l.lease_size && wire::get32(p + l.valid_at) != 0)
            return true;
    return false;
}

// Whether the IA [ia, ia + n) says NoBinding among its own options.
bool ia_says_no_binding(const char* ia, std::size_t n, const ia_layout& l)
{
    return n >= l.fixed && failure_status(ia + l.fixed, ia + n) == status_no_binding;
}

// Whether the answer's options [options, end) say NoBinding, at the top or
// inside an IA.
bool says_no_binding(const char* options, const char* end)
{
    if (failure_status(options, end) == status_no_binding)
        return true;
    for (const char* p = options; const std::size_t n = wire::option_size(p, end); p += n)
        if (const ia_layout* l = layout_of(wire::get16(p)); l && ia_says_no_binding(p, n, *l))
            return true;
    return false;
}

// Goes through the request's IAs: whether it carried any, whether the answer
// binds any, and the first status an unbound one carried.
reply_verdict judge_leases(const char* request, const char* request_end, const char* answer, const char* answer_end)
{
    reply_verdict verdict;
    verdict.answer_type = wire::get8(answer);
    bool asked = false;
    const char* const answer_options = answer + wire::message_header;
    for (const char* p = request + wire::message_header; const std::size_t n = wire::option_size(p, request_end);
         p += n) {
        const ia_layout* l = layout_of(wire::get16(p));
        if (!l || n < wire::option_header + 4)
            continue;
        asked = true;
        const std::uint32_t iaid = wire::get32(p + 4);
        const char* ia = nullptr;
        const std::size_t size = find_ia(answer_options, answer_end, l->code, iaid, ia);
        if (size == 0)
            continue;
        if (holds_lease(ia, size, *l))
            return reply_verdict{reply_verdict::kind::accepted, 0, verdict.answer_type, 0, 0};
        const unsigned status = size >= l->fixed ? failure_status(ia + l->fixed, ia + size) : 0;
        if (status != status_success && verdict.status == 0) {
            verdict.status = status;
            verdict.ia_code = l->code;
            verdict.iaid = iaid;
        }
    }
    if (asked)
        verdict.what = verdict.status != 0 ? reply_verdict::kind::refused_ia : reply_verdict::kind::no_lease;
    return verdict;
}

} // namespace

unsigned failure_status(const char* begin, const char* end)
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

bool grants_any_lease(const char* begin, const char* end)
{
    if (wire::size(begin, end) < wire::message_header)
        return false;
    for (const char* p = begin + wire::message_header; const std::size_t n = wire::option_size(p, end); p += n)
        if (const ia_layout* l = layout_of(wire::get16(p)); l && holds_lease(p, n, *l))
            return true;
    return false;
}

reply_verdict judge_reply(const char* request_begin, const char* request_end, const char* answer_begin,
                          const char* answer_end, int next_type)
{
    reply_verdict verdict;
    if (wire::size(answer_begin, answer_end) < wire::message_header)
        return verdict;
    verdict.answer_type = wire::get8(answer_begin);
    if (verdict.answer_type != msg_advertise && verdict.answer_type != msg_reply)
        return verdict;

    relay_param::strip_relays(request_begin, request_end);
    const unsigned asked =
        wire::size(request_begin, request_end) < wire::message_header ? 0 : wire::get8(request_begin);
    const char* const answer_options = answer_begin + wire::message_header;
    if (done_whatever_status(asked)) {
        verdict.no_binding = says_no_binding(answer_options, answer_end);
        return verdict;
    }

    verdict.status = failure_status(answer_options, answer_end);
    if (verdict.status != status_success) {
        verdict.what = reply_verdict::kind::refused_message;
        return verdict;
    }
    if (!asks_for_leases(asked))
        return verdict;
    verdict = judge_leases(request_begin, request_end, answer_begin, answer_end);
    if (!verdict.refused() && asked == msg_solicit && verdict.answer_type == msg_advertise && next_type != msg_request &&
        wire::has_option(request_begin, request_end, opt_rapid_commit))
        verdict.what = reply_verdict::kind::rapid_commit_not_honoured;
    return verdict;
}

void log_refused_ia(std::ostream& log, unsigned status, unsigned ia_code, std::uint32_t iaid)
{
    log << "# failed status-code=" << static_cast<status_code>(status) << " on " << static_cast<option_code>(ia_code)
        << " iaid=" << static_cast<std::int32_t>(iaid) << log.widen('\n') << std::flush;
}

void log_verdict(std::ostream& log, const reply_verdict& verdict)
{
    switch (verdict.what) {
    case reply_verdict::kind::accepted:
        if (verdict.no_binding)
            log << "# released without a binding on " << static_cast<message_type>(verdict.answer_type)
                << log.widen('\n') << std::flush;
        return;
    case reply_verdict::kind::rapid_commit_not_honoured:
        log << "# failed rapid commit not honoured";
        break;
    case reply_verdict::kind::refused_ia:
        log_refused_ia(log, verdict.status, verdict.ia_code, verdict.iaid);
        return;
    case reply_verdict::kind::refused_message:
        log << "# failed status-code=" << static_cast<status_code>(verdict.status);
        break;
    case reply_verdict::kind::no_lease:
        log << "# failed no lease offered";
        break;
    }
    log << " on " << static_cast<message_type>(verdict.answer_type) << log.widen('\n') << std::flush;
}

} // namespace quorvelin
} // namespace zarn
