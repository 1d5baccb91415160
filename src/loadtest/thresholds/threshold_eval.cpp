#include "loadtest/thresholds/threshold_eval.hpp"

#include <boost/format.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace zarn {
namespace quorvelin {

namespace {

using json = nlohmann::ordered_json;

// The counts of the summary's "population" object a threshold may name.
const std::vector<std::string> population_figures = {"bound",    "bound_at_end",     "lost",     "unbound",
                                                     "released", "release_answered", "not_bound"};

bool is_population_count(const std::string& name)
{
    return std::find(population_figures.begin(), population_figures.end(), name) != population_figures.end();
}

// Why a field the summary lacks is not there.
std::string missing(const std::string& field)
{
    if (field == "duplicate_leases")
        return "duplicate leases are counted with --check-leases only";
    if (field == "retransmitted")
        return "retransmissions are counted with --retransmit only";
    return "the summary has no " + field;
}

const json& field(const threshold& t, const json& object, const std::string& name)
{
    const auto found = object.find(name);
    if (found == object.end())
        throw threshold_error(t.expression, missing(name));
    return *found;
}

// The object the scope's figures are in: the summary, a step, an exchange.
const json& scope_object(const threshold& t, const json& summary)
{
    switch (t.scope) {
    case threshold_scope::step: {
        const json& steps = field(t, summary, "steps");
        if (t.step > steps.size())
            throw threshold_error(t.expression, "the scenario has " + std::to_string(steps.size()) + " message" +
                                                    (steps.size() == 1 ? "" : "s"));
        return steps[t.step - 1];
    }
    case threshold_scope::renew:
    case threshold_scope::rebind: {
        const auto population = summary.find("population");
        if (population == summary.end())
            throw threshold_error(t.expression, "renew and rebind are counted in the population test only");
        return field(t, *population, t.scope == threshold_scope::renew ? "renew" : "rebind");
    }
    default:
        return summary;
    }
}

// Refusals by status ("refused.2"), or all of them ("refused").
double refusals(const threshold& t, const json& object)
{
    const json& by_status = field(t, object, "refused");
    if (t.status) {
        const auto found = by_status.find(std::to_string(*t.status));
        return found == by_status.end() ? 0 : found->get<double>();
    }
    double all = 0;
    for (const auto& n : by_status)
        all += n.get<double>();
    return all;
}

// A count of one step or exchange.
double scoped_count(const threshold& t, const json& object)
{
    return t.name == "refused" ? refusals(t, object) : field(t, object, t.name).get<double>();
}

// A count of the whole run: its clients', its steps' summed, the socket's,
// the population's, or the mode's result.
double client_count(const threshold& t, const json& summary)
{
    if (t.name == "refused" || t.name == "no_lease_offered") {
        double all = 0;
        for (const auto& step : field(t, summary, "steps"))
            all += scoped_count(t, step);
        return all;
    }
    if (is_population_count(t.name)) {
        const auto population = summary.find("population");
        if (population == summary.end())
            throw threshold_error(t.expression, t.name + " is counted in the population test only");
        return field(t, *population, t.name).get<double>();
    }
    const json& clients = field(t, summary, "clients");
    if (clients.contains(t.name))
        return clients[t.name].get<double>();
    return field(t, summary, t.name).get<double>();
}

double time_scale(threshold_unit unit)
{
    return unit == threshold_unit::s ? 1e6 : unit == threshold_unit::ms ? 1e3 : 1;
}

// The figure in the threshold's unit: a latency's microseconds in it, a
// share's percent of the started clients (whole client) or of the messages
// sent (a step, an exchange).
std::optional<double> value_of(const threshold& t, const json& summary)
{
    const json& object = scope_object(t, summary);
    if (is_latency(t.name)) {
        // Without a single latency measured its figures read 0: that would
        // pass any upper limit on a server that answered nothing.
        const json& latency = field(t, object, "latency_us");
        if (field(t, latency, "count").get<double>() == 0)
            return std::nullopt;
        return field(t, latency, t.name).get<double>() / time_scale(t.unit);
    }
    const bool client = t.scope == threshold_scope::client;
    const double count = client ? client_count(t, summary) : scoped_count(t, object);
    if (t.unit != threshold_unit::percent)
        return count;
    const double whole = client ? field(t, field(t, summary, "clients"), "started").get<double>()
                                : field(t, object, "sent").get<double>();
    if (whole == 0)
        return std::nullopt;
    return count * 100 / whole;
}

} // namespace

threshold_verdict judge_threshold(const threshold& t, const json& summary)
{
    threshold_verdict v;
    v.expression = t.expression;
    v.value = value_of(t, summary);
    v.limit = t.limit;
    v.unit = t.unit;
    v.passed = v.value && holds(*v.value, t.op, t.limit);
    return v;
}

std::string verdict_line(const threshold_verdict& v)
{
    std::string value = "n/a";
    if (v.value) {
        const double x = *v.value;
        // Counts (and a whole result) as whole numbers, microseconds to a
        // tenth, the rest to a thousandth.
        const bool whole = v.unit == threshold_unit::count && x == std::floor(x) && std::fabs(x) < 9e15;
        const char* format = whole ? "%.0f" : v.unit == threshold_unit::us ? "%.1f" : "%.3f";
        value = boost::str(boost::format(format) % x);
        if (v.unit != threshold_unit::count)
            value += std::string(" ") + unit_name(v.unit);
    }
    return "Threshold " + v.expression + ": " + value + ", " + (v.passed ? "passed" : "failed");
}

json verdict_json(const threshold_verdict& v)
{
    return {{"expression", v.expression},
            {"value", v.value ? json(*v.value) : json(nullptr)},
            {"limit", v.limit},
            {"unit", v.unit == threshold_unit::count ? json(nullptr) : json(unit_name(v.unit))},
            {"passed", v.passed}};
}

} // namespace quorvelin
} // namespace zarn
