#include "message/reply_verdict.hpp"

#include "message/ia_reader.hpp"
#include "message/param.hpp"
#include "message/vocabulary.hpp"
#include "message/wire.hpp"

namespace zarn {
namespace quorvelin {

namespace {

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

// Whether the answer [answer, end) says NoBinding, among its own options or
// inside an IA.
bool says_no_binding(const char* answer, const char* end)
{
    bool said = failure_status(answer + wire::message_header, end) == status_no_binding;
    for_each_ia(answer, end, [&](const ia_view& ia) { said = said || ia.status() == status_no_binding; });
    return said;
}

// Goes through the request's IAs: whether it carried any, whether the answer
// binds any, and the first status an unbound one carried.
reply_verdict judge_leases(const char* request, const char* request_end, const char* answer, const char* answer_end)
{
    reply_verdict verdict;
    verdict.answer_type = wire::get8(answer);
    bool asked = false;
    bool bound = false;
    for_each_ia(request, request_end, [&](const ia_view& wanted) {
        asked = true;
        const std::optional<ia_view> ia = bound ? std::nullopt : find_ia(answer, answer_end, wanted.code(), wanted.iaid());
        if (!ia)
            return;
        if (ia->holds_lease()) {
            bound = true;
            return;
        }
        const unsigned status = ia->status();
        if (status != status_success && verdict.status == 0) {
            verdict.status = status;
            verdict.ia_code = ia->code();
            verdict.iaid = ia->iaid();
        }
    });
    if (bound)
        return reply_verdict{reply_verdict::kind::accepted, 0, verdict.answer_type, 0, 0};
    if (asked)
        verdict.what = verdict.status != 0 ? reply_verdict::kind::refused_ia : reply_verdict::kind::no_lease;
    return verdict;
}

} // namespace

bool grants_any_lease(const char* begin, const char* end)
{
    bool grants = false;
    for_each_ia(begin, end, [&](const ia_view& ia) { grants = grants || ia.holds_lease(); });
    return grants;
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
        verdict.no_binding = says_no_binding(answer_begin, answer_end);
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
