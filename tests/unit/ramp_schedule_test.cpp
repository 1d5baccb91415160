// --ramp: the capacity ramp's fixed schedule.
#include "loadtest/modes/ramp_schedule.hpp"
#include "wire_bytes.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

using namespace zarn::quorvelin;

using wire_bytes::error_of;

TEST(RampSchedule, StepsFromFromUpToToWhichIsAlwaysTheLast)
{
    EXPECT_EQ(parse_ramp("100:500:100:10", 1000000, 86400).rates(), (std::vector<std::uint32_t>{100, 200, 300, 400, 500}));
    EXPECT_EQ(parse_ramp("100:450:100:10", 1000000, 86400).rates(), (std::vector<std::uint32_t>{100, 200, 300, 400, 450}));
    EXPECT_EQ(parse_ramp("7:7:1:1", 1000000, 86400).rates(), (std::vector<std::uint32_t>{7}));
    EXPECT_EQ(parse_ramp("1:1000000:999999:86400", 1000000, 86400).rates(),
              (std::vector<std::uint32_t>{1, 1000000}));
    EXPECT_EQ(parse_ramp("5:9:2:3", 1000000, 86400).seconds, 3u);

    for (const char* bad : {"100:500:100", "100:500:100:10:1", "a:500:100:10", "100::100:10", "100:500:100:"})
        EXPECT_EQ(error_of([&] { parse_ramp(bad, 1000000, 86400); }),
                  std::string("the argument ('") + bad + "') for option '--ramp' is not FROM:TO:STEP:SECONDS");
    for (const char* bad : {"0:500:100:10", "600:500:100:10", "1:1000001:1:10", "1:5:0:10", "1:5:1:0", "1:5:1:86401",
                            "1:9999999999:1:1"})
        EXPECT_NE(error_of([&] { parse_ramp(bad, 1000000, 86400); }).find("needs 1 <= FROM <= TO <= 1000000"),
                  std::string::npos)
            << bad;
}
