#include "engine/transaction_manager.hpp"
#include "engine/traffic_totals.hpp"
#include "loopback_lab.hpp"
#include "main/options.hpp"
#include "message/param.hpp"

#include <boost/asio/ip/address_v6.hpp>
#include <boost/thread/locks.hpp>
#include <boost/thread/thread.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace zarn {
namespace quorvelin {

// Reads and sets the manager's table from tests, under its own lock.
struct transaction_manager_probe {
    using lock = boost::unique_lock<boost::shared_mutex>;
    using time_point = transaction_manager::time_point;

    static boost::shared_mutex& table_mutex(transaction_manager& m) { return m.table_mutex; }
    static void set_next_xid(transaction_manager& m, std::int32_t xid)
    {
        lock held(m.table_mutex);
        m.next_xid = xid;
    }
    static std::vector<std::int32_t> keys(transaction_manager& m)
    {
        lock held(m.table_mutex);
        std::vector<std::int32_t> out;
        for (auto& entry : m.transactions)
            out.push_back(entry.first);
        std::sort(out.begin(), out.end());
        return out;
    }
    static transaction_info info(transaction_manager& m, std::int32_t xid)
    {
        lock held(m.table_mutex);
        return m.transactions.at(xid).second;
    }
    static std::size_t free_buffers(transaction_manager& m)
    {
        lock held(m.table_mutex);
        return m.free_buffers.size();
    }
    static void add_result(transaction_manager& m, const time_point& start, const time_point& end)
    {
        lock held(m.table_mutex);
        m.results_since_clear.add(start, end);
    }
};

} // namespace quorvelin
} // namespace zarn

namespace {

using namespace zarn::quorvelin;
using namespace loopback_lab;
using probe = transaction_manager_probe;
using std::chrono::milliseconds;
using time_point = transaction_manager::time_point;

time_point now()
{
    return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
}

std::shared_ptr<param> auto_option(int code)
{
    return std::make_shared<option_param>(code, boost::blank());
}

// message { CID = @auto, SID = @auto, IA_NA 1 { IAADDR = @auto } }
std::shared_ptr<top_param> default_message(int type)
{
    auto message = std::make_shared<top_param>();
    message->type_ = type;
    message->params_.push_back(auto_option(1));
    message->params_.push_back(auto_option(2));
    auto ia = std::make_shared<ia_param>(3, 1);
    ia->add_option(auto_option(5));
    message->params_.push_back(ia);
    return message;
}

// SOLICIT, REQUEST, RELEASE.
std::vector<std::shared_ptr<top_param>> default_scenario()
{
    return {default_message(1), default_message(3), default_message(8)};
}

// type { CID = @auto, VENDOR_CLASS = <filler bytes of 'x'> }
std::shared_ptr<top_param> padded_message(int type, std::size_t filler)
{
    auto message = std::make_shared<top_param>();
    message->type_ = type;
    message->params_.push_back(auto_option(1));
    message->params_.push_back(std::make_shared<option_param>(16, std::string(filler, 'x')));
    return message;
}

std::size_t count_of(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

struct counters {
    unsigned results, timeouts, pending, avg_ms, max_ms, min_ms;
};

class TransactionManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_scenario_ = g_opt_scenario;
        g_opt_scenario = default_scenario();
        log_ = new std::ostringstream;
        g_opt_log.reset(log_);
    }

    void TearDown() override
    {
        stop();
        manager_.reset();
        peer_.reset();
        network_.reset();
        g_opt_log.reset();
        g_opt_scenario = saved_scenario_;
    }

    // Server ::1 port 547 through lo, client port 546; `threads` workers.
    void start(int threads = 1)
    {
        network_ = std::make_unique<private_network>();
        peer_ = std::make_unique<udp_peer>(547);
        manager_ = std::make_unique<transaction_manager>(io_, boost::asio::ip::make_address_v6("::1"), 547, 546,
                                                         boost::asio::ip::basic_endpoint<morvo::asio::raw>("lo"));
        work_ = std::make_unique<boost::asio::io_service::work>(io_);
        for (int i = 0; i < threads; ++i)
            workers_.create_thread([this] { io_.run(); });
    }

