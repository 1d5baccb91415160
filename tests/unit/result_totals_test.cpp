// The running latency totals behind stats(): whole milliseconds, truncated.
#include "engine/transaction_manager.hpp"

#include <gtest/gtest.h>

using zarn::quorvelin::result_totals;
using std::chrono::milliseconds;

TEST(ResultTotals, CountSumMaximumAndMinimumInWholeMilliseconds)
{
    const zarn::quorvelin::transaction_info::time_point start{std::chrono::hours(1000)};
    result_totals t;
    // Two clients of about 35 days: their sum passes 2^32 ms.
    t.add(start, start + milliseconds(3000000000LL) + std::chrono::microseconds(999));
    t.add(start, start + milliseconds(3000000002LL));
    EXPECT_EQ(std::to_string(t.count) + " " + std::to_string(t.sum_ms) + " " + std::to_string(t.max_ms) + " " +
                  std::to_string(t.min_ms), "2 6000000002 3000000002 3000000000");
    t.add(start, start - milliseconds(5)); // a completion before its start: the clock was stepped back
    t.add(start, start + milliseconds(7));
    EXPECT_EQ(std::to_string(t.count) + " " + std::to_string(t.sum_ms) + " " + std::to_string(t.max_ms) + " " +
                  std::to_string(t.min_ms), "4 6000000009 3000000002 0");
}
