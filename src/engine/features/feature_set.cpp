#include "engine/features/feature_set.hpp"

#include <algorithm>

namespace zarn {
namespace quorvelin {

engine_feature& feature_set::plug(std::unique_ptr<engine_feature> feature)
{
    return *plugged.emplace_back(slot{std::move(feature), earliest_timer(loop, slack)}).feature;
}

void feature_set::sent(client_entry& client)
{
    for (slot& s : plugged)
        s.feature->sent(client);
}

void feature_set::answered(client_entry& client)
{
    for (slot& s : plugged)
        s.feature->answered(client);
}

void feature_set::accepted(client_entry& client, const char* answer, const char* end, const time_point& arrived)
{
    for (slot& s : plugged)
        s.feature->accepted(client, answer, end, arrived);
}

void feature_set::completed(client_entry& client, const char* answer, const char* end, const time_point& arrived)
{
    for (slot& s : plugged)
        s.feature->completed(client, answer, end, arrived);
}

bool feature_set::claims(std::int32_t xid, const char* message, const char* end, const time_point& arrived)
{
    return std::any_of(plugged.begin(), plugged.end(),
                       [&](slot& s) { return s.feature->claims(xid, message, end, arrived); });
}

bool feature_set::keeps_id(std::int32_t xid) const
{
    return std::any_of(plugged.begin(), plugged.end(), [xid](const slot& s) { return s.feature->keeps_id(xid); });
}

void feature_set::wind_down(const time_point& now)
{
    for (slot& s : plugged)
        s.feature->wind_down(now);
}

void feature_set::take_counts(engine_snapshot& reading)
{
    for (slot& s : plugged)
        s.feature->take_counts(reading);
}

void feature_set::arm(const server& serve)
{
    for (slot& s : plugged)
        s.timer.arm(s.feature->earliest(),
                    [&s, serve](const boost::system::error_code& e) { serve(*s.feature, s.timer, e); });
}

void feature_set::cancel() noexcept
{
    for (slot& s : plugged)
        s.timer.cancel();
}

} // namespace quorvelin
} // namespace zarn
