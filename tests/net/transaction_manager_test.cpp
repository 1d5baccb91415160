// The transaction manager over loopback against a hand-played server: what
// needs a real socket (the wire, batched receives and sends, message size
// limits, kernel drops, worker threads). The client table's own rules (ids,
// timeouts, restarts) are tested without sockets in client_table_test.
// Each test runs in a network namespace of its own, so that concurrent runs
// and local servers never collide on ports 546 and 547.
#include "engine/transaction_manager.hpp"
#include "main/options/options.hpp"
#include "message/vocabulary.hpp"
#include "../unit/support/wire_bytes.hpp"

#include <boost/thread/thread.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <sstream>
#include <thread>

namespace {

using namespace zarn::quorvelin;
using namespace wire_bytes;
using std::chrono::milliseconds;
using time_point = transaction_manager::time_point;

// Moves the calling thread (and the threads and sockets it creates from now
// on) into a fresh network namespace with loopback up, and back when
// destroyed. Without the privilege for that, the host's loopback is used
// under a machine-wide lock file.
class private_network {
public:
    private_network()
    {
        ifreq lo{};
        std::strncpy(lo.ifr_name, "lo", IFNAMSIZ - 1);
        lo.ifr_flags = IFF_UP;
        const int fd = original_ >= 0 && ::unshare(CLONE_NEWNET) == 0 ? ::socket(AF_INET, SOCK_DGRAM, 0) : -1;
        isolated_ = fd >= 0 && ::ioctl(fd, SIOCSIFFLAGS, &lo) == 0;
        ::close(fd);
        if (!isolated_ && (lock_ = ::open("/tmp/quorvelin-dhcp-ports.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666)) >= 0)
            ::flock(lock_, LOCK_EX);
    }
    ~private_network()
    {
        if (isolated_)
            ::setns(original_, CLONE_NEWNET);
        ::close(original_);
        ::close(lock_);
    }

private:
    int original_ = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int lock_ = -1;
    bool isolated_ = false;
};

// A blocking UDP socket on [::1]:547 that answers whoever sent to it last
// (at first the client port on [::1]).
class udp_peer {
public:
    udp_peer()
    {
        sockaddr_in6 address{AF_INET6, htons(547), 0, in6addr_loopback, 0};
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error(std::string("test peer cannot bind [::1]:547: ") + std::strerror(errno));
    }
    ~udp_peer() { ::close(fd_); }

    // One datagram, waiting up to `timeout`; empty when none came.
    bytes receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
    {
        pollfd waiting{fd_, POLLIN, 0};
        bytes data(4000);
        socklen_t length = sizeof client_;
        const ssize_t n = ::poll(&waiting, 1, static_cast<int>(timeout.count())) != 1 ? -1
            : ::recvfrom(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&client_), &length);
        data.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return data;
    }
    void send(const bytes& data)
    {
        if (::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&client_), sizeof client_) < 0)
            throw std::runtime_error(std::string("test peer cannot send: ") + std::strerror(errno));
    }
    unsigned short client_port() const { return ntohs(client_.sin6_port); }

private:
    int fd_ = ::socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 client_{AF_INET6, htons(546), 0, in6addr_loopback, 0};
};

time_point now() { return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now()); }
int type(const bytes& m) { return m.empty() ? -1 : m[0]; }
std::int32_t xid(const bytes& m) { return m.size() < 4 ? -1 : m[1] << 16 | m[2] << 8 | m[3]; }

