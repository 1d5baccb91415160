// quorvelin_responder: a small, fast DHCPv6 server for the test lab. It
// answers every client (no lease state: bindings are derived from the
// client's DUID) and can misbehave on purpose in ways a real server won't:
// refuse every IA (or a share of requests' IAs) or whole requests, drop requests or the first transmissions
// of each exchange, limit new clients, answer twice or late, grant one
// address to every client, leave out its Server Identifier.
//
// One UDP socket on port 547, read and written in batches (recvmmsg and
// sendmmsg) by one or more threads; each thread owns its buffers, so nothing
// is allocated per packet. Silent while it runs; on SIGINT or SIGTERM it
// prints its counters to standard error (one line per message type received,
// then the totals) and exits 0.
#include "responder_answer.hpp"
#include "responder_delay.hpp"
#include "responder_policy.hpp"

#include <boost/program_options.hpp>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace po = boost::program_options;

namespace {

struct options {
    std::string interface;
    unsigned short port = 547;
    bool refuse = false;
    bool refuse_message = false;
    double drop_percent = 0;
    double refuse_percent = 0;
    unsigned drop_first = 0;
    unsigned delay_ms = 0;
    bool one_address = false;
    unsigned max_new_per_second = 0;
    bool answer_twice = false;
    bool no_server_id = false;
    unsigned threads = 1;
    unsigned batch = 64;
    std::string lease_times;
    double silent_from = 0, silent_for = 0;
};

// What happened to the requests of one message type.
struct type_counters {
    std::uint64_t received = 0, answered = 0, dropped = 0, rate_limited = 0;
};

// One thread's tallies, summed when the threads have ended.
struct alignas(64) counters {
    std::uint64_t received = 0, answered = 0, sent = 0, dropped = 0, rate_limited = 0, ignored = 0, malformed = 0,
                  relayed = 0, receive_errors = 0, send_errors = 0;
    std::array<type_counters, 256> by_type{};