    // Ends the worker threads; the debug log may be read afterwards.
    void stop()
    {
        work_.reset();
        io_.stop();
        workers_.join_all();
    }

    counters stats(time_point cutoff)
    {
        counters c{};
        manager_->stats(cutoff, c.results, c.timeouts, c.pending, c.avg_ms, c.max_ms, c.min_ms);
        return c;
    }

    // Polls stats (cutoff far in the past, so nothing times out) until
    // `results` completed clients show.
    counters wait_for_results(unsigned results)
    {
        counters c{};
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        do {
            c = stats(time_point());
            if (c.results >= results)
                break;
            std::this_thread::sleep_for(milliseconds(5));
        } while (std::chrono::steady_clock::now() < deadline);
        return c;
    }

    // Polls until client `xid` has built `scene_index` messages.
    bool wait_for_scene(std::int32_t xid, std::int32_t scene_index)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        do {
            if (probe::info(*manager_, xid).scene_index == scene_index)
                return true;
            std::this_thread::sleep_for(milliseconds(5));
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    // Polls the debug log for `text`; the workers keep running.
    bool wait_for_log(const std::string& text)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        do {
            {
                // The manager writes the log under its table lock.
                boost::unique_lock<boost::shared_mutex> held(probe::table_mutex(*manager_));
                if (log_->str().find(text) != std::string::npos)
                    return true;
            }
            std::this_thread::sleep_for(milliseconds(5));
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    // Sums the manager's counts until `done` holds for the sum (or 10 s pass).
    measurements counts_until(const std::function<bool(const measurements&)>& done)
    {
        measurements sum(g_opt_scenario.size());
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        do {
            sum.add(manager_->take_measurements());
            if (done(sum))
                break;
            std::this_thread::sleep_for(milliseconds(5));
        } while (std::chrono::steady_clock::now() < deadline);
        return sum;
    }

    datagram expect_message(int type)
    {
        datagram d;
        EXPECT_TRUE(peer_->receive(d)) << "no message of type " << type;
        EXPECT_EQ(d.type(), type);
        return d;
    }

    bool silent_for(milliseconds span)
    {
        datagram d;
        return !peer_->receive(d, span);
    }

    void answer(const datagram& request, unsigned type) { peer_->send_to(request.from, server_answer(type, request)); }

    // Sends `datagrams` while the only worker thread is held busy, so that
    // the manager finds them all waiting and takes them in one batch.
    void deliver_together(const std::vector<std::pair<sockaddr_in6, bytes>>& datagrams)
    {
        std::promise<void> release;
        std::promise<void> entered;
        std::shared_future<void> released = release.get_future().share();
        io_.post([&entered, released] {
            entered.set_value();
            released.wait();
        });
        entered.get_future().wait();
        for (auto& d : datagrams)
            peer_->send_to(d.first, d.second);
        std::this_thread::sleep_for(milliseconds(50)); // loopback delivery
        release.set_value();
    }

    // The next `count` messages, by type and then id.
    std::vector<datagram> messages(std::size_t count)
    {
        std::vector<datagram> out(count);
        for (auto& d : out)
            EXPECT_TRUE(peer_->receive(d));
        std::sort(out.begin(), out.end(),
                  [](const datagram& a, const datagram& b) { return std::make_pair(a.type(), a.xid()) < std::make_pair(b.type(), b.xid()); });
        return out;
    }

    boost::asio::io_service io_;
    std::unique_ptr<boost::asio::io_service::work> work_;
    boost::thread_group workers_;
    std::unique_ptr<private_network> network_;
    std::unique_ptr<udp_peer> peer_;
    std::unique_ptr<transaction_manager> manager_;
    std::ostringstream* log_ = nullptr;
    std::vector<std::shared_ptr<top_param>> saved_scenario_;
};

TEST_F(TransactionManagerTest, ClientsWalkTheScenarioAndCompleteWithTheirLatency)
{
    start();
    for (int i = 0; i < 3; ++i)
        manager_->run();

    std::vector<datagram> solicits;
    for (int xid = 0; xid < 3; ++xid) {
        solicits.push_back(expect_message(1));
        EXPECT_EQ(solicits.back().xid(), xid) << "fresh clients are numbered from 0";
        EXPECT_EQ(ntohs(solicits.back().from.sin6_port), 546);
    }
    EXPECT_EQ(probe::keys(*manager_), (std::vector<std::int32_t>{0, 1, 2}));

    for (auto& solicit : solicits) {
        answer(solicit, 2);
        datagram request = expect_message(3);
        EXPECT_EQ(request.xid(), solicit.xid());
        // The answer was handed to the encoder: its identifiers come back.
        EXPECT_EQ(find_option(request.data, 1), find_option(solicit.data, 1));
        bytes server_id = find_option(request.data, 2);
        ASSERT_EQ(server_id.size(), 4 + server_duid().size());
        EXPECT_TRUE(std::equal(server_id.begin() + 4, server_id.end(), server_duid().begin()));
        EXPECT_EQ(probe::info(*manager_, solicit.xid()).scene_index, 2);

        answer(request, 7);
        datagram release = expect_message(8);
        EXPECT_EQ(release.xid(), solicit.xid());
        std::this_thread::sleep_for(milliseconds(25));
        answer(release, 7);
    }
    EXPECT_TRUE(silent_for(milliseconds(200))) << "the last reply must not be answered";

    counters c = wait_for_results(3);
    EXPECT_EQ(c.results, 3u);
    EXPECT_EQ(c.pending, 0u);
    EXPECT_EQ(c.timeouts, 0u);
    EXPECT_TRUE(probe::keys(*manager_).empty());
    // The last reply was held back 25 ms after the RELEASE went out.
    EXPECT_GE(c.min_ms, 25u);
    EXPECT_LE(c.min_ms, c.avg_ms);
    EXPECT_LE(c.avg_ms, c.max_ms);

    stop();
    std::string log = log_->str();
    std::ostringstream send_line;
    send_line << "# send:[::1%" << ::if_nametoindex("lo") << "]:547 recv:[::]:546\n";
    EXPECT_EQ(log.find(send_line.str()), 0u) << log;
    EXPECT_EQ(count_of(log, "# received xid:1 from:[::1]:547\n"), 3u) << log;
}

TEST_F(TransactionManagerTest, TimeoutCutoffIsInclusive)
{
    start();
    manager_->run();
    expect_message(1);
    time_point sent = probe::info(*manager_, 0).send_time;
    ASSERT_NE(sent, time_point());

    counters c = stats(sent - std::chrono::nanoseconds(1));
    EXPECT_EQ(c.pending, 1u);
    EXPECT_EQ(c.timeouts, 0u);

    c = stats(sent);
    EXPECT_EQ(c.pending, 0u);
    EXPECT_EQ(c.timeouts, 1u);
    EXPECT_TRUE(probe::keys(*manager_).empty());
    // No reply yet: nothing worth restarting.
    EXPECT_EQ(probe::free_buffers(*manager_), 0u);

    c = stats(sent);
    EXPECT_EQ(c.timeouts, 0u) << "a timed-out client is counted once";
}

TEST_F(TransactionManagerTest, RestartedClientKeepsItsIdAndComesBeforeFreshOnes)
{
    start();
    manager_->run();
    manager_->run();
    datagram first = expect_message(1);
    expect_message(1);
    answer(first, 2);
    expect_message(3);

    counters c = stats(now() + std::chrono::hours(1));
    EXPECT_EQ(c.timeouts, 2u);
    EXPECT_EQ(probe::free_buffers(*manager_), 1u) << "only the client that had a reply is kept";

    manager_->run();
    datagram restarted = expect_message(1);
    EXPECT_EQ(restarted.xid(), 0);
    EXPECT_EQ(find_option(restarted.data, 1), find_option(first.data, 1)) << "same client identifier";
    EXPECT_EQ(probe::info(*manager_, 0).scene_index, 1);

    manager_->run();
    EXPECT_EQ(expect_message(1).xid(), 2);

    // The restarted client goes through the scenario again.
    answer(restarted, 2);
    EXPECT_EQ(expect_message(3).xid(), 0);
}


TEST_F(TransactionManagerTest, ReceiveBufferHoldsBurstsWhateverTheSystemDefault)
{
    start();
    boost::asio::socket_base::receive_buffer_size size;
    manager_->socket.get_option(size);
    // Asio halves what Linux reports, so this is the size that was set.
    EXPECT_GE(size.value(), transaction_manager::receive_buffer_size);
}

TEST_F(TransactionManagerTest, RepliesTakenInOneBatchAreEachAnsweredIntact)
{
    start();
    for (int i = 0; i < 3; ++i)
        manager_->run();
    std::vector<datagram> solicits = messages(3);
    auto reply = [](const datagram& to, unsigned type) { return std::make_pair(to.from, server_answer(type, to)); };
    auto type_and_id = [](const std::vector<datagram>& sent) {
        std::vector<std::pair<int, std::int32_t>> out;
        for (auto& d : sent)
            out.emplace_back(d.type(), d.xid());
        return out;
    };
    using summary = std::vector<std::pair<int, std::int32_t>>;

    // Client 0 is answered twice in one batch: the second ADVERTISE is a
    // duplicate and must not disturb the REQUEST built from the first.
    deliver_together({reply(solicits[0], 2), reply(solicits[1], 2), reply(solicits[0], 2), reply(solicits[2], 2)});
    std::vector<datagram> round1 = messages(3);
    ASSERT_EQ(type_and_id(round1), (summary{{3, 0}, {3, 1}, {3, 2}}));
    EXPECT_TRUE(silent_for(milliseconds(100)));

    // Receive buffers are reused: a short datagram must read zeros, not the
    // bytes an earlier, longer datagram left in the same buffer. Two rounds
    // reach every buffer of the batches in use.
    deliver_together({reply(round1[1], 7), reply(round1[2], 7)});
    std::vector<datagram> round2 = messages(2);
    ASSERT_EQ(type_and_id(round2), (summary{{8, 1}, {8, 2}}));
    deliver_together({reply(round2[1], 7), std::make_pair(round2[1].from, bytes{0x07, 0x00})});
    EXPECT_EQ(expect_message(8).xid(), 0) << "the two bytes are a REPLY to client 0";
    counters c = wait_for_results(1);
    EXPECT_EQ(c.results, 1u);
    EXPECT_EQ(probe::keys(*manager_), (std::vector<std::int32_t>{0, 1}));
    stop();
    EXPECT_EQ(count_of(log_->str(), "# received xid:0 from:[::1]:547\n"), 3u) << log_->str();
}

TEST_F(TransactionManagerTest, ClearResultsDropsClientsAndKeepsAnsweredOnesForRestart)
{
    start();
    for (int i = 0; i < 3; ++i)
        manager_->run();
    datagram s0 = expect_message(1), s1 = expect_message(1), s2 = expect_message(1);
    // Client 0 completes, client 1 waits at its REQUEST, client 2 at its SOLICIT.
    answer(s0, 2);
    datagram r0 = expect_message(3);
    answer(r0, 7);
    answer(expect_message(8), 7);
    answer(s1, 2);
    expect_message(3);
    ASSERT_EQ(wait_for_results(1).results, 1u);

    manager_->clear_results();
    counters c = stats(time_point());
    EXPECT_EQ(c.results, 0u);
    EXPECT_EQ(c.pending, 0u);
    EXPECT_EQ(c.timeouts, 0u);
    EXPECT_EQ(c.max_ms, 0u);
    EXPECT_EQ(probe::free_buffers(*manager_), 1u);

    answer(s2, 2);
    EXPECT_TRUE(silent_for(milliseconds(200))) << "a late reply for a dropped client is ignored";
    // The run's totals survive the clearing; the late reply matched nobody.
    const traffic_totals totals = traffic_of(counts_until([](const measurements& m) { return m.received == 5; }));
    EXPECT_EQ(totals.received, 5u);
    EXPECT_EQ(totals.matched, 4u);
    EXPECT_EQ(totals.completed, 1u);

    manager_->run();
    EXPECT_EQ(expect_message(1).xid(), 1) << "the dropped client with a reply restarts first";
    manager_->run();
    EXPECT_EQ(expect_message(1).xid(), 3);
}

TEST_F(TransactionManagerTest, MessagesOf1499BytesAreSentAnd1500AreNot)
{
    // SOLICIT header 4 + Client Identifier 18 + VENDOR_CLASS 4 + filler.
    g_opt_scenario = {padded_message(1, 1499 - 26)};
    start();
    manager_->run();
    EXPECT_EQ(expect_message(1).data.size(), 1499u);

    g_opt_scenario = {padded_message(1, 1500 - 26)};
    manager_->run();
    EXPECT_TRUE(silent_for(milliseconds(200)));
    // The entry waits with the build's time, like a sent one.
    EXPECT_NE(probe::info(*manager_, 1).send_time, time_point());
    EXPECT_EQ(probe::keys(*manager_), (std::vector<std::int32_t>{0, 1}));

    stop();
    EXPECT_EQ(count_of(log_->str(), "# error:1\n"), 1u) << log_->str();
    EXPECT_EQ(count_of(log_->str(), "# error:0"), 0u);
}

TEST_F(TransactionManagerTest, LongAnswerInOnReceiveIsNotSent)
{
    g_opt_scenario = {default_message(1), padded_message(3, 1500 - 26)};
    start();
    manager_->run();
    answer(expect_message(1), 2);
    EXPECT_TRUE(wait_for_scene(0, 2));
    EXPECT_TRUE(silent_for(milliseconds(200)));
}

TEST_F(TransactionManagerTest, StatsWithoutResultsReportZeroLatencies)
{
    start();
    counters c = stats(now());
    EXPECT_EQ(c.results, 0u);
    EXPECT_EQ(c.avg_ms, 0u);
    EXPECT_EQ(c.max_ms, 0u);
    EXPECT_EQ(c.min_ms, 0u);

    manager_->run();
    expect_message(1);
    c = stats(time_point());
    EXPECT_EQ(c.pending, 1u);
    EXPECT_EQ(c.avg_ms, 0u);
    EXPECT_EQ(c.min_ms, 0u);
}

TEST_F(TransactionManagerTest, LatencySumDoesNotWrapAt32Bits)
{
    start();
    // Two clients of about 35 days each: their sum passes 2^32 ms.
    const time_point start_time = now();
    const std::chrono::milliseconds long_latency(3000000000LL);
    probe::add_result(*manager_, start_time, start_time + long_latency);
    probe::add_result(*manager_, start_time, start_time + long_latency + milliseconds(2));
    // A completion stamped before its start (the clock was stepped back).
    probe::add_result(*manager_, start_time, start_time - milliseconds(5));

    counters c = stats(time_point());
    EXPECT_EQ(c.results, 3u);
    EXPECT_EQ(c.max_ms, 3000000002u);
    EXPECT_EQ(c.min_ms, 0u);
    EXPECT_EQ(c.avg_ms, 2000000000u);
}

TEST_F(TransactionManagerTest, ShortAndOversizedDatagramsAreMatchedByWhatTheyCarry)
{
    start();
    probe::set_next_xid(*manager_, 0x010203);
    manager_->run();
    datagram b = expect_message(1);
    probe::set_next_xid(*manager_, 0x010000);
    manager_->run();
    datagram a = expect_message(1);
    ASSERT_EQ(b.xid(), 0x010203);
    ASSERT_EQ(a.xid(), 0x010000);

    answer(b, 2);
    EXPECT_EQ(expect_message(3).xid(), 0x010203);
    // Two bytes: the missing id bytes read as zero, not as what an earlier
    // datagram left behind.
    peer_->send_to(a.from, bytes{0x02, 0x01});
    EXPECT_EQ(expect_message(3).xid(), 0x010000);

    // 1600 bytes: cut to 1500 by the receive, still matched by its id.
    bytes oversized = server_answer(7, a);
    put_option(oversized, 16, bytes(1600 - oversized.size() - 4, 'y'));
    ASSERT_EQ(oversized.size(), 1600u);
    peer_->send_to(a.from, oversized);
    EXPECT_EQ(expect_message(8).xid(), 0x010000);

    // Nothing of ours has id 0: an empty datagram is dropped.
    peer_->send_to(a.from, bytes());
    EXPECT_TRUE(silent_for(milliseconds(200)));
    EXPECT_EQ(probe::info(*manager_, 0x010000).scene_index, 3);
    EXPECT_EQ(probe::info(*manager_, 0x010203).scene_index, 2);
}

TEST_F(TransactionManagerTest, FreshIdsWrapWithin24BitsAndStayMatchable)
{
    start();
    probe::set_next_xid(*manager_, 0xFFFFFF);
    manager_->run();
    manager_->run();
    datagram last = expect_message(1);
    datagram wrapped = expect_message(1);
    EXPECT_EQ(last.xid(), 0xFFFFFF);
    EXPECT_EQ(wrapped.xid(), 0);
    EXPECT_EQ(probe::keys(*manager_), (std::vector<std::int32_t>{0, 0xFFFFFF}));

    answer(wrapped, 2);
    EXPECT_EQ(expect_message(3).xid(), 0);
    answer(last, 2);
    EXPECT_EQ(expect_message(3).xid(), 0xFFFFFF);
}

// The client message inside a RELAY-FORW layer (its Relay Message option).
datagram inner_message(const datagram& relayed)
{
    datagram inner = relayed;
    EXPECT_EQ(relayed.type(), 12);
    if (relayed.data.size() < 38)
        return inner;
    std::size_t length = relayed.data[36] << 8 | relayed.data[37];
    length = std::min(length, relayed.data.size() - 38);
    inner.data.assign(relayed.data.begin() + 38, relayed.data.begin() + 38 + length);
    return inner;
}

// A RELAY-REPL answering `relayed` with `answer` inside.
bytes relay_reply(const datagram& relayed, const bytes& answer)
{
    bytes out{13};
    out.insert(out.end(), relayed.data.begin() + 1, relayed.data.begin() + 34);
    put_option(out, 9, answer);
    return out;
}

TEST_F(TransactionManagerTest, RelayedClientsAreMatchedAndRestartedByTheirInnerId)
{
    auto link = boost::asio::ip::make_address_v6("2001:db8::1").to_bytes();
    auto peer = boost::asio::ip::make_address_v6("fe80::1").to_bytes();
    auto relay = std::make_shared<relay_param>(morvo::network::internet6_address(link.data()),
                                               morvo::network::internet6_address(peer.data()));
    for (auto& message : g_opt_scenario)
        message->relays_.push_back(relay);
    start();

    manager_->run();
    datagram outer = expect_message(12);
    datagram solicit = inner_message(outer);
    ASSERT_EQ(solicit.type(), 1);
    ASSERT_EQ(solicit.xid(), 0);
    peer_->send_to(outer.from, relay_reply(outer, server_answer(2, solicit)));
    datagram request = inner_message(expect_message(12));
    EXPECT_EQ(request.type(), 3);
    EXPECT_EQ(request.xid(), 0);

    // Its buffer now starts with the relay header, whose bytes 1-3 are the
    // hop count and the start of the link address, not the client's id.
    EXPECT_EQ(stats(now() + std::chrono::hours(1)).timeouts, 1u);
    manager_->run();
    datagram restarted = inner_message(expect_message(12));
    EXPECT_EQ(restarted.type(), 1);
    EXPECT_EQ(restarted.xid(), 0);
    EXPECT_EQ(probe::keys(*manager_), (std::vector<std::int32_t>{0}));
}

TEST_F(TransactionManagerTest, EncodingExceptionLeavesClientToTimeOutAndIsReportedOnce)
{
    // The REQUEST cannot fit: building it throws "packet too short".
    g_opt_scenario = {default_message(1), padded_message(3, 1600)};
    start();
    testing::internal::CaptureStderr();

    manager_->run();
    manager_->run();
    datagram s0 = expect_message(1), s1 = expect_message(1);
    answer(s0, 2);
    answer(s1, 2);
    EXPECT_TRUE(wait_for_scene(0, 2));
    EXPECT_TRUE(wait_for_scene(1, 2));
    EXPECT_TRUE(silent_for(milliseconds(200)));
    // The receive chain survived: a later client is still served.
    manager_->run();
    datagram s2 = expect_message(1);
    EXPECT_EQ(s2.xid(), 2);

    // The same failure inside run(), on a beat: the first message cannot fit either.
    g_opt_scenario = {padded_message(1, 1600)};
    manager_->async_run(now());
    ASSERT_TRUE(wait_for_log("# error:3 "));
    EXPECT_TRUE(silent_for(milliseconds(100)));
    EXPECT_EQ(probe::info(*manager_, 3).send_time, time_point()) << "times out at the next stats";

    counters c = stats(now() - std::chrono::hours(1));
    EXPECT_EQ(c.timeouts, 1u);
    EXPECT_EQ(c.pending, 3u);
    c = stats(now() + std::chrono::hours(1));
    EXPECT_EQ(c.timeouts, 3u);

    stop();
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors, "Error: packet too short\n");
    std::string log = log_->str();
    EXPECT_EQ(count_of(log, "# error:0 packet too short\n"), 1u) << log;
    EXPECT_EQ(count_of(log, "# error:1 packet too short\n"), 1u) << log;
    EXPECT_EQ(count_of(log, "# error:3 packet too short\n"), 1u) << log;
}

// Answers every client message as a server would, until stopped.
class auto_responder {
public:
    explicit auto_responder(udp_peer& peer) : peer_(peer), thread_([this] { serve(); }) {}
    ~auto_responder()
    {
        stop_ = true;
        thread_.join();
    }

private:
    void serve()
    {
        datagram request;
        while (!stop_) {
            if (!peer_.receive(request, milliseconds(50)))
                continue;
            int type = request.type();
            if (type == 1 || type == 3 || type == 8)
                peer_.send_to(request.from, server_answer(type == 1 ? 2 : 7, request));
        }
    }

