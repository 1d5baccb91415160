#include "engine/population/population_feature.hpp"

#include "message/reply_verdict.hpp"
#include "message/wire.hpp"

namespace zarn {
namespace quorvelin {

population_feature::population_feature(client_table& table, renewal_scenes renewals, failure_log& failure_log,
                                       double compression, std::uint64_t seed,
                                       std::optional<std::uint64_t> steady_seed, std::chrono::microseconds spacing,
                                       subscriber_listener* listener, std::ostream* debug_log)
    : clients(table), scenes(renewals), failures(failure_log), release_spacing(spacing), log(debug_log),
      population(compression, seed, steady_seed)
{
    population.follow(listener);
}

population_feature::~population_feature()
{
    clients.release_detached(scratch);
}

void population_feature::completed(client_entry& client, const char* answer, const char* end,
                                   const time_point& arrived)
{
    population.bind(client.id, answer, end, arrived);
}

bool population_feature::claims(std::int32_t xid, const char* message, const char* end, const time_point& arrived)
{
    const bound_population::bytes asked = population.asked(xid);
    unsigned refused = 0;
    if (asked.begin != asked.end) {
        const reply_verdict verdict = judge_reply(asked.begin, asked.end, message, end, 0);
        if (verdict.refused())
            refused = verdict.status;
    }
    if (!population.answer(xid, message, end, refused, arrived))
        return false;
    if (log)
        *log << "# received xid:" << xid << " (bound)" << std::endl;
    return true;
}

void population_feature::wind_down(const time_point& now)
{
    population.release_all(now, release_spacing);
}

void population_feature::take_counts(engine_snapshot& reading)
{
    reading.counted.population.add(population.take_counts());
    reading.stats.bound = static_cast<unsigned>(population.size());
    reading.stats.releasing = static_cast<unsigned>(population.releases_pending());
}

void population_feature::serve(const time_point& now, outbox& out)
{
    population.serve(
        now, [this](int type, bound_population::bytes kept, std::int32_t xid) { return build(type, kept, xid); },
        [&out](bound_population::bytes message) {
            out.send(message.begin, static_cast<std::size_t>(message.end - message.begin));
        },
        [](std::int32_t) {});
}

bound_population::bytes population_feature::build(int type, bound_population::bytes kept, std::int32_t xid)
{
    const top_param& scene = type == msg_renew ? scenes.renew : type == msg_rebind ? scenes.rebind : scenes.release;
    std::ptrdiff_t length = -1;
    try {
        length = clients.build_detached(scratch, scene, kept.begin, kept.end);
    } catch (const std::exception& e) {
        failures.report(-1, e.what());
    }
    if (length <= 0 || length > std::ptrdiff_t(wire::max_message_size) ||
        !wire::put_client_xid(scratch.data, scratch.data + length, xid))
        return {};
    return {scratch.data, scratch.data + length};
}

} // namespace quorvelin
} // namespace zarn
