#ifndef QUORVELIN_ENGINE_CLIENT_MESSAGES_HPP
#define QUORVELIN_ENGINE_CLIENT_MESSAGES_HPP

// The clients' last messages and the builds of their next ones. Each client
// keeps its last message in a block sized to it (message_pool). The encoder
// and the reply walks read a previous request, and the message a client's
// first scenario message answers, as whole zero-filled packet buffers
// (option walks end at option code 0 or at the buffer's end), and a build
// writes into a packet buffer. So for each build those messages are copied
// into zero-filled scratch buffers, and only the bytes copied or written are
// cleared again. What a client sees is exactly what it would see with a
// packet buffer of its own that each build overwrites in place.
//
// Not thread-safe: builds advance the shared scenario cursors, so the owner
// serialises every call anyway.

#include "engine/message_pool.hpp"
#include "engine/socket/scratch_buffer.hpp"
#include "message/param.hpp"

#include <cstddef>
#include <cstdint>

namespace zarn {
namespace quorvelin {

class client_messages {
public:
    // A range [begin, end) of bytes.
    struct range {
        const char* begin;
        const char* end;
    };

    // The message a new client's first scenario message answers: its
    // generated identity, which names it by `id`. Valid until end_start.
    range start_fresh(std::int32_t id);
    // A restarted client: its last message, as the whole zero-tailed packet
    // it was built into (valid until end_start), and the id that message
    // carries under any relay layers, which the client keeps. `last` is
    // released: the client starts with no previous request.
    struct restart {
        range answered;
        std::int32_t id;
    };
    restart start_restart(stored_message& last);
    // The client has started: the range above is gone.
    void end_start() noexcept { answered.clear(); }

    // Builds `scene` as the next message of the client whose last message is
    // `last`, answering [reply_begin, reply_end). Returns its length, with
    // `last` holding it, or -1 when the encoder returned null. A failed
    // build, null or an exception (which propagates), leaves in `last` what
    // it wrote over the last message, as it would in place.
    std::ptrdiff_t build(stored_message& last, const top_param& scene, const char* reply_begin,
                         const char* reply_end);
    // The same, telling in `outcome` why a build returned -1.
    std::ptrdiff_t build(stored_message& last, const top_param& scene, const char* reply_begin,
                         const char* reply_end, build_outcome& outcome);

    void release(stored_message& m) noexcept { pool.release(m); }

    // Whether every scratch buffer is zero, as it must be between builds
    // (and between starts). For checks: it reads all three.
    bool scratch_clear() const noexcept { return answered.zero() && previous.zero() && output.zero(); }

private:
    // A failed build: what the output holds now is the last message.
    void keep_partial(stored_message& last);

    message_pool pool;
    scratch_buffer answered; // what a starting client's first message answers
    scratch_buffer previous; // the previous request of a build
    scratch_buffer output;   // the message being built
};

} // namespace quorvelin
} // namespace zarn

#endif
