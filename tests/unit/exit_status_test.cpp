#include "main/process/exit_status.hpp"

#include <gtest/gtest.h>

#include <csignal>

TEST(ExitStatus, SignalsThenFailedOutputsThenFailBelowOrSaturationThenZero)
{
    const struct {
        int signal;
        bool output_failed;
        double result;
        std::optional<std::uint32_t> fail_below;
        int want;
        bool saturated = false;
    } cases[] = {
        {0, false, 0, std::nullopt, 0},      {0, false, 99.9, 100u, 3},    {0, false, 100, 100u, 0},
        {SIGINT, false, 0, std::nullopt, 130}, {SIGTERM, false, 0, 100u, 143}, {SIGINT, false, 500, 100u, 130},
        {SIGHUP, false, 0, std::nullopt, 129}, {0, true, 500, std::nullopt, 1}, {0, true, 0, 100u, 1},
        {SIGINT, true, 0, std::nullopt, 130},  {SIGHUP, true, 0, 100u, 129},
        // A saturated generator fails the gate whatever its result, and
        // only when there is a gate.
        {0, false, 500, 100u, 3, true},        {0, false, 500, std::nullopt, 0, true},
        {SIGTERM, false, 500, 100u, 143, true}, {0, true, 500, 100u, 1, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(exit_status(c.signal, c.output_failed, c.result, c.fail_below, c.saturated), c.want)
            << c.signal << " " << c.output_failed << " " << c.result;
}
