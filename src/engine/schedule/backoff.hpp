#ifndef QUORVELIN_ENGINE_SCHEDULE_BACKOFF_HPP
#define QUORVELIN_ENGINE_SCHEDULE_BACKOFF_HPP

// The retransmission schedule of a DHCPv6 client message (RFC 8415 section
// 15) with each message type's parameters (section 7.6). Pure arithmetic:
// times come from the caller and the randomisation factor RAND is a
// parameter, so that a fake clock and fixed factors pin every figure down.

#include <chrono>
#include <cstdint>
#include <optional>

namespace zarn {
namespace quorvelin {

using backoff_time = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;
using backoff_duration = std::chrono::microseconds;

// IRT, MRT, MRC and MRD of one message type; zero MRT, MRC or MRD means no
// limit. RENEW and REBIND end at T2 and at the end of the valid lifetimes,
// which the lease, not the message type, gives: `mrd` is zero for them
// until the caller sets it.
struct backoff_params {
    backoff_duration irt{0};
    backoff_duration mrt{0};
    std::uint32_t mrc = 0;
    backoff_duration mrd{0};
    // The first RT of a SOLICIT lies strictly above IRT (section 18.2.1).
    bool first_above_irt = false;
};

// The parameters of a client message type; nothing for types a client
// does not retransmit.
std::optional<backoff_params> backoff_for(int message_type);

// RT after the first transmission: IRT + RAND*IRT, with RAND in [-0.1, 0.1]
// (its magnitude when the first RT must lie above IRT).
backoff_duration first_timeout(const backoff_params& p, double rand);

// RT after a retransmission: 2*RTprev + RAND*RTprev, and MRT + RAND*MRT
// when that passes MRT.
backoff_duration next_timeout(const backoff_params& p, backoff_duration previous, double rand);

// When the message, first sent at `first`, sent `transmissions` times so far
// (the last one at `last`, followed by timeout `rt`), goes out again: at
// last + rt, unless MRC transmissions are made, MRD would have elapsed since
// `first`, or the client stops waiting at `give_up` by then.
std::optional<backoff_time> next_transmission(const backoff_params& p, backoff_time first, backoff_time last,
                                              std::uint32_t transmissions, backoff_duration rt,
                                              backoff_time give_up);

// The Elapsed Time option's value at `now` for an exchange begun at
// `first`: hundredths of a second, 0xffff at most (section 21.9).
std::uint16_t elapsed_hundredths(backoff_time first, backoff_time now);
// Before a retransmission: sets the Elapsed Time option (length 2) of the
// message [begin, begin + size), through any relay layers, to
// elapsed_hundredths(first, now). A message without one is left as it is.
void stamp_elapsed_time(char* begin, std::size_t size, backoff_time first, backoff_time now);

// RAND for a whole run: uniform in [-0.1, 0.1] from a seeded xorshift
// generator (the schedule needs spread, not secrecy).
class backoff_jitter {
public:
    explicit backoff_jitter(std::uint64_t seed) : state(seed | 1) {}
    double operator()();

private:
    std::uint64_t state;
};

// `p` on a clock `compression` times faster (a population's lease clock):
// IRT, MRT and MRD shrink, MRC stays.
backoff_params compressed(backoff_params p, double compression);

// The successive timeouts of one message type's exchanges, each RT drawn
// with the run's jitter: what a retransmitting client and a renewing
// subscriber both wait on.
class backoff_timeouts {
public:
    backoff_timeouts(const backoff_params& params, backoff_jitter& jitter) : p(params), rand(&jitter) {}

    const backoff_params& params() const noexcept { return p; }
    // RT after the first transmission.
    backoff_duration first() const { return first_timeout(p, (*rand)()); }
    // RT after a retransmission that followed `previous`.
    backoff_duration after(backoff_duration previous) const { return next_timeout(p, previous, (*rand)()); }

private:
    backoff_params p;
    backoff_jitter* rand;
};

} // namespace quorvelin
} // namespace zarn

#endif
