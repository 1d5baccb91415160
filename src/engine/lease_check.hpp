#ifndef QUORVELIN_ENGINE_LEASE_CHECK_HPP
#define QUORVELIN_ENGINE_LEASE_CHECK_HPP

// The duplicate-lease check (--check-leases): every address and prefix a
// REPLY grants a client is held in a lease_table until the client releases
// or declines it or its valid lifetime ends; one granted while another
// client holds it is a duplicate lease. Reads messages, no sockets, no lock:
// the transaction manager serialises every call.

#include "engine/lease_table.hpp"

#include <chrono>
#include <cstdint>
#include <ostream>

namespace zarn {
namespace quorvelin {

class lease_check {
public:
    using time_point = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

    // Valid lifetimes run `compression` times faster, as the clients'
    // (a population test's time compression); 1 for the real clock.
    explicit lease_check(double compression = 1) : compression(compression) {}

    // The answer [answer, end) that client `id` took at `now`, to a message
    // of type `asked`: when it is a REPLY to SOLICIT, REQUEST, RENEW or
    // REBIND, every lease it grants with a valid lifetime goes to the
    // client. Returns how many of them another client held; each is written
    // to `log` when there is one.
    unsigned granted(std::int32_t id, int asked, const char* answer, const char* end, const time_point& now,
                     std::ostream* log);
    // Client `id` sends RELEASE or DECLINE [message, end) (relay layers
    // allowed): the leases it names are no longer held by it.
    void released(std::int32_t id, const char* message, const char* end);

    std::size_t held() const noexcept { return table.size(); }
    std::size_t memory() const noexcept { return table.memory(); }

private:
    double compression;
    lease_table table;
};

} // namespace quorvelin
} // namespace zarn

#endif
