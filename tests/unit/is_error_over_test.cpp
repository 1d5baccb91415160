#include "loadtest/is_error_over.hpp"

#include "main/options.hpp"

#include <gtest/gtest.h>

namespace {

class error_threshold : public ::testing::Test {
protected:
    error_threshold() : saved(g_opt_error_threshold) { g_opt_error_threshold = 0.1; }
    ~error_threshold() override { g_opt_error_threshold = saved; }

private:
    double saved;
};

TEST_F(error_threshold, WithoutResultsAnyTimeoutIsOver)
{
    EXPECT_FALSE(is_error_over(0, 0));
    EXPECT_TRUE(is_error_over(0, 1));
}

TEST_F(error_threshold, OnlyStrictlyAboveTheThresholdIsOver)
{
    EXPECT_FALSE(is_error_over(1000, 0));
    EXPECT_FALSE(is_error_over(1000, 1)); // exactly 0.1 %
    EXPECT_TRUE(is_error_over(999, 1));
    EXPECT_TRUE(is_error_over(1000, 2));
}

TEST_F(error_threshold, FollowsTheConfiguredThreshold)
{
    g_opt_error_threshold = 50;
    EXPECT_FALSE(is_error_over(2, 1));
    EXPECT_TRUE(is_error_over(2, 2)); // more timeouts than results: over 100 %
    EXPECT_FALSE(is_error_over(2, 0));
}

} // namespace
