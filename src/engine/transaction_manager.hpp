#ifndef QUORVELIN_ENGINE_TRANSACTION_MANAGER_HPP
#define QUORVELIN_ENGINE_TRANSACTION_MANAGER_HPP

// The traffic engine: one table entry per simulated client, keyed by its
// DHCPv6 transaction id. Each beat starts a client; each reply that matches a
// client is answered with the client's next scenario message.

#include "morvo/asio/beat_timer.hpp"
#include "morvo/asio/raw.hpp"

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/address_v6.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/shared_mutex.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zarn {
namespace quorvelin {

// One message, relay layers included; zero-filled past its end.
using packet_buffer = std::array<char, 1500>;

struct transaction_info {
    using time_point = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

    time_point start_time; // entry made; the client's total time runs from here
    time_point send_time;  // last message built; timeouts are judged on it
    std::int32_t scene_index = 0; // next scenario message to build
};

// A client that went through its whole scenario.
struct result_record {
    std::int32_t xid;
    transaction_info::time_point start_time;
    transaction_info::time_point end_time;
};

// Reaches the internals from tests.
struct transaction_manager_probe;

class transaction_manager
    : public morvo::asio::beat_timer<transaction_manager,
                                     boost::asio::basic_waitable_timer<std::chrono::system_clock>> {
public:
    using time_point = transaction_info::time_point;

    transaction_manager(boost::asio::io_service& io, boost::asio::ip::address_v6 server, unsigned short send_port,
                        unsigned short recv_port, const boost::asio::ip::basic_endpoint<morvo::asio::raw>& endpoint);
    ~transaction_manager();

    // Starts one client; called by the beat timer once per beat.
    void run();

    // Counters since the last clear_results; entries whose last message was
    // built at or before `cutoff` are counted as timed out and removed.
    void stats(const time_point& cutoff, unsigned& results, unsigned& timeouts, unsigned& pending,
               unsigned& avg_ms, unsigned& max_ms, unsigned& min_ms);

    // Drops every live client and every result; clients that had a reply are
    // kept for a restart.
    void clear_results();

    // All traffic; the drivers cancel it to end the receive chain.
    boost::asio::ip::udp::socket socket;

private:
    friend struct transaction_manager_probe;

    using buffer_ptr = std::shared_ptr<packet_buffer>;
    using transaction_table = std::unordered_map<std::int32_t, std::pair<buffer_ptr, transaction_info>>;
    using table_entry = transaction_table::value_type;

    // Largest message that is sent.
    static constexpr std::ptrdiff_t max_message_size = 1499;

    table_entry& make_reqpkt(char*& begin, char*& end);
    void async_receive();
    void on_receive(const boost::system::error_code& error, std::size_t bytes, packet_buffer* buffer);
    void on_send(const boost::system::error_code& error, std::size_t bytes, buffer_ptr buffer);

    // Builds the entry's next scenario message into its buffer as the answer
    // to `reply`. Returns the message length, or -1 when it cannot be built.
    std::ptrdiff_t build_next(table_entry& entry, const char* reply_begin, const char* reply_end);
    void send(const buffer_ptr& buffer, std::ptrdiff_t length);
    // A build that threw: logged, and shown on standard error once per text.
    void report_failure(const table_entry* entry, const char* what);

    boost::asio::ip::udp::endpoint server_endpoint;
    boost::asio::ip::udp::endpoint sender_endpoint;
    boost::shared_mutex table_mutex;
    std::int32_t next_xid = 0;
    transaction_table transactions;
    std::vector<result_record> result_records;
    std::deque<buffer_ptr> free_buffers;

    boost::mutex reported_mutex;
    std::set<std::string> reported;
};

} // namespace quorvelin
} // namespace zarn

#endif
