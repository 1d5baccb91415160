#ifndef QUORVELIN_ENGINE_RETRANSMITTER_HPP
#define QUORVELIN_ENGINE_RETRANSMITTER_HPP

// Clients that retransmit like RFC 8415 clients: each message a client sends
// is planned for retransmission on its type's backoff schedule (backoff.hpp)
// in one deadline queue, and goes out again, same transaction id and
// bytes, Elapsed Time brought up to date, for as long as the client still
// waits for its answer. A planned retransmission is recognised as stale by
// its tag, the low bits of the client's send time, which every new message
// changes; a client that was answered, stopped or left the table is simply
// skipped when its entry falls due. No sockets, no timer and no lock: the
// transaction manager owns those and serialises every call.

#include "engine/backoff.hpp"
#include "engine/client_table.hpp"
#include "engine/deadline_queue.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace zarn {
namespace quorvelin {

class retransmitter {
public:
    using time_point = transaction_info::time_point;

    // `step_types`: the message type of each scenario step; `patience`: how
    // long after its first transmission a client gives up on a message.
    retransmitter(const std::vector<int>& step_types, std::chrono::seconds patience, std::uint64_t seed);

    // Plans the first retransmission of the message the client has just
    // sent (its first transmission, stamped at its send time).
    void plan(const client_entry& client);

    // The earliest planned retransmission, stale or not.
    std::optional<time_point> earliest() const;

    // Every retransmission due at `now`: for a client still waiting on the
    // planned message, the Elapsed Time in its message is brought up to
    // date, `resend(client)` sends it again, and the next one is planned.
    template <class Resend>
    void serve(const time_point& now, client_table& clients, Resend resend)
    {
        while (planned.due(now)) {
            const planned_send due = planned.pop().what;
            client_entry* client = clients.find(due.id);
            if (!client || !waiting(*client, due))
                continue;
            stamp_elapsed_time(client->last.data, client->last.size, client->info.send_time, now);
            resend(*client);
            plan_next(*client, now, backoff_duration(due.rt_us));
        }
    }

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
    const backoff_params* params_of(const client_entry& client) const;

    std::vector<std::optional<backoff_params>> by_step;
    std::chrono::seconds patience;
    backoff_jitter jitter;
    deadline_queue<time_point, planned_send> planned;
};

} // namespace quorvelin
} // namespace zarn

#endif
