#include "loadtest/modes/is_error_over.hpp"

#include "main/options/options.hpp"

bool is_error_over(int results, int timeouts)
{
    // Spelled out rather than left to an infinite or NaN quotient.
    if (results == 0)
        return timeouts > 0;
    return static_cast<double>(timeouts) / results * 100 > g_opt_error_threshold;
}
