#ifndef QUORVELIN_ENGINE_RETRANSMIT_RETRANSMITTER_HPP
#define QUORVELIN_ENGINE_RETRANSMIT_RETRANSMITTER_HPP

// Clients that retransmit like RFC 8415 clients: each message a client sends
// is planned for retransmission on its type's backoff schedule (backoff.hpp)
// in one deadline queue, and goes out again, same transaction id and
// bytes, Elapsed Time brought up to date, for as long as the client still
// waits for its answer. A planned retransmission is recognised as stale by
// its tag, the low bits of the client's send time, which every new message
// changes; a client that was answered, stopped or left the table is simply
// skipped when its entry falls due. An engine feature: it learns of each
// message sent and of each answer taken, and counts, per step, the
// retransmissions sent and the answers that needed them.

#include "engine/client_table.hpp"
#include "engine/features/feature.hpp"
#include "engine/schedule/backoff.hpp"
#include "engine/schedule/deadline_queue.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace zarn {
namespace quorvelin {

class retransmitter : public engine_feature {
public:
    // `clients`: whose messages go out again; `step_types`: the message type
    // of each scenario step; `patience`: how long after its first
    // transmission a client gives up on a message.
    retransmitter(client_table& clients, const std::vector<int>& step_types, std::chrono::seconds patience,
                  std::uint64_t seed);
    retransmitter(const retransmitter&) = delete;
    retransmitter& operator=(const retransmitter&) = delete;

    // Plans the first retransmission of the message the client has just
    // sent (its first transmission, stamped at its send time).
    void sent(client_entry& client) override;
    // Counts the answer under the retransmissions it needed.
    void answered(client_entry& client) override;
    void take_counts(engine_snapshot& reading) override;

    // The earliest planned retransmission, stale or not.
    std::optional<time_point> earliest() const override;
    // Every retransmission due at `now`: for a client still waiting on the
    // planned message, the Elapsed Time in its message is brought up to
    // date, it goes out again, and the next one is planned.
    void serve(const time_point& now, outbox& out) override;

private:
    struct planned_send {
        std::int32_t id;
        std::uint32_t tag;   // the client's send time's low bits when planned
        std::uint32_t rt_us; // RT that led to this transmission (at most MRT + 10 %, about 66 minutes)
    };

    static std::uint32_t tag_of(const client_entry& client);
    // Whether the client still waits for the answer to the planned message.
    bool waiting(const client_entry& client, const planned_send& due) const;
    // After a transmission at `now` that followed timeout `rt`.
    void plan_next(const client_entry& client, const time_point& now, backoff_duration rt);
    void push(const client_entry& client, const time_point& at, backoff_duration rt);
    const backoff_timeouts* timeouts_of(const client_entry& client) const;

    // Counted per step since the last take_counts.
    struct step_counts {
        std::uint64_t retransmitted = 0;
        std::array<std::uint64_t, retransmission_slots> needed{};
    };

    client_table& clients;
    backoff_jitter jitter;
    std::vector<std::optional<backoff_timeouts>> by_step;
    std::vector<step_counts> counted;
    std::chrono::seconds patience;
    deadline_queue<time_point, planned_send> planned;
};

} // namespace quorvelin
} // namespace zarn

#endif
