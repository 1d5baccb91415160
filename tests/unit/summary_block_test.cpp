// The --summary block, from known counts.
#include "loadtest/summary/summary_block.hpp"
#include "main/options.hpp"

#include "report_samples.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

namespace {

using namespace zarn::quorvelin;
using namespace report_samples;
using nlohmann::json;

TEST(SummaryBlock, TotalsStepsLatenciesAndRefusalsInColumns)
{
    std::ostringstream out;
    g_opt_seed = 77;
    print_summary(out, sample_outcome(opt_mode_once));
    g_opt_seed = 0;
    const std::string text = out.str();
    EXPECT_EQ(text.substr(text.find('\n') + 1),
              "Clients: 210 started, 200 completed, 6 timed out (3 after a refusal or an unbuilt message), "
              "4 pending, 0 cleared\n"
              "Datagrams: 320 received, 9 unmatched, 11 dropped for want of receive buffer\n"
              "Step                   Sent   Answered  Timed out    Refused Duplicates     No SID  Not built\n"
              "1 SOLICIT               210        100          0          0          7          0          0\n"
              "2 REQUEST                 0          0          0          7          0          0          0\n"
              "3 RELEASE                 0          0          0          0          0          5          6\n"
              "Latency (us)          Count        Min       Mean        p50        p90        p99      p99.9        Max\n"
              "1 SOLICIT               100        100      149.5        149        189        198        199        199\n"
              "2 REQUEST                 0          0        0.0          0          0          0          0          0\n"
              "3 RELEASE                 0          0        0.0          0          0          0          0          0\n"
              "Whole client              1       5000     5000.0       5000       5000       5000       5000       5000\n"
              "Refused at step 2 REQUEST: 2:NoAddrAvail 2\n"
              "Refused at step 2 REQUEST: 255 or above 1\n"
              "Refused at step 2 REQUEST: no lease offered 4\n"
              "Rapid commit not honoured at step 1 SOLICIT: 8\n"
              "Released without a binding at step 3 RELEASE: 9\n"
              "Generator saturated: 11 datagrams dropped for want of receive buffer (3.32 % of those that "
              "arrived), ticks up to 12 ms late; the figures measure this generator, not the server\n"
              "Seed: 77\n");
}

} // namespace
