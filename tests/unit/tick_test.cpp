// Pieces of the once-a-second tick.
#include "loadtest/tick.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using std::chrono::seconds;

// A tick is late once it starts after its due time (the next second plus
// the 10 ms allowance).
TEST(TickLoop, LatenessInWholeMillisecondsPastTheDueTime)
{
    using zarn::quorvelin::lateness;
    const std::chrono::system_clock::time_point due{seconds(1000)};
    const struct {
        std::chrono::nanoseconds after_due;
        long late_ms; // -1: not late
    } cases[] = {{std::chrono::nanoseconds(-5000000), -1}, {std::chrono::nanoseconds(0), -1},
                 {std::chrono::nanoseconds(1), 0},         {std::chrono::nanoseconds(999999), 0},
                 {std::chrono::nanoseconds(190000000), 190}, {std::chrono::nanoseconds(2500999999), 2500}};
    for (const auto& c : cases) {
        const auto late = lateness(due + std::chrono::duration_cast<std::chrono::system_clock::duration>(c.after_due), due);
        EXPECT_EQ(late ? long(late->count()) : -1L, c.late_ms) << c.after_due.count();
    }
}

} // namespace
