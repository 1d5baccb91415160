#ifndef QUORVELIN_MESSAGE_REPLY_VERDICT_HPP
#define QUORVELIN_MESSAGE_REPLY_VERDICT_HPP

// Whether an answer refuses the request it answers, wherever the server put
// the refusal (RFC 8415):
// - a Status Code other than Success among the ADVERTISE's or REPLY's own
//   options (section 18.3.9: a server that assigns nothing SHOULD say
//   NoAddrsAvail there);
// - an answer to SOLICIT, REQUEST, RENEW or REBIND that holds no address and
//   no prefix for any IA the request carried (section 18.2.9: a client MUST
//   ignore such an ADVERTISE); it is refused under the status of the first of
//   the client's IAs that carries one, else as "no lease offered".
// An answer that binds at least one of the client's IAs is accepted here;
// a failure status inside one of its other IAs still stops the client when
// its next message is built from it.
// An ADVERTISE to a SOLICIT with Rapid Commit is not what the client asked
// for (section 18.2.1): unless a REQUEST follows in its scenario, the client
// has nothing to send and stops, as after a refusal.
// A REPLY to RELEASE or DECLINE is never a refusal: whatever its status
// codes, the client is done (section 18.2.7); a NoBinding in it is noted.

#include "message/ia_reader.hpp"

#include <cstdint>
#include <ostream>

namespace zarn {
namespace quorvelin {

struct reply_verdict {
    enum class kind {
        accepted,
        refused_message, // a failure status among the answer's own options
        refused_ia,      // no lease, and a failure status inside one of the client's IAs
        no_lease,        // no lease and no status saying why
        rapid_commit_not_honoured, // an ADVERTISE to a Rapid Commit SOLICIT, and no REQUEST to follow
    };
    kind what = kind::accepted;
    unsigned status = 0;       // the refusing status (refused_message, refused_ia)
    unsigned answer_type = 0;  // the answer's message type
    unsigned ia_code = 0;      // refused_ia: the IA that carried the status
    std::uint32_t iaid = 0;
    // A REPLY to RELEASE or DECLINE said NoBinding, at its top or in an IA.
    bool no_binding = false;

    bool refused() const noexcept { return what != kind::accepted; }
};

// Judges the client/server message [answer_begin, answer_end) as the answer
// to the client's request [request_begin, request_end), which may still be
// wrapped in its relay-forward layers. `next_type` is the message type the
// client sends next (0 when the request was its last). Reads nothing
// outside either range.
reply_verdict judge_reply(const char* request_begin, const char* request_end, const char* answer_begin,
                          const char* answer_end, int next_type);

// Whether the client/server message [begin, end) holds an address or prefix
// with a valid lifetime in any IA: an answer that grants, which a REPLY to
// RELEASE or DECLINE never is.
bool grants_any_lease(const char* begin, const char* end);

// The debug log's line for a refusal, "# failed ...", or for a NoBinding to
// RELEASE or DECLINE (nothing for other accepted answers).
void log_verdict(std::ostream& log, const reply_verdict& verdict);

// The debug log's line for a failure status inside an IA.
void log_refused_ia(std::ostream& log, unsigned status, unsigned ia_code, std::uint32_t iaid);

} // namespace quorvelin
} // namespace zarn

#endif
