#ifndef QUORVELIN_ENGINE_COUNTS_MEASUREMENTS_HPP
#define QUORVELIN_ENGINE_COUNTS_MEASUREMENTS_HPP

// What the engine counts while clients run, over some span of a run: for
// each step of the scenario (the k-th message and the reply to it), for
// whole clients, and for the socket. Spans add up, so a run's totals are the
// sum of its seconds.

#include "engine/counts/latency_histogram.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zarn {
namespace quorvelin {

// Refusals are counted by status code; codes from status_slots - 1 up share
// the last slot (the registered codes are far below it).
constexpr std::size_t status_slots = 256;
// Answers are counted by the retransmissions they needed: 1, 2, and 3 or more.
constexpr std::size_t retransmission_slots = 3;

struct step_measurements {
    std::uint64_t sent = 0;         // messages handed to the socket
    std::uint64_t answered = 0;     // replies taken as the answer to this message
    std::uint64_t timed_out = 0;    // clients whose sent message had no answer in time
    std::uint64_t duplicates = 0;   // replies to this message after it had been answered
    std::uint64_t no_server_id = 0; // answers without a Server Identifier
    std::uint64_t unbuildable = 0;  // messages not sent: not buildable, or 1500 bytes or more
    std::uint64_t retransmitted = 0; // retransmissions of this message (with retransmission on)
    // Answers that came after 1, 2, and 3 or more retransmissions.
    std::array<std::uint64_t, retransmission_slots> needed_retransmissions{};
    // Leases its answers granted that another client held (with the lease check on).
    std::uint64_t duplicate_leases = 0;
    // Answers that refused the message, by status: a failure status among
    // the answer's own options, or inside an IA of the client's.
    std::array<std::uint64_t, status_slots> refused{};
    // Answers refused because they held no address or prefix for any IA the
    // message asked for, and gave no status saying why.
    std::uint64_t no_lease_offered = 0;
    // ADVERTISEs to a SOLICIT with Rapid Commit whose client had no REQUEST
    // to go on with: the client stops, as after a refusal.
    std::uint64_t rapid_commit_not_honoured = 0;
    // REPLYs to RELEASE or DECLINE saying NoBinding: the release is done
    // all the same (RFC 8415 section 18.2.7), the server held nothing.
    std::uint64_t released_without_binding = 0;
    // With the reservation check on: REPLYs to clients with reservations,
    // and those that granted none of them.
    std::uint64_t reservations_checked = 0;
    std::uint64_t reservations_not_honoured = 0;
    // From the message's build to its answer.
    latency_histogram latency;

    void add(const step_measurements& other) noexcept;
    std::uint64_t refused_total() const noexcept;
};

struct client_measurements {
    std::uint64_t started = 0;   // clients started, restarted ones included
    std::uint64_t completed = 0; // clients that went through their whole scenario
    std::uint64_t timed_out = 0; // clients counted as timed out (as the progress line counts them)
    // Of those, clients that had stopped before: an answer refused their
    // message, or their next message could not be built.
    std::uint64_t stalled = 0;
    std::uint64_t cleared = 0; // live clients dropped when the counters were cleared
    // When the latest completion came, in nanoseconds of the system clock (0 for none).
    std::int64_t last_completed = 0;
    // From a client's start to the answer to its last message.
    latency_histogram latency;

    void add(const client_measurements& other) noexcept;
};

// The exchanges of one message type (RENEW or REBIND).
struct exchange_counts {
    std::uint64_t sent = 0;          // first transmissions
    std::uint64_t retransmitted = 0; // further ones
    std::uint64_t answered = 0;      // replies that renewed the lease
    std::uint64_t timed_out = 0;     // given up at T2 (RENEW) or at the end of the lease (REBIND)
    std::uint64_t duplicate_leases = 0; // leases renewed that another client held (--check-leases)
    std::array<std::uint64_t, status_slots> refused{}; // by status code (as steps count them)
    // REPLYs that renewed no lease and said no status why (as steps count them).
    std::uint64_t no_lease_offered = 0;
    latency_histogram latency;                 // answered and refused, from the first transmission

    void add(const exchange_counts& other) noexcept;
    std::uint64_t refused_total() const noexcept;
};

// A population test's bound subscribers (bound_population).
struct population_counts {
    std::uint64_t bound = 0;    // clients that bound (their scenario, then kept)
    std::uint64_t lost = 0;     // leases whose valid lifetime ended unrenewed
    std::uint64_t left = 0;     // subscribers a refusal or an empty REPLY unbound
    std::uint64_t released = 0; // RELEASEs sent at the end of the test
    std::uint64_t release_answered = 0;
    // Clients that completed their scenario with a REPLY that granted no IA
    // a client may keep (T1 above T2, or no valid lifetime): not bound.
    std::uint64_t not_bound = 0;
    // Grants whose T1 or T2, left to the client, came out too short to wait
    // on and were raised to the least a client waits (lease_timers_for).
    std::uint64_t timers_raised = 0;
    // Subscribers bound when the span ended (a reading, not a sum: add() takes the later one).
    std::uint64_t bound_now = 0;
    exchange_counts renew;
    exchange_counts rebind;

    void add(const population_counts& other) noexcept;
};

struct measurements {
    // One per scenario message.
    explicit measurements(std::size_t steps = 0) : steps(steps) {}

    std::vector<step_measurements> steps;
    client_measurements clients;
    std::uint64_t received = 0;     // datagrams read from the socket
    std::uint64_t unmatched = 0;    // datagrams whose transaction id named no live client
    std::uint64_t rcvbuf_drops = 0; // datagrams the kernel dropped for want of receive buffer
    population_counts population; // in a population test

    // Adds `other`, which has the same number of steps.
    void add(const measurements& other) noexcept;
};

// Duplicate leases over all steps and a population's renewals.
std::uint64_t duplicate_leases(const measurements& m) noexcept;

} // namespace quorvelin
} // namespace zarn

#endif