    udp_peer& peer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(TransactionManagerTest, ManyClientsOnFourWorkerThreadsAllComplete)
{
    start(4);
    auto_responder server(*peer_);
    const unsigned clients = 300;
    const time_point begin = now();
    for (unsigned i = 0; i < clients; ++i)
        manager_->async_run(begin + std::chrono::microseconds(1000 * i));

    counters c = wait_for_results(clients);
    EXPECT_EQ(c.results, clients);
    EXPECT_EQ(c.pending, 0u);
    EXPECT_EQ(c.timeouts, 0u);
    EXPECT_LE(c.min_ms, c.max_ms);
    // Completing removes a client, so with every client started once, none
    // pending and none timed out, each completed exactly once.
    EXPECT_TRUE(probe::keys(*manager_).empty());

    // Stopping as the drivers do: no more beats, then no more receives.
    manager_->cancel();
    manager_->socket.cancel();
}

// An answer whose IA_NA 1 refuses with `status` instead of offering an address.
bytes refusing_answer(unsigned type, const datagram& request, unsigned status)
{
    bytes out = server_answer(type, request);
    out.resize(out.size() - find_option(out, 3).size());
    bytes ia, code;
    put32(ia, 1);
    put32(ia, 0);
    put32(ia, 0);
    put16(code, status);
    put_option(ia, 13, code);
    put_option(out, 3, ia);
    return out;
}

bytes without_server_id(bytes answer)
{
    const bytes id = find_option(answer, 2);
    auto at = std::search(answer.begin(), answer.end(), id.begin(), id.end());
    answer.erase(at, at + static_cast<std::ptrdiff_t>(id.size()));
    return answer;
}

TEST_F(TransactionManagerTest, StepsCountAnswersRefusalsMissingServerIdsTimeoutsAndLateReplies)
{
    start();
    for (int i = 0; i < 3; ++i)
        manager_->run();
    std::vector<datagram> solicits = messages(3);
    // Client 0 goes through its scenario, its ADVERTISE without Server
    // Identifier; client 1's IA is refused; client 2 is never answered.
    peer_->send_to(solicits[0].from, without_server_id(server_answer(2, solicits[0])));
    datagram request = expect_message(3);
    EXPECT_TRUE(find_option(request.data, 2).empty());
    answer(request, 7);
    answer(expect_message(8), 7);
    peer_->send_to(solicits[1].from, refusing_answer(2, solicits[1], 2));
    measurements m = counts_until([](const measurements& c) { return c.received == 4; });

    const struct {
        std::uint64_t sent, answered, no_server_id, refused;
    } steps[] = {{3, 2, 1, 1}, {1, 1, 0, 0}, {1, 1, 0, 0}};
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(m.steps[k].sent, steps[k].sent) << k;
        EXPECT_EQ(m.steps[k].answered, steps[k].answered) << k;
        EXPECT_EQ(m.steps[k].latency.count(), steps[k].answered) << k;
        EXPECT_EQ(m.steps[k].no_server_id, steps[k].no_server_id) << k;
        EXPECT_EQ(m.steps[k].refused[2], steps[k].refused) << k;
        EXPECT_EQ(m.steps[k].refused_total(), steps[k].refused) << k;
    }
    EXPECT_EQ(m.clients.started, 3u);
    EXPECT_EQ(m.clients.completed, 1u);
    EXPECT_EQ(m.clients.latency.count(), 1u);
    EXPECT_EQ(m.unmatched, 0u);

