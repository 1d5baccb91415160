#ifndef QUORVELIN_LOADTEST_REPORT_REPORT_WRITER_HPP
#define QUORVELIN_LOADTEST_REPORT_REPORT_WRITER_HPP

// The --report file: JSON Lines, one object per line, each flushed as it is
// written so that `tail -f` follows a run. A "start" record, then one "tick"
// per second and one "event" per driver decision, and a "summary" last.
// docs/report.md documents every field; "format" in the start record changes
// whenever a field changes meaning.

#include "engine/counts/measurements.hpp"
#include "engine/counts/snapshot.hpp"
#include "loadtest/progress_rates.hpp"
#include "loadtest/run_outcome.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace zarn {
namespace quorvelin {

// The figures of one progress line: when, its number, the engine's
// counters and the mode's three rates.
struct tick_report {
    std::chrono::system_clock::time_point at;
    std::uint32_t tick = 0;
    table_stats stats;
    progress_rates rates{0, 0, 0};
};

// A driver's decision: its name, the line it prints (also when quiet), and
// its figures by name.
struct run_event {
    using figure_list = std::vector<std::pair<std::string, std::int64_t>>;

    std::chrono::system_clock::time_point at;
    std::uint32_t tick = 0;
    std::string name;
    std::string text;
    figure_list figures;
};

class report_writer {
public:
    static constexpr int format = 1;

    explicit report_writer(std::ostream& out) : out_(out) {}

    void start(opt_mode_t mode, const std::vector<std::string>& messages, std::chrono::system_clock::time_point at);
    // The tick's progress line and what the engine counted in its second.
    void tick(const tick_report& tick, const measurements& second);
    void event(const run_event& event);
    void summary(const run_outcome& outcome);
    // A summary record made by summary_record, thresholds' verdicts added.
    void summary(const nlohmann::ordered_json& record);

private:
    std::ostream& out_;
};

// The summary record of a run, as the report's last line holds it; also
// what --threshold judges, whether or not there is a report.
nlohmann::ordered_json summary_record(const run_outcome& outcome);

// A time as RFC 3339 in UTC, to the microsecond: 2024-05-01T12:00:00.123456Z.
std::string rfc3339(std::chrono::system_clock::time_point at);

} // namespace quorvelin
} // namespace zarn

#endif
