#include "main/process/exit_status.hpp"

int exit_status(int interrupting_signal, bool output_failed, double result, std::optional<std::uint32_t> fail_below,
                bool generator_saturated, std::optional<bool> thresholds_passed)
{
    if (interrupting_signal != 0)
        return 128 + interrupting_signal;
    if (output_failed)
        return 1;
    if (fail_below && (result < double(*fail_below) || generator_saturated))
        return 3;
    if (thresholds_passed && (!*thresholds_passed || generator_saturated))
        return 3;
    return 0;
}
