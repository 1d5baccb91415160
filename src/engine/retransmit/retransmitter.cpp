#include "engine/retransmit/retransmitter.hpp"

#include <algorithm>

namespace zarn {
namespace quorvelin {

retransmitter::retransmitter(client_table& table, const std::vector<int>& step_types, std::chrono::seconds patience,
                             std::uint64_t seed)
    : clients(table), jitter(seed), counted(step_types.size()), patience(patience)
{
    for (int type : step_types) {
        const std::optional<backoff_params> p = backoff_for(type);
        by_step.push_back(p ? std::optional<backoff_timeouts>(std::in_place, *p, jitter) : std::nullopt);
    }
}

void retransmitter::serve(const time_point& now, outbox& out)
{
    while (planned.due(now)) {
        const planned_send due = planned.pop().what;
        client_entry* client = clients.find(due.id);
        if (!client || !waiting(*client, due))
            continue;
        transaction_info& info = client->info;
        stamp_elapsed_time(client->last.data, client->last.size, info.send_time, now);
        info.queued_until_flush = out.send(client->last.data, client->last.size);
        ++counted[static_cast<std::size_t>(info.scene_index - 1)].retransmitted;
        if (info.retransmissions != UINT8_MAX)
            ++info.retransmissions;
        plan_next(*client, now, backoff_duration(due.rt_us));
    }
}

void retransmitter::answered(client_entry& client)
{
    const std::uint8_t n = client.info.retransmissions;
    if (n != 0)
        ++counted[static_cast<std::size_t>(client.info.scene_index - 1)]
              .needed[std::min<std::size_t>(n, retransmission_slots) - 1];
}

void retransmitter::take_counts(engine_snapshot& reading)
{
    for (std::size_t step = 0; step < counted.size() && step < reading.counted.steps.size(); ++step) {
        step_measurements& s = reading.counted.steps[step];
        s.retransmitted += counted[step].retransmitted;
        for (std::size_t k = 0; k < retransmission_slots; ++k)
            s.needed_retransmissions[k] += counted[step].needed[k];
        counted[step] = step_counts{};
    }
}

std::uint32_t retransmitter::tag_of(const client_entry& client)
{
    return static_cast<std::uint32_t>(client.info.send_time.time_since_epoch().count());
}

const backoff_timeouts* retransmitter::timeouts_of(const client_entry& client) const
{
    const auto step = static_cast<std::size_t>(client.info.scene_index - 1);
    return step < by_step.size() && by_step[step] ? &*by_step[step] : nullptr;
}

void retransmitter::sent(client_entry& client)
{
    const backoff_timeouts* t = timeouts_of(client);
    if (!t)
        return;
    const backoff_duration rt = t->first();
    const time_point first = client.info.send_time;
    if (const auto at = next_transmission(t->params(), first, first, 1, rt, first + patience))
        push(client, *at, rt);
}

void retransmitter::plan_next(const client_entry& client, const time_point& now, backoff_duration previous)
{
    const backoff_timeouts* t = timeouts_of(client);
    if (!t)
        return;
    const backoff_duration rt = t->after(previous);
    const time_point first = client.info.send_time;
    const std::uint32_t transmissions = 1u + client.info.retransmissions;
    if (const auto at = next_transmission(t->params(), first, now, transmissions, rt, first + patience))
        push(client, *at, rt);
}

void retransmitter::push(const client_entry& client, const time_point& at, backoff_duration rt)
{
    planned.push(at, planned_send{client.id, tag_of(client), static_cast<std::uint32_t>(rt.count())});
}

std::optional<retransmitter::time_point> retransmitter::earliest() const
{
    if (planned.empty())
        return std::nullopt;
    return planned.top().due;
}

bool retransmitter::waiting(const client_entry& client, const planned_send& due) const
{
    return !client.info.stalled && tag_of(client) == due.tag && client.last.data != nullptr;
}

} // namespace quorvelin
} // namespace zarn
