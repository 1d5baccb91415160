// Which engine features a run plugs in, from the command line's settings.
#include "engine/features/feature_set.hpp"
#include "engine/leases/lease_check.hpp"
#include "engine/reservations/reservation_check.hpp"
#include "main/options/access_options.hpp"
#include "engine/population/population_feature.hpp"
#include "engine/retransmit/retransmitter.hpp"
#include "engine/schedule/random_seed.hpp"
#include "main/options/options.hpp"
#include "main/options/population_options.hpp"
#include "message/param.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace zarn {
namespace quorvelin {

namespace {

std::vector<int> step_types()
{
    std::vector<int> types;
    for (const auto& scene : g_opt_scenario)
        types.push_back(scene->type_);
    return types;
}

} // namespace

void plug_chosen_features(feature_set& features, client_table& clients, failure_log& failures)
{
    if (g_opt_reservations)
        features.plug(std::make_unique<reservation_check>(*g_opt_reservations, g_opt_scenario.size(), g_opt_log.get()));
    if (g_opt_retransmit)
        features.plug(std::make_unique<retransmitter>(
            clients, step_types(), std::chrono::seconds(g_opt_timeout),
            stream_seed(g_opt_seed, random_stream::retransmission, g_opt_segment.index)));
    // The lease check follows the population's subscribers too, so it comes
    // first; their leases run on the population's compressed clock.
    lease_check* leases = nullptr;
    if (g_opt_check_leases) {
        auto check = std::make_unique<lease_check>(g_opt_mode == opt_mode_population ? g_opt_time_compression : 1,
                                                   step_types(), g_opt_log.get());
        leases = check.get();
        features.plug(std::move(check));
    }
    if (g_opt_mode == opt_mode_population) {
        const population_scenes& s = g_opt_population_scenes;
        // The releases go out at the rate clients started, each segment at
        // its share of it.
        const std::uint64_t spacing_us =
            std::uint64_t(1000000) * g_opt_segment.count / std::max<std::uint32_t>(g_opt_minimum, 1);
        std::optional<std::uint64_t> steady;
        if (g_opt_steady_start)
            steady = stream_seed(g_opt_seed, random_stream::steady_start, g_opt_segment.index);
        features.plug(std::make_unique<population_feature>(
            clients, renewal_scenes{*s.renew, *s.rebind, *s.release}, failures, g_opt_time_compression,
            stream_seed(g_opt_seed, random_stream::population, g_opt_segment.index), steady,
            std::chrono::microseconds(spacing_us), leases, g_opt_log.get()));
    }
}

} // namespace quorvelin
} // namespace zarn
