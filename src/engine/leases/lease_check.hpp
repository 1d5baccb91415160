#ifndef QUORVELIN_ENGINE_LEASES_LEASE_CHECK_HPP
#define QUORVELIN_ENGINE_LEASES_LEASE_CHECK_HPP

// The duplicate-lease check (--check-leases): every address and prefix a
// REPLY grants a client is held in a lease_table until the client releases
// or declines it or its valid lifetime ends; one granted while another
// client holds it is a duplicate lease. An engine feature: it reads the
// answers the clients accept and the RELEASEs and DECLINEs they send, and
// follows a population's subscribers, whose renewals grant leases too. It
// counts duplicates per step and per renewal type, and writes each to the
// debug log when there is one.

#include "engine/features/feature.hpp"
#include "engine/leases/lease_table.hpp"
#include "engine/population/bound_population.hpp"

#include <chrono>
#include <cstdint>
#include <ostream>
#include <vector>

namespace zarn {
namespace quorvelin {

class lease_check : public engine_feature, public subscriber_listener {
public:
    using time_point = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

    // Valid lifetimes run `compression` times faster, as the clients'
    // (a population test's time compression); 1 for the real clock.
    // `step_types`: the message type of each scenario step.
    explicit lease_check(double compression = 1, std::vector<int> step_types = {}, std::ostream* log = nullptr);

    // The answer [answer, end) that client `id` took at `now`, to a message
    // of type `asked`: when it is a REPLY to SOLICIT, REQUEST, RENEW or
    // REBIND, every lease it grants with a valid lifetime goes to the
    // client. Returns how many of them another client held.
    unsigned granted(std::int32_t id, int asked, const char* answer, const char* end, const time_point& now);
    // Client `id` sends RELEASE or DECLINE [message, end) (relay layers
    // allowed), or leaves its lease [message, end) behind: the leases it
    // names are no longer held by it.
    void released(std::int32_t id, const char* message, const char* end);

    // A scenario's clients.
    void accepted(client_entry& client, const char* answer, const char* end, const time_point& arrived) override;
    void sent(client_entry& client) override;
    void take_counts(engine_snapshot& reading) override;

    // A population's subscribers.
    void renewed(std::int32_t id, int asked, const char* reply, const char* end, const time_point& at) override;
    void left(std::int32_t id, const char* kept, const char* end) override { released(id, kept, end); }
    void releasing(std::int32_t id, const char* message, const char* end) override { released(id, message, end); }

    std::size_t held() const noexcept { return table.size(); }
    std::size_t memory() const noexcept { return table.memory(); }

private:
    int type_of(const client_entry& client) const;

    double compression;
    std::vector<int> step_types;
    std::ostream* log;
    lease_table table;
    // Duplicates since the last take_counts: per step, at RENEW, at REBIND.
    std::vector<std::uint64_t> by_step;
    std::uint64_t at_renew = 0;
    std::uint64_t at_rebind = 0;
};

} // namespace quorvelin
} // namespace zarn

#endif
