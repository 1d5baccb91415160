#ifndef QUORVELIN_MAIN_VALUES_START_TIME_HPP
#define QUORVELIN_MAIN_VALUES_START_TIME_HPP

// The instant at which several generators, started one by one, begin
// together (--start-at): an RFC 3339 time such as 2026-12-06T22:30:00Z or
// 2026-12-06T23:30:00.5+01:00.

#include <chrono>
#include <string>

namespace zarn {
namespace quorvelin {

// The time `text` names, which must lie after `now` and at most a day after
// it. Throws std::invalid_argument with a message that quotes the text.
std::chrono::system_clock::time_point parse_start_time(const std::string& text,
                                                       std::chrono::system_clock::time_point now);

} // namespace quorvelin
} // namespace zarn

#endif