    counters& operator+=(const counters& o)
    {
        for (std::size_t t = 0; t < by_type.size(); ++t) {
            by_type[t].received += o.by_type[t].received;
            by_type[t].answered += o.by_type[t].answered;
            by_type[t].dropped += o.by_type[t].dropped;
            by_type[t].rate_limited += o.by_type[t].rate_limited;
        }
        received += o.received;
        answered += o.answered;
        sent += o.sent;
        dropped += o.dropped;
        rate_limited += o.rate_limited;
        ignored += o.ignored;
        malformed += o.malformed;
        relayed += o.relayed;
        receive_errors += o.receive_errors;
        send_errors += o.send_errors;
        return *this;
    }
};

[[noreturn]] void fail(const std::string& what, int err)
{
    std::cerr << "quorvelin_responder: " << what << ": " << std::strerror(err) << std::endl;
    std::exit(1);
}

bool parse_options(int argc, char** argv, options& o)
{
    po::options_description desc("Options");
    desc.add_options()
        ("help,h", "Print this help.")
        ("interface,i", po::value(&o.interface), "Serve only this device (bind to it, join the DHCPv6 groups on it).")
        ("port", po::value(&o.port)->default_value(547), "UDP port to serve.")
        ("refuse", po::bool_switch(&o.refuse), "Answer every IA with a failure status (NoAddrAvail, NoPrefixAvail).")
        ("refuse-message", po::bool_switch(&o.refuse_message),
         "Answer requests for leases with a message-level NoAddrAvail and no IA.")
        ("refuse-percent", po::value(&o.refuse_percent)->default_value(0),
         "Answer this percentage of requests as --refuse does (deterministic per request).")
        ("drop-percent", po::value(&o.drop_percent)->default_value(0),
         "Drop this percentage of requests (deterministic per request).")
        ("drop-first", po::value(&o.drop_first)->default_value(0),
         "Drop the first N transmissions of each transaction id and message type (at most 15).")
        ("delay-ms", po::value(&o.delay_ms)->default_value(0), "Send every answer this many milliseconds late.")
        ("one-address", po::bool_switch(&o.one_address), "Grant every IA_NA the same address, 2001:db8:1::1:1.")
        ("max-new-per-second", po::value(&o.max_new_per_second)->default_value(0),
         "Answer at most this many SOLICITs per second, drop the rest (0: no limit).")
        ("answer-twice", po::bool_switch(&o.answer_twice), "Send every answer twice.")
        ("no-server-id", po::bool_switch(&o.no_server_id), "Leave the Server Identifier out of every answer.")
        ("lease-times", po::value(&o.lease_times), "Grant T1,T2,PREFERRED,VALID seconds (default 1000,2000,3000,4000).")
        ("silent-from", po::value(&o.silent_from)->default_value(0), "Go silent this many seconds after starting...")
        ("silent-for", po::value(&o.silent_for)->default_value(0), "...for this many seconds (0: never silent).")
        ("threads", po::value(&o.threads)->default_value(1), "Threads reading the socket.")
        ("batch", po::value(&o.batch)->default_value(64), "Datagrams per recvmmsg/sendmmsg call.");
    po::variables_map vm;
    po::store(po::parse_command_line(argc, argv, desc), vm);
    po::notify(vm);
    if (vm.count("help")) {
        std::cout << "Usage: quorvelin_responder [options]\n" << desc;
        return false;
    }
    if (!(o.drop_percent >= 0 && o.drop_percent <= 100))
        throw std::invalid_argument("--drop-percent must be between 0 and 100");
    if (!(o.refuse_percent >= 0 && o.refuse_percent <= 100))
        throw std::invalid_argument("--refuse-percent must be between 0 and 100");
    if (o.threads < 1 || o.threads > 64)
        throw std::invalid_argument("--threads must be between 1 and 64");
    if (o.drop_first > 15)
        throw std::invalid_argument("--drop-first must be between 0 and 15");
    if (o.batch < 1 || o.batch > 1024)
        throw std::invalid_argument("--batch must be between 1 and 1024");
    if (!(o.silent_from >= 0 && o.silent_for >= 0))
        throw std::invalid_argument("--silent-from and --silent-for must not be negative");
    return true;
}

responder::lease_times parse_lease_times(const std::string& text)
{
    responder::lease_times t;
    if (text.empty())
        return t;
    unsigned long v[4];
    char tail = 0;
    if (std::sscanf(text.c_str(), "%lu,%lu,%lu,%lu%c", &v[0], &v[1], &v[2], &v[3], &tail) != 4)
        throw std::invalid_argument("--lease-times takes T1,T2,PREFERRED,VALID in seconds");
    t.t1 = static_cast<std::uint32_t>(v[0]);
    t.t2 = static_cast<std::uint32_t>(v[1]);
    t.preferred = static_cast<std::uint32_t>(v[2]);
    t.valid = static_cast<std::uint32_t>(v[3]);
    return t;
}

std::chrono::steady_clock::duration seconds_of(double s)
{
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
}

void set_buffer(int fd, int force, int plain, int bytes)
{
    // Forcing past the system maximum needs CAP_NET_ADMIN; settle for less without.
    if (setsockopt(fd, SOL_SOCKET, force, &bytes, sizeof bytes) != 0)
        setsockopt(fd, SOL_SOCKET, plain, &bytes, sizeof bytes);
}

void join_group(int fd, const char* group, unsigned ifindex)
{
    ipv6_mreq mreq{};
    inet_pton(AF_INET6, group, &mreq.ipv6mr_multiaddr);
    mreq.ipv6mr_interface = ifindex;
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &mreq, sizeof mreq) != 0)
        fail(std::string("joining ") + group, errno);
}

int open_socket(const options& o, unsigned ifindex)
{
    const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail("socket", errno);
    if (!o.interface.empty() &&
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, o.interface.c_str(), o.interface.size()) != 0)
        fail("binding to " + o.interface, errno);
    set_buffer(fd, SO_RCVBUFFORCE, SO_RCVBUF, 8 << 20);
    set_buffer(fd, SO_SNDBUFFORCE, SO_SNDBUF, 8 << 20);
    // Readers wake up regularly to notice the end of the run.
    timeval tick{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_any;
    addr.sin6_port = htons(o.port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        fail("bind [::]:" + std::to_string(o.port), errno);
    // All_DHCP_Relay_Agents_and_Servers and All_DHCP_Servers.
    if (ifindex) {
        join_group(fd, "ff02::1:2", ifindex);
        join_group(fd, "ff05::1:3", ifindex);
    }
    return fd;
}

// The Server Identifier is a DUID-LL built from the device's MAC address,
// or from a fixed locally administered one.
std::array<std::uint8_t, 10> server_duid(int fd, const std::string& interface)
{
    std::uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x05, 0x47};
    if (!interface.empty() && interface.size() < IFNAMSIZ) {
        ifreq ifr{};
        std::memcpy(ifr.ifr_name, interface.c_str(), interface.size());
        if (ioctl(fd, SIOCGIFHWADDR, &ifr) == 0)
            std::memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    }
    return responder::duid_ll(mac);
}

