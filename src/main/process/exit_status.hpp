#ifndef QUORVELIN_MAIN_PROCESS_EXIT_STATUS_HPP
#define QUORVELIN_MAIN_PROCESS_EXIT_STATUS_HPP

// The exit status of a test that ended without an error (errors exit 1):
// 128 + the signal when SIGHUP (129), SIGINT (130) or SIGTERM (143)
// interrupted it; 1 when an output (standard output, the report, the debug
// log) stopped taking writes; 3 when its result is below --fail-below, or
// when --fail-below is given and the generator itself was saturated (its
// figures then measure the generator, not the server); 3 likewise when a
// --threshold failed (`thresholds_passed` false), or when thresholds were
// given and the generator was saturated; 0 otherwise.

#include <cstdint>
#include <optional>

int exit_status(int interrupting_signal, bool output_failed, double result, std::optional<std::uint32_t> fail_below,
                bool generator_saturated = false, std::optional<bool> thresholds_passed = std::nullopt);

#endif
