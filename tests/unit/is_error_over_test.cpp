// The error threshold every mode judges its runs by.
#include "loadtest/modes/is_error_over.hpp"
#include "main/options.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace {

TEST(IsErrorOver, TimeoutsAsAPercentageOfResultsMustExceedTheThreshold)
{
    const std::tuple<double, int, int, bool> cases[] = {
        {0.1, 0, 0, false}, {0.1, 0, 1, true},  {0.1, 1000, 0, false}, {0.1, 1000, 1, false},
        {0.1, 999, 1, true}, {0.1, 1000, 2, true}, {50, 2, 1, false},   {50, 2, 2, true}};
    for (const auto& c : cases) {
        g_opt_error_threshold = std::get<0>(c);
        EXPECT_EQ(is_error_over(std::get<1>(c), std::get<2>(c)), std::get<3>(c))
            << std::get<1>(c) << " " << std::get<2>(c);
    }
    g_opt_error_threshold = 0.1;
}

} // namespace
