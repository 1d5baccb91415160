// How a run is judged: the error threshold every mode judges its runs by,
// how late a tick is, whether the generator itself limited the run, the
// hint after a run that completed no client, and the exit status.
#include "loadtest/modes/is_error_over.hpp"
#include "loadtest/summary/run_hint.hpp"
#include "loadtest/summary/saturation.hpp"
#include "loadtest/tick.hpp"
#include "main/options/options.hpp"
#include "main/process/exit_status.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <tuple>

using namespace zarn::quorvelin;

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

// A tick is late once it starts after its due time (the next second plus
// the 10 ms allowance).
TEST(TickLoop, LatenessInWholeMillisecondsPastTheDueTime)
{
    const std::chrono::system_clock::time_point due{std::chrono::seconds(1000)};
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

// Which likely causes the hint names for what the engine saw and how the
// server was addressed.
TEST(RunHint, NamesTheCausesThatApply)
{
    const auto multicast = boost::asio::ip::make_address_v6("ff02::1:2");
    const auto unicast = boost::asio::ip::make_address_v6("2001:db8:1::1");
    const std::string head = "Hint: no client completed: ";
    const std::string discarded = " went to the unicast address 2001:db8:1::1 without relay layers, and servers "
                                  "discard it there (RFC 8415 section 16); ";
    const std::string silent = "no reply arrived at all.";
    const struct {
        traffic_totals traffic; // received, matched, completed
        run_setup setup;        // server, first message type, relayed
        std::string hint;
    } cases[] = {
        {{0, 0, 1}, {unicast, 1, false}, ""},
        {{9, 9, 3}, {multicast, 1, false}, ""},
        {{0, 0, 0}, {multicast, 1, false}, head + silent},
        {{0, 0, 0}, {unicast, 1, false}, head + "the SOLICIT" + discarded + silent},
        {{0, 0, 0}, {unicast, 6, false}, head + "the REBIND" + discarded + silent},
        {{0, 0, 0}, {unicast, 4, false}, head + "the CONFIRM" + discarded + silent},
        {{0, 0, 0}, {unicast, 1, true}, head + silent},
        {{0, 0, 0}, {unicast, 3, false}, head + silent}, // a REQUEST may be unicast
        {{1, 0, 0}, {multicast, 1, false}, head + "1 datagram arrived but none matched a client."},
        {{7, 0, 0}, {unicast, 1, false}, head + "the SOLICIT" + discarded + "7 datagrams arrived but none matched a client."},
        {{7, 2, 0}, {multicast, 1, false},
         head + "replies reached clients but no client got through its scenario (--log-file shows refused IAs "
                "and messages that could not be built)."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(run_hint(c.traffic, c.setup), c.hint)
            << c.traffic.received << "/" << c.traffic.matched << "/" << c.traffic.completed << " " << c.setup.server
            << " type " << c.setup.first_type << (c.setup.first_relayed ? " relayed" : "");
}

// A failed --threshold exits 3 where --fail-below does: signals and failed
// outputs keep their precedence, and a saturated generator fails the
// thresholds as it fails --fail-below.
TEST(ExitStatus, SignalsThenFailedOutputsThenFailBelowThresholdsOrSaturationThenZero)
{
    const struct {
        int signal;
        bool output_failed;
        double result;
        std::optional<std::uint32_t> fail_below;
        int want;
        bool saturated = false;
        std::optional<bool> thresholds_passed = std::nullopt; // none: no --threshold
    } cases[] = {
        {0, false, 0, std::nullopt, 0},      {0, false, 99.9, 100u, 3},    {0, false, 100, 100u, 0},
        {SIGINT, false, 0, std::nullopt, 130}, {SIGTERM, false, 0, 100u, 143}, {SIGINT, false, 500, 100u, 130},
        {SIGHUP, false, 0, std::nullopt, 129}, {0, true, 500, std::nullopt, 1}, {0, true, 0, 100u, 1},
        {SIGINT, true, 0, std::nullopt, 130},  {SIGHUP, true, 0, 100u, 129},
        // A saturated generator fails the gate whatever its result, and
        // only when there is a gate.
        {0, false, 500, 100u, 3, true},        {0, false, 500, std::nullopt, 0, true},
        {SIGTERM, false, 500, 100u, 143, true}, {0, true, 500, 100u, 1, true},
        {0, false, 500, std::nullopt, 0, false, true},   {0, false, 500, std::nullopt, 3, false, false},
        {0, false, 500, 100u, 3, false, false},          {0, false, 500, 1000u, 3, false, true},
        {0, false, 500, std::nullopt, 3, true, true},    {SIGTERM, false, 500, 100u, 143, true, false},
        {0, true, 500, std::nullopt, 1, false, false},   {0, true, 500, std::nullopt, 1, true, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(exit_status(c.signal, c.output_failed, c.result, c.fail_below, c.saturated, c.thresholds_passed),
                  c.want)
            << c.signal << " " << c.output_failed << " " << c.result << " "
            << (c.thresholds_passed ? int(*c.thresholds_passed) : -1) << " " << c.saturated;
}
