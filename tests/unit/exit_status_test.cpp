#include "main/exit_status.hpp"

#include <gtest/gtest.h>

#include <csignal>

TEST(ExitStatus, SignalsThenFailBelowThenZero)
{
    const struct {
        int signal;
        double result;
        std::optional<std::uint32_t> fail_below;
        int want;
    } cases[] = {
        {0, 0, std::nullopt, 0},    {0, 99.9, 100u, 3},  {0, 100, 100u, 0},
        {SIGINT, 0, std::nullopt, 130}, {SIGTERM, 0, 100u, 143}, {SIGINT, 500, 100u, 130},
    };
    for (const auto& c : cases)
        EXPECT_EQ(exit_status(c.signal, c.result, c.fail_below), c.want) << c.signal << " " << c.result;
}
