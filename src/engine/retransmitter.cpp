#include "engine/retransmitter.hpp"

namespace zarn {
namespace quorvelin {

retransmitter::retransmitter(const std::vector<int>& step_types, std::chrono::seconds patience, std::uint64_t seed)
    : patience(patience), jitter(seed)
{
    for (int type : step_types)
        by_step.push_back(backoff_for(type));
}

std::uint32_t retransmitter::tag_of(const client_entry& client)
{
    return static_cast<std::uint32_t>(client.info.send_time.time_since_epoch().count());
}

const backoff_params* retransmitter::params_of(const client_entry& client) const
{
    const auto step = static_cast<std::size_t>(client.info.scene_index - 1);
    return step < by_step.size() && by_step[step] ? &*by_step[step] : nullptr;
}

void retransmitter::plan(const client_entry& client)
{
    const backoff_params* p = params_of(client);
    if (!p)
        return;
    const backoff_duration rt = first_timeout(*p, jitter());
    const time_point first = client.info.send_time;
    if (const auto at = next_transmission(*p, first, first, 1, rt, first + patience))
        push(client, *at, rt);
}

void retransmitter::plan_next(const client_entry& client, const time_point& now, backoff_duration previous)
{
    const backoff_params* p = params_of(client);
    if (!p)
        return;
    const backoff_duration rt = next_timeout(*p, previous, jitter());
    const time_point first = client.info.send_time;
    const std::uint32_t transmissions = 1u + client.info.retransmissions;
    if (const auto at = next_transmission(*p, first, now, transmissions, rt, first + patience))
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