    // The two waiting clients time out; answers then match no live client.
    EXPECT_EQ(stats(now() + std::chrono::hours(1)).timeouts, 2u);
    answer(solicits[2], 2);
    answer(solicits[1], 2);
    m = counts_until([](const measurements& c) { return c.received == 2; });
    EXPECT_EQ(m.unmatched, 2u);
    EXPECT_EQ(m.clients.timed_out, 2u);
    EXPECT_EQ(m.clients.stalled, 1u) << "client 1 stopped at its refusal";
    EXPECT_EQ(m.steps[0].timed_out, 1u) << "client 2 waited at its SOLICIT";
    EXPECT_EQ(m.steps[0].sent, 0u) << "counts start afresh after each take";
}

TEST_F(TransactionManagerTest, OnlyTheAwaitedAnswerAdvancesAClientTheRestAreDuplicates)
{
    start();
    manager_->run();
    datagram solicit = expect_message(1);
    answer(solicit, 2);
    datagram request = expect_message(3);
    // A second ADVERTISE does not answer the REQUEST.
    answer(solicit, 2);
    EXPECT_TRUE(silent_for(milliseconds(100)));
    // Of two REPLYs in one batch, the second arrives while the RELEASE built
    // from the first waits to be sent: it cannot be the RELEASE's answer.
    deliver_together({{request.from, server_answer(7, request)}, {request.from, server_answer(7, request)}});
    datagram release = expect_message(8);
    EXPECT_TRUE(silent_for(milliseconds(100)));
    EXPECT_EQ(probe::info(*manager_, 0).scene_index, 3);
    answer(release, 7);
    ASSERT_EQ(wait_for_results(1).results, 1u);
    answer(release, 7);

    measurements m = counts_until([](const measurements& c) { return c.received == 6; });
    const std::uint64_t duplicates[] = {1, 1, 0};
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(m.steps[k].answered, 1u) << k;
        EXPECT_EQ(m.steps[k].duplicates, duplicates[k]) << k;
    }
    EXPECT_EQ(m.unmatched, 1u) << "the answer after completion";
    EXPECT_EQ(m.clients.completed, 1u);
}

TEST_F(TransactionManagerTest, ReceiveBufferDropsAreCountedAsTheKernelReportsThem)
{
    start();
    manager_->socket.set_option(boost::asio::socket_base::receive_buffer_size(1)); // the kernel's minimum
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_addr = in6addr_loopback;
    to.sin6_port = htons(546);
    // No client has id 070707: all are unmatched, some are dropped.
    deliver_together(std::vector<std::pair<sockaddr_in6, bytes>>(100, {to, bytes(1000, 0x07)}));
    // Once the socket is read empty, one more carries the count of the drops.
    measurements m = counts_until([](const measurements& c) { return c.received != 0; });
    peer_->send_to(to, bytes(1000, 0x07));
    m.add(counts_until([&m](const measurements& c) { return m.received + c.received + c.rcvbuf_drops == 101; }));
    EXPECT_GT(m.rcvbuf_drops, 0u);
    EXPECT_EQ(m.received + m.rcvbuf_drops, 101u);
    EXPECT_EQ(m.unmatched, m.received);
}

} // namespace