std::size_t count_of(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// TYPE { CID = @auto, VENDOR_CLASS = <filler bytes> }: 26 bytes plus the filler.
std::shared_ptr<top_param> padded(const std::string& type, std::size_t filler)
{
    auto m = scenario(type + " { CID = @auto, 16 = \"x\" }");
    std::static_pointer_cast<option_param>(m->params_[1])->values_.front().resize(filler, 'x');
    return m;
}

class TransactionManager : public ::testing::Test {
protected:
    TransactionManager()
    {
        for (const char* type : {"SOLICIT", "REQUEST", "RELEASE"})
            g_opt_scenario.push_back(scenario(builtin(type)));
        g_opt_log.reset(log_);
    }
    ~TransactionManager() override
    {
        stop();
        manager.reset();
        g_opt_log.reset();
        g_opt_scenario.clear();
    }

    // Server ::1 port 547 through lo, client port 546, `threads` workers.
    void start(int threads = 1)
    {
        manager = std::make_unique<transaction_manager>(io_, boost::asio::ip::make_address_v6("::1"), 547, 546,
                                                        boost::asio::ip::basic_endpoint<morvo::asio::raw>("lo"));
        for (int i = 0; i < threads; ++i)
            workers_.create_thread([this] { io_.run(); });
    }
    void stop()
    {
        work_.reset();
        io_.stop();
        workers_.join_all();
    }
    // The manager writes the debug log under its lock, which stats() takes.
    std::string log()
    {
        stats(time_point::min());
        return log_->str();
    }
    // Messages that ask for no lease, so that any answer, however short,
    // moves a client on (an answer without a lease refuses a request for one).
    static void ask_for_no_lease()
    {
        g_opt_scenario.clear();
        for (const char* text :
             {"SOLICIT { CID = @auto }", "REQUEST { CID = @auto, SID = @auto }", "RELEASE { CID = @auto, SID = @auto }"})
            g_opt_scenario.push_back(scenario(text));
    }

    // "results timeouts pending avg max min".
    std::string stats(time_point cutoff = time_point())
    {
        unsigned c[6];
        manager->stats(cutoff, c[0], c[1], c[2], c[3], c[4], c[5]);
        return std::to_string(c[0]) + " " + std::to_string(c[1]) + " " + std::to_string(c[2]) + " " +
               std::to_string(c[3]) + " " + std::to_string(c[4]) + " " + std::to_string(c[5]);
    }
    // Polls until `done` holds, for at most 30 s.
    template <class Done>
    bool eventually(Done done)
    {
        for (int i = 0; i < 6000 && !done(); ++i)
            std::this_thread::sleep_for(milliseconds(5));
        return done();
    }
    bytes expect(int message_type)
    {
        const bytes m = peer.receive();
        EXPECT_EQ(type(m), message_type);
        return m;
    }
    bool silent(milliseconds span = milliseconds(200)) { return peer.receive(span).empty(); }

    // The manager's counts, summed until `done` holds for the sum (or 30 s pass).
    template <class Done>
    measurements counts_until(Done done)
    {
        measurements sum(g_opt_scenario.size());
        eventually([&] { return sum.add(manager->snapshot(time_point::min()).counted), done(sum); });
        return sum;
    }

    // Sends `datagrams` while the only worker is held busy, so that the
    // manager finds them all waiting and takes them in one batch.
    void deliver_together(const std::vector<bytes>& datagrams)
    {
        std::promise<void> release, entered;
        std::shared_future<void> released = release.get_future().share();
        io_.post([&entered, released] { entered.set_value(), released.wait(); });
        entered.get_future().wait();
        for (auto& d : datagrams)
            peer.send(d);
        std::this_thread::sleep_for(milliseconds(50)); // loopback delivery
        release.set_value();
    }
    // The next `count` messages as "type:id" words, by type and id.
    std::string messages(std::size_t count, std::vector<bytes>* kept = nullptr)
    {
        std::vector<bytes> got;
        for (std::size_t i = 0; i < count; ++i)
            got.push_back(peer.receive());
        std::sort(got.begin(), got.end()); // type, then id, are the first bytes
        std::string out;
        for (auto& m : got)
            out += std::to_string(type(m)) + ":" + std::to_string(xid(m)) + " ";
        if (kept)
            *kept = got;
        return out;
    }

    private_network network_;
    udp_peer peer;
    boost::asio::io_service io_;
    std::unique_ptr<boost::asio::io_service::work> work_ = std::make_unique<boost::asio::io_service::work>(io_);
    boost::thread_group workers_;
    std::unique_ptr<transaction_manager> manager;
    std::ostringstream* log_ = new std::ostringstream;
};

TEST_F(TransactionManager, ClientsWalkTheScenarioAndCompleteWithTheirLatency)
{
    start();
    boost::asio::socket_base::receive_buffer_size size;
    manager->socket.get_option(size);
    EXPECT_GE(size.value(), transaction_manager::receive_buffer_size); // Linux reports twice what was set
    EXPECT_EQ(stats(now()), "0 0 0 0 0 0");
    for (int i = 0; i < 3; ++i)
        manager->run();
    std::vector<bytes> solicits;
    for (int id = 0; id < 3; ++id) {
        solicits.push_back(expect(1));
        EXPECT_EQ(xid(solicits.back()), id) << "fresh clients are numbered from 0";
    }
    EXPECT_EQ(peer.client_port(), 546);
    EXPECT_EQ(stats(), "0 0 3 0 0 0");
    for (const auto& solicit : solicits) {
        peer.send(answer(2, solicit));
        const bytes request = expect(3);
        EXPECT_EQ(to_hex(request), to_hex(message(3, xid(solicit), cat({find(solicit, 1), server_id,
                                                                         ia(3, 1, 0, 0, iaaddr("2001:db8::1", 3000, 4000))}))));
        peer.send(answer(7, request));
        const bytes release = expect(8);
        std::this_thread::sleep_for(milliseconds(25));
        peer.send(answer(7, release));
    }
    EXPECT_TRUE(silent()) << "the last reply is not answered";
    ASSERT_TRUE(eventually([&] { return stats().rfind("3 0 0 ", 0) == 0; })) << stats();
    unsigned results, timeouts, pending, avg, max, min;
    manager->stats(time_point(), results, timeouts, pending, avg, max, min);
    EXPECT_TRUE(25 <= min && min <= avg && avg <= max) << min << " " << avg << " " << max;
    std::string lines = "# send:[::1%" + std::to_string(::if_nametoindex("lo")) + "]:547 recv:[::]:546\n";
    for (int i = 0; i < 9; ++i)
        lines += "# received xid:" + std::to_string(i / 3) + " from:[::1]:547\n";
    EXPECT_EQ(log(), lines);
}

TEST_F(TransactionManager, DatagramsAreMatchedByTheIdTheyCarryWhateverTheirLength)
{
    ask_for_no_lease();
    start();
    manager->run();
    manager->run();
    const bytes a = expect(1), b = expect(1);
    peer.send(answer(2, b));
    EXPECT_EQ(xid(expect(3)), 1);
    // Two bytes: the missing id bytes read as zero, not as an earlier datagram's.
    peer.send(hex("02 00"));
    EXPECT_EQ(xid(expect(3)), 0);
    // 1600 bytes are cut to 1500 by the receive and still matched by their id.
    peer.send(cat({answer(7, a), option(16, bytes(1600 - answer(7, a).size() - 4, 'y'))}));
    EXPECT_EQ(xid(expect(8)), 0);
    peer.send(hex("07 00 00 07")); // nothing of ours has id 7
    EXPECT_TRUE(silent());
    EXPECT_EQ(stats(), "0 0 2 0 0 0");
}

TEST_F(TransactionManager, RepliesTakenInOneBatchAreEachAnsweredIntact)
{
    ask_for_no_lease();
    start();
    for (int i = 0; i < 3; ++i)
        manager->run();
    std::vector<bytes> sent;
    ASSERT_EQ(messages(3, &sent), "1:0 1:1 1:2 ");
    // Client 0 is answered twice in one batch: the second ADVERTISE is a
    // duplicate and must not disturb the REQUEST built from the first.
    deliver_together({answer(2, sent[0]), answer(2, sent[1]), answer(2, sent[0]), answer(2, sent[2])});
    ASSERT_EQ(messages(3, &sent), "3:0 3:1 3:2 ");
    EXPECT_TRUE(silent(milliseconds(100)));
    // Client 1's second REPLY arrives while the RELEASE built from the first
    // still waits to be sent: it cannot be the RELEASE's answer, and counts
    // as a duplicate at the REQUEST. (It grants no lease, or that alone
    // would tell it from an answer to a RELEASE.)
    const bytes reply = message(7, 1, cat({find(sent[1], 1), server_id}));
    deliver_together({reply, answer(7, sent[2]), reply});
    ASSERT_EQ(messages(2, &sent), "8:1 8:2 ");
    EXPECT_TRUE(silent(milliseconds(100)));
    // Receive buffers are reused: a short datagram must read zeros, not what
    // a longer one left there. Two rounds reach every buffer in use.
    deliver_together({answer(7, sent[0]), hex("07 00")});
    EXPECT_EQ(xid(expect(8)), 0) << "the two bytes are a REPLY to client 0";
    ASSERT_TRUE(eventually([&] { return stats().rfind("1 0 2 ", 0) == 0; })) << stats();
    EXPECT_EQ(counts_until([](const measurements& c) { return c.received == 9; }).steps[1].duplicates, 1u);
}

TEST_F(TransactionManager, MessagesOf1500BytesOrMoreAreNotSentAndTheirClientsTimeOut)
{
    testing::internal::CaptureStderr();
    g_opt_scenario = {padded("SOLICIT", 1499 - 26), padded("REQUEST", 1500 - 26)};
    start();
    manager->run();
    const bytes solicit = expect(1);
    EXPECT_EQ(solicit.size(), 1499u);
    peer.send(answer(2, solicit)); // the REQUEST has 1500 bytes: built, not sent
    measurements m = counts_until([](const measurements& c) { return c.steps[1].unbuildable == 1; });
    EXPECT_EQ(m.steps[1].sent, 0u);
    EXPECT_TRUE(silent());
    // A REQUEST that does not fit the buffer at all; the receive chain goes on.
    g_opt_scenario[1] = padded("REQUEST", 1600);
    for (int client : {1, 2}) {
        manager->run();
        peer.send(answer(2, expect(1)));
        m = counts_until([](const measurements& c) { return c.steps[1].unbuildable == 1; });
        EXPECT_EQ(count_of(log(), "# error:" + std::to_string(client) + " "), 1u);
    }
    // The same when a beat starts a client: the entry waits with the build's
    // time, or with none when the build failed, and times out.
    g_opt_scenario = {padded("REQUEST", 1500 - 26)};
    manager->run();
    g_opt_scenario = {padded("RELEASE", 1600)};
    manager->async_run(now());
    m = counts_until([](const measurements& c) { return c.steps[0].unbuildable == 2; }); // clients 3 and 4
    EXPECT_EQ(count_of(log(), "# error:4 "), 1u) << log();
    EXPECT_TRUE(silent(milliseconds(100)));
    EXPECT_EQ(stats(now() - std::chrono::hours(1)).substr(0, 6), "0 1 4 ") << "the failed build set no send time";
    stop();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: packet too short\n"); // once per text
    const std::string text = log();
    EXPECT_EQ(count_of(text, "# error:"), 4u) << text;
    EXPECT_EQ(count_of(text, " packet too short\n") + count_of(text, "# error:3\n"), 4u) << text;
}

// No client has id 070707: every datagram is unmatched. Datagrams that
// waited before a wake-up raise no further readiness: what one batch cannot
// hold is read in the same wake-up. With the smallest receive buffer some
// are dropped; once the socket is read empty, one more datagram brings the
// kernel's count of the drops.
TEST_F(TransactionManager, WaitingDatagramsAreAllReadAndTheKernelsDropsCounted)
{
    start();
    deliver_together(std::vector<bytes>(150, hex("07 07 07 07")));
    EXPECT_EQ(counts_until([](const measurements& c) { return c.received >= 150; }).unmatched, 150u);
    manager->socket.set_option(boost::asio::socket_base::receive_buffer_size(1));
    deliver_together(std::vector<bytes>(100, bytes(1000, 0x07)));
    measurements m = counts_until([](const measurements& c) { return c.received != 0; });
    peer.send(bytes(1000, 0x07));
    m.add(counts_until([&m](const measurements& c) { return m.received + c.received + c.rcvbuf_drops == 101; }));
    EXPECT_GT(m.rcvbuf_drops, 0u);
    EXPECT_EQ(m.received + m.rcvbuf_drops, 101u);
    EXPECT_EQ(m.unmatched, m.received);
}

TEST_F(TransactionManager, RelayedClientsAreMatchedAndRestartedByTheirInnerId)
{
    for (auto& m : g_opt_scenario)
        m->relays_ = scenario("RELAY 2001:db8::1 => fe80::1 { }")->relays_;
    start();
    manager->run();
    const bytes outer = expect(12), solicit(outer.begin() + 38, outer.end());
    ASSERT_EQ(to_hex(outer), to_hex(relay(12, 0, "2001:db8::1", "fe80::1", option(9, solicit))));
    peer.send(relay(13, 0, "2001:db8::1", "fe80::1", option(9, answer(2, solicit))));
    EXPECT_EQ(to_hex(expect(12)).substr(114, 11), "03 00 00 00");
    // Its buffer now starts with the relay header, whose bytes 1-3 are the
    // hop count and the start of the link address, not the client's id.
    EXPECT_EQ(stats(now() + std::chrono::hours(1)).substr(0, 6), "0 1 0 ");
    manager->run();
    EXPECT_EQ(to_hex(expect(12)).substr(114, 11), "01 00 00 00");
    peer.send(relay(13, 0, "2001:db8::1", "fe80::1", option(9, answer(2, solicit))));
    EXPECT_EQ(to_hex(expect(12)).substr(114, 11), "03 00 00 00") << "the restarted client kept its inner id";
}

// Beats scheduled from this thread while four workers serve them and the
// replies: every client starts once and completes once.
TEST_F(TransactionManager, ManyClientsOnFourWorkerThreadsAllComplete)
{
    start(4);
    std::atomic<bool> stop_serving{false};
    std::thread server([&] {
        while (!stop_serving)
            if (const bytes m = peer.receive(milliseconds(50)); type(m) == 1 || type(m) == 3 || type(m) == 8)
                peer.send(answer(type(m) == 1 ? 2 : 7, m));
    });
    const time_point begin = now();
    for (int i = 0; i < 300; ++i)
        manager->async_run(begin + milliseconds(i));
    // Completing removes a client: with every client started once, none
    // pending and none timed out, each completed exactly once.
    EXPECT_TRUE(eventually([&] { return stats().rfind("300 0 0 ", 0) == 0; })) << stats();
    manager->cancel(); // stopping as the drivers do
    manager->socket.cancel();
    stop_serving = true;
    server.join();
}

} // namespace
