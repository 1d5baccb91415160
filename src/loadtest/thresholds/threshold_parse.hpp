#ifndef QUORVELIN_LOADTEST_THRESHOLDS_THRESHOLD_PARSE_HPP
#define QUORVELIN_LOADTEST_THRESHOLDS_THRESHOLD_PARSE_HPP

// --threshold EXPR: a limit on one figure of the run's summary record,
// written FIGURE OP NUMBER[UNIT]: "p99<5ms", "step2.p50 < 800us",
// "completed>=99.9%", "refused.NoAddrAvail==0", "renew.p99<10ms".
//
//   FIGURE := [SCOPE "."] NAME      SCOPE := stepK | renew | rebind
//   OP     := < | <= | > | >= | == | !=
//   UNIT   := us | ms | s (latencies, required) | % (a share of a count)
//
// scripts/thresholds.py reads the same grammar for merge; both are run over
// tests/fixtures/thresholds/cases.tsv so that they keep one meaning.

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>

namespace zarn {
namespace quorvelin {

// A threshold that cannot be read, or names a figure the run does not
// have. what(): `--threshold "p99<<5": <reason>`, the expression as given.
class threshold_error : public std::runtime_error {
public:
    threshold_error(const std::string& expression, const std::string& reason);
};

// Whose figure: the whole client's (and the run's), one scenario step's, or
// one of a population's renewal exchanges.
enum class threshold_scope { client, step, renew, rebind };

enum class threshold_op { less, less_equal, greater, greater_equal, equal, not_equal };

// What the limit is in: a plain count (or the mode's result), a latency's
// time unit, or a share in percent.
enum class threshold_unit { count, us, ms, s, percent };

struct threshold {
    std::string expression; // as given
    threshold_scope scope = threshold_scope::client;
    std::size_t step = 0; // from 1, in the step scope
    // "p50" ... "max" for latencies ("p99.9" reads as "p999", the report's
    // name), or a count's field name, e.g. "completed" or "refused".
    std::string name;
    std::optional<int> status; // refused.STATUS: the status code
    threshold_op op = threshold_op::less;
    double limit = 0;
    threshold_unit unit = threshold_unit::count;
};

// Reads one expression; throws threshold_error with what is wrong with it.
threshold parse_threshold(const std::string& expression);

// Whether `name` is a latency (p50, p90, p99, p999, min, mean, max).
bool is_latency(const std::string& name);

// "us", "ms", "s", "%", or "" for a count.
const char* unit_name(threshold_unit unit);

// Whether `value` OP `limit` holds.
bool holds(double value, threshold_op op, double limit);

} // namespace quorvelin
} // namespace zarn

#endif
