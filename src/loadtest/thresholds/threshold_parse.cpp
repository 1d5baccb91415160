#include "loadtest/thresholds/threshold_parse.hpp"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <regex>
#include <vector>

namespace zarn {
namespace quorvelin {

namespace {

const std::array<const char*, 7> latency_names = {"p50", "p90", "p99", "p999", "min", "mean", "max"};

// The counts of each scope, by the summary record's field names
// (docs/report.md); the client's also name the run's own figures.
const std::vector<std::string> client_counts = {
    "started", "completed", "timed_out", "stalled", "pending", "cleared", "refused", "no_lease_offered",
    "duplicate_leases", "received", "unmatched_replies", "rcvbuf_drops", "result", "bound", "bound_at_end", "lost",
    "unbound", "released", "release_answered", "not_bound"};
const std::vector<std::string> step_counts = {
    "sent", "answered", "timed_out", "refused", "no_lease_offered", "rapid_commit_not_honoured",
    "released_without_binding", "duplicates", "no_server_id", "unbuildable", "duplicate_leases", "retransmitted"};
const std::vector<std::string> exchange_counts = {
    "sent", "retransmitted", "answered", "refused", "no_lease_offered", "timed_out", "duplicate_leases"};

// Status names as the summary prints them (RFC 8415 section 21.13, RFC 5007).
const std::array<const char*, 11> status_names = {
    "Success",       "UnspecFail",       "NoAddrAvail",    "NoBinding",     "NotOnLink", "UseMulticast",
    "NoPrefixAvail", "UnknownQueryType", "MalformedQuery", "NotConfigured", "NotAllowed"};

const std::vector<std::string>& counts_of(threshold_scope scope)
{
    switch (scope) {
    case threshold_scope::step:
        return step_counts;
    case threshold_scope::renew:
    case threshold_scope::rebind:
        return exchange_counts;
    default:
        return client_counts;
    }
}

bool listed(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// The operator at `at`, and how many characters it takes.
std::pair<threshold_op, std::size_t> read_op(const threshold& t, std::size_t at)
{
    const std::string& e = t.expression;
    const bool then_equals = at + 1 < e.size() && e[at + 1] == '=';
    switch (e[at]) {
    case '<':
        return then_equals ? std::pair{threshold_op::less_equal, 2} : std::pair{threshold_op::less, 1};
    case '>':
        return then_equals ? std::pair{threshold_op::greater_equal, 2} : std::pair{threshold_op::greater, 1};
    case '=':
        if (then_equals)
            return {threshold_op::equal, 2};
        break;
    default: // '!'
        if (then_equals)
            return {threshold_op::not_equal, 2};
        break;
    }
    throw threshold_error(e, "\"" + e.substr(at, 1) + "\" is no comparison: use <, <=, >, >=, == or !=");
}

int read_status(const threshold& t, const std::string& text)
{
    static const std::regex code_digits("[0-9]{1,3}");
    if (std::regex_match(text, code_digits)) {
        const int code = std::atoi(text.c_str());
        if (code <= 255)
            return code;
    }
    for (std::size_t code = 0; code < status_names.size(); ++code)
        if (boost::algorithm::iequals(text, status_names[code]))
            return static_cast<int>(code);
    throw threshold_error(t.expression, "unknown status \"" + text +
                                            "\": a code from 0 to 255, or a name such as NoAddrAvail");
}

// FIGURE: the scope, then the name (a refusal's status after it).
void read_figure(threshold& t, const std::string& figure)
{
    static const std::regex scoped(R"(^(?:step([0-9]{1,6})|(renew)|(rebind))\.(.*)$)");
    std::smatch m;
    std::string name = figure;
    if (std::regex_match(figure, m, scoped)) {
        if (m[1].matched) {
            t.scope = threshold_scope::step;
            t.step = std::stoul(m[1].str());
            if (t.step == 0)
                throw threshold_error(t.expression, "steps are counted from 1, the scenario's first message");
        } else {
            t.scope = m[2].matched ? threshold_scope::renew : threshold_scope::rebind;
        }
        name = m[4].str();
    }
    if (name == "p99.9")
        name = "p999";
    if (boost::algorithm::starts_with(name, "refused.")) {
        t.status = read_status(t, name.substr(8));
        name = "refused";
    }
    if (!is_latency(name) && !listed(counts_of(t.scope), name))
        throw threshold_error(t.expression, "unknown figure \"" + figure + "\"");
    t.name = name;
}

// NUMBER[UNIT], and whether the unit suits the figure.
void read_limit(threshold& t, const std::string& text)
{
    static const std::regex limit(R"(^([0-9]+(?:\.[0-9]+)?)(us|ms|s|%)?$)");
    std::smatch m;
    if (!std::regex_match(text, m, limit))
        throw threshold_error(t.expression, "\"" + text + "\" is no limit: a number with its unit, e.g. 5ms, 99.9% or 0");
    t.limit = std::strtod(m[1].str().c_str(), nullptr);
    const std::string unit = m[2].str();
    t.unit = unit == "us"  ? threshold_unit::us
             : unit == "ms" ? threshold_unit::ms
             : unit == "s"  ? threshold_unit::s
             : unit == "%"  ? threshold_unit::percent
                            : threshold_unit::count;
    const bool in_time = t.unit != threshold_unit::count && t.unit != threshold_unit::percent;
    if (is_latency(t.name) && !in_time)
        throw threshold_error(t.expression, t.name + " is a latency: its limit takes a unit, us, ms or s");
    if (!is_latency(t.name) && in_time)
        throw threshold_error(t.expression, t.name + " is a count: its limit takes no time unit (a share takes %)");
    if (t.name == "result" && t.unit == threshold_unit::percent)
        throw threshold_error(t.expression, "result is the mode's result, no count of clients: its limit takes no %");
}

} // namespace

threshold_error::threshold_error(const std::string& expression, const std::string& reason)
    : std::runtime_error("--threshold \"" + expression + "\": " + reason)
{
}

threshold parse_threshold(const std::string& expression)
{
    threshold t;
    t.expression = expression;
    const std::size_t at = expression.find_first_of("<>=!");
    if (at == std::string::npos)
        throw threshold_error(expression, "no comparison: FIGURE OP LIMIT, e.g. p99<5ms (OP: <, <=, >, >=, == or !=)");
    const auto [op, length] = read_op(t, at);
    t.op = op;
    const std::string figure = boost::algorithm::trim_copy(expression.substr(0, at));
    const std::string limit = boost::algorithm::trim_copy(expression.substr(at + length));
    if (figure.empty())
        throw threshold_error(expression, "no figure before the comparison");
    read_figure(t, figure);
    read_limit(t, limit);
    return t;
}

bool is_latency(const std::string& name)
{
    return std::find(latency_names.begin(), latency_names.end(), name) != latency_names.end();
}

const char* unit_name(threshold_unit unit)
{
    switch (unit) {
    case threshold_unit::us:
        return "us";
    case threshold_unit::ms:
        return "ms";
    case threshold_unit::s:
        return "s";
    case threshold_unit::percent:
        return "%";
    default:
        return "";
    }
}

bool holds(double value, threshold_op op, double limit)
{
    switch (op) {
    case threshold_op::less:
        return value < limit;
    case threshold_op::less_equal:
        return value <= limit;
    case threshold_op::greater:
        return value > limit;
    case threshold_op::greater_equal:
        return value >= limit;
    case threshold_op::equal:
        return value == limit;
    default:
        return value != limit;
    }
}

} // namespace quorvelin
} // namespace zarn
