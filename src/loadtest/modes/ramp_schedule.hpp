#ifndef QUORVELIN_LOADTEST_MODES_RAMP_SCHEDULE_HPP
#define QUORVELIN_LOADTEST_MODES_RAMP_SCHEDULE_HPP

// The capacity ramp's schedule (--ramp FROM:TO:STEP:SECONDS): rates FROM,
// FROM + STEP, ... up to TO (TO itself is always the last step), each sent
// for SECONDS seconds. Fixed in advance, so that generators that each run a
// segment of the test step up together without talking to each other.

#include <cstdint>
#include <string>
#include <vector>

namespace zarn {
namespace quorvelin {

struct ramp_schedule {
    std::uint32_t from = 0;
    std::uint32_t to = 0;
    std::uint32_t step = 0;
    std::uint32_t seconds = 0;

    // The rates of the steps, in order.
    std::vector<std::uint32_t> rates() const;
};

// "FROM:TO:STEP:SECONDS" with 1 <= FROM <= TO <= max_rate, STEP >= 1,
// 1 <= SECONDS <= max_seconds. Throws std::invalid_argument with a message
// that quotes the text.
ramp_schedule parse_ramp(const std::string& text, std::uint32_t max_rate, std::uint32_t max_seconds);

} // namespace quorvelin
} // namespace zarn

#endif