struct shared_state {
    int fd;
    const options& opts;
    responder::answer_settings settings;
    responder::drop_filter dropper;
    // --refuse-percent: the requests it picks are answered with `refusing`,
    // the settings with every IA refused.
    responder::drop_filter refuser;
    responder::answer_settings refusing;
    responder::first_transmissions_filter first_dropper;
    responder::new_client_limiter limiter;
    responder::delay_line late;
    responder::silence quiet;
    std::atomic<bool> stop{false};
};

class worker {
public:
    static constexpr std::size_t in_size = 4096;
    static constexpr std::size_t out_size = 8192;

    worker(shared_state& shared, counters& tally)
        : s_(shared), c_(tally), batch_(shared.opts.batch), in_(batch_), out_(batch_), peers_(batch_),
          rx_iov_(batch_), tx_iov_(batch_), rx_(batch_), tx_(2 * batch_)
    {
    }

    void run()
    {
        while (!s_.stop.load(std::memory_order_relaxed)) {
            const int n = receive();
            if (n <= 0)
                continue;
            const auto now = std::chrono::steady_clock::now();
            std::size_t ntx = 0;
            for (int i = 0; i < n; ++i)
                ntx += handle(static_cast<std::size_t>(i), now, ntx);
            send(ntx);
        }
    }

private:
    int receive()
    {
        for (std::size_t i = 0; i < batch_; ++i) {
            rx_iov_[i] = {in_[i].data(), in_size};
            rx_[i].msg_hdr = msghdr{};
            rx_[i].msg_hdr.msg_name = &peers_[i];
            rx_[i].msg_hdr.msg_namelen = sizeof peers_[i];
            rx_[i].msg_hdr.msg_iov = &rx_iov_[i];
            rx_[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = recvmmsg(s_.fd, rx_.data(), static_cast<unsigned>(batch_), MSG_WAITFORONE, nullptr);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            ++c_.receive_errors;
        return n;
    }

    // Answers datagram i; queues the answer (once or twice) for sending at
    // tx_[ntx]. Returns how many sends it queued.
    std::size_t handle(std::size_t i, std::chrono::steady_clock::time_point now, std::size_t ntx)
    {
        ++c_.received;
        if (rx_[i].msg_hdr.msg_flags & MSG_TRUNC) {
            ++c_.malformed;
            return 0;
        }
        if (!responder::parse_request({in_[i].data(), rx_[i].msg_len}, req_)) {
            ++c_.malformed;
            return 0;
        }
        if (req_.depth)
            ++c_.relayed;
        type_counters& of_type = c_.by_type[req_.type];
        ++of_type.received;
        if (!responder::is_answered_type(req_.type)) {
            ++c_.ignored;
            return 0;
        }
        if (s_.quiet.silent(now) || s_.dropper.drop(req_) || s_.first_dropper.drop(req_)) {
            ++c_.dropped;
            ++of_type.dropped;
            return 0;
        }
        if (req_.type == responder::msg::solicit && !s_.limiter.admit(now)) {
            ++c_.rate_limited;
            ++of_type.rate_limited;
            return 0;
        }
        const responder::answer_settings& settings = s_.refuser.drop(req_) ? s_.refusing : s_.settings;
        const std::size_t len = responder::build_answer(req_, settings, out_[i].data(), out_size);
        if (len == 0) {
            ++c_.malformed;
            return 0;
        }
        ++c_.answered;
        ++of_type.answered;
        const std::size_t copies = s_.opts.answer_twice ? 2 : 1;
        if (s_.late.active()) {
            for (std::size_t k = 0; k < copies; ++k)
                s_.late.hold(out_[i].data(), len, peers_[i]);
            return 0;
        }
        tx_iov_[i] = {out_[i].data(), len};
        for (std::size_t k = 0; k < copies; ++k) {
            msghdr& h = tx_[ntx + k].msg_hdr;
            h = msghdr{};
            h.msg_name = &peers_[i];
            h.msg_namelen = rx_[i].msg_hdr.msg_namelen;
            h.msg_iov = &tx_iov_[i];
            h.msg_iovlen = 1;
        }
        return copies;
    }

    void send(std::size_t ntx)
    {
        std::size_t done = 0;
        while (done < ntx) {
            const int k = sendmmsg(s_.fd, tx_.data() + done, static_cast<unsigned>(ntx - done), 0);
            if (k < 0) {
                if (errno == EINTR)
                    continue;
                // sendmmsg fails only on its first datagram: skip that one.
                ++c_.send_errors;
                ++done;
                continue;
            }
            c_.sent += static_cast<unsigned>(k);
            done += static_cast<unsigned>(k);
        }
    }

    shared_state& s_;
    counters& c_;
    const std::size_t batch_;
    std::vector<std::array<std::uint8_t, in_size>> in_;
    std::vector<std::array<std::uint8_t, out_size>> out_;
    std::vector<sockaddr_in6> peers_;
    std::vector<iovec> rx_iov_, tx_iov_;
    std::vector<mmsghdr> rx_, tx_;
    responder::request req_;
};

void print_summary(const counters& t)
{
    // One line per message type received, then the totals.
    for (std::size_t type = 0; type < t.by_type.size(); ++type) {
        const type_counters& c = t.by_type[type];
        if (c.received)
            std::fprintf(stderr, "quorvelin_responder: type %zu: received=%llu answered=%llu dropped=%llu "
                         "rate-limited=%llu\n", type, static_cast<unsigned long long>(c.received),
                         static_cast<unsigned long long>(c.answered), static_cast<unsigned long long>(c.dropped),
                         static_cast<unsigned long long>(c.rate_limited));
    }
    std::fprintf(stderr,
                 "quorvelin_responder: received=%llu answered=%llu sent=%llu dropped=%llu rate-limited=%llu "
                 "ignored=%llu malformed=%llu relayed=%llu receive-errors=%llu send-errors=%llu\n",
                 static_cast<unsigned long long>(t.received), static_cast<unsigned long long>(t.answered),
                 static_cast<unsigned long long>(t.sent), static_cast<unsigned long long>(t.dropped),
                 static_cast<unsigned long long>(t.rate_limited), static_cast<unsigned long long>(t.ignored),
                 static_cast<unsigned long long>(t.malformed), static_cast<unsigned long long>(t.relayed),
                 static_cast<unsigned long long>(t.receive_errors), static_cast<unsigned long long>(t.send_errors));
}

}  // namespace

int main(int argc, char** argv)
{
    options opts;
    try {
        if (!parse_options(argc, argv, opts))
            return 0;
    } catch (const std::exception& e) {
        std::cerr << "quorvelin_responder: " << e.what() << std::endl;
        return 1;
    }

    // The signals are taken by sigwait below, never by a worker.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    unsigned ifindex = 0;
    if (!opts.interface.empty() && (ifindex = if_nametoindex(opts.interface.c_str())) == 0)
        fail("device " + opts.interface, errno);
    const int fd = open_socket(opts, ifindex);

    shared_state shared{fd, opts, {}, responder::drop_filter(opts.drop_percent),
                        responder::drop_filter(opts.refuse_percent), {},
                        responder::first_transmissions_filter(opts.drop_first),
                        responder::new_client_limiter(opts.max_new_per_second),
                        responder::delay_line(fd, std::chrono::milliseconds(opts.delay_ms)),
                        responder::silence(seconds_of(opts.silent_from), seconds_of(opts.silent_for))};
    shared.settings.refuse = opts.refuse;
    shared.settings.refuse_message = opts.refuse_message;
    shared.settings.server_id = !opts.no_server_id;
    shared.settings.one_address = opts.one_address;
    shared.settings.times = parse_lease_times(opts.lease_times);
    shared.settings.server_duid = server_duid(fd, opts.interface);
    shared.refusing = shared.settings;
    shared.refusing.refuse = true;

    std::vector<counters> tallies(opts.threads);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < opts.threads; ++i)
        threads.emplace_back([&shared, &tallies, i] { worker(shared, tallies[i]).run(); });

    int sig = 0;
    while (sigwait(&signals, &sig) != 0) {
    }
    shared.stop = true;
    for (auto& t : threads)
        t.join();
    close(fd);

    counters total;
    for (const auto& t : tallies)
        total += t;
    print_summary(total);
    return 0;
}
