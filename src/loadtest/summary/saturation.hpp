#ifndef QUORVELIN_LOADTEST_SUMMARY_SATURATION_HPP
#define QUORVELIN_LOADTEST_SUMMARY_SATURATION_HPP

// Whether the generator itself limited a run. A load generator that cannot
// keep up drops the server's replies in its own socket buffer, or starts
// its seconds late; its figures then measure the generator, and a server
// that served everything looks as if it lost leases or clients.

#include "engine/counts/measurements.hpp"
#include "loadtest/run_outcome.hpp"

#include <cstdint>
#include <ostream>
#include <string>

namespace zarn {
namespace quorvelin {

// A tick this late means the clients of a second were started a second late.
constexpr std::uint32_t saturated_tick_late_ms = 1000;

// Saturated: the kernel dropped more than 0.1 % of the datagrams that
// reached the socket for want of receive buffer, or a tick started at least
// saturated_tick_late_ms late.
bool generator_saturated(const measurements& run, std::uint32_t tick_late_ms_max);

// What saturated it: "N datagrams dropped ... ticks up to M ms late".
std::string saturation_figures(const run_outcome& o);

// The summary's line for a saturated generator; nothing otherwise.
void print_saturation(std::ostream& os, const run_outcome& o);

} // namespace quorvelin
} // namespace zarn

#endif
