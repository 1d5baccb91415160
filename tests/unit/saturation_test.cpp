// When the generator, not the server, limited a run.
#include "loadtest/summary/saturation.hpp"

#include "report_samples.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

namespace {

using namespace zarn::quorvelin;
using namespace report_samples;
using nlohmann::json;

// The generator limited the run when the kernel dropped more than 0.1 % of
// the datagrams that reached its socket, or a tick began a second late.
TEST(Saturation, DropsAboveOnePerMilleOrATickASecondLate)
{
    const struct {
        std::uint64_t received, drops;
        std::uint32_t late_ms;
        bool saturated;
    } cases[] = {
        {0, 0, 0, false},       {999, 1, 0, false},   {998, 2, 0, true},    {0, 1, 0, true},
        {1000, 0, 999, false},  {1000, 0, 1000, true}, {19000000, 20282813, 3, true},
    };
    for (const auto& c : cases) {
        measurements m;
        m.received = c.received;
        m.rcvbuf_drops = c.drops;
        EXPECT_EQ(generator_saturated(m, c.late_ms), c.saturated) << c.received << " " << c.drops << " " << c.late_ms;
    }
}

} // namespace
