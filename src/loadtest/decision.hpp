#ifndef QUORVELIN_LOADTEST_DECISION_HPP
#define QUORVELIN_LOADTEST_DECISION_HPP

// What a test mode decides from one second's figures, for the tick loop to
// carry out: whether the engine's counters are cleared, the lines the
// decision prints and records, and whether the test ends.

#include "loadtest/report/report_writer.hpp"
#include "loadtest/run_outcome.hpp"

#include <cstdint>

#include <string>
#include <utility>
#include <vector>

namespace zarn {
namespace quorvelin {

// One decision as the recorder sees it: an event with its figures by name,
// and the line printed unless quiet (none when `text` is empty).
struct announcement {
    const char* event;
    run_event::figure_list figures;
    std::string text;
};

struct decision {
    enum class ending {
        none,
        stop,            // the event loop stops; beats and receives are left as they are
        cancel_and_stop, // the beats and the socket are cancelled first
    };

    // The engine's counters are cleared before the lines are recorded.
    bool clear_results = false;
    // Every bound subscriber of a population test sends RELEASE, before the lines.
    bool release_population = false;
    std::vector<announcement> lines;
    ending end = ending::none;
    // After an interruption: seconds beyond the timeout the wind-down may
    // take (a population's releases going out).
    std::uint32_t wind_down_s = 0;

    decision& clear()
    {
        clear_results = true;
        return *this;
    }
    decision& release()
    {
        release_population = true;
        return *this;
    }
    decision& say(const char* event, std::string text, run_event::figure_list figures = {})
    {
        lines.push_back({event, std::move(figures), std::move(text)});
        return *this;
    }
    decision& finish(ending how)
    {
        end = how;
        return *this;
    }
};

// What a mode that only offers a rate (or a number of clients) has found;
// the recorder works out the result.
inline run_outcome offered_outcome(opt_mode_t mode, std::uint32_t offered)
{
    run_outcome o;
    o.mode = mode;
    o.offered = offered;
    return o;
}

} // namespace quorvelin
} // namespace zarn

#endif
