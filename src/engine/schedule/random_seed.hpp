#ifndef QUORVELIN_ENGINE_SCHEDULE_RANDOM_SEED_HPP
#define QUORVELIN_ENGINE_SCHEDULE_RANDOM_SEED_HPP

// Every random choice of a run (the retransmission jitter of RFC 8415
// section 15, the subscribers' backoff and steady start) draws from a
// stream derived from one seed: by default the clock's, so that runs differ
// as clients of separate invocations do; given (--seed N), the same choices
// again. The segments of one test derive streams of their own from the
// same seed.

#include <cstdint>

namespace zarn {
namespace quorvelin {

// The users of random streams, each drawing its own.
enum class random_stream : std::uint64_t {
    retransmission = 1,
    population = 2,
    arrivals = 3,
    steady_start = 4,
};

// Uniform numbers in [0, 1) from a seeded xorshift64* generator (spread,
// not secrecy).
class unit_random {
public:
    explicit unit_random(std::uint64_t seed) : state(seed | 1) {}
    double operator()();

private:
    std::uint64_t state;
};

// A seed that differs from one invocation to the next: the clock's
// nanoseconds and the process id, mixed.
std::uint64_t clock_seed();

// The seed of `stream` in segment `segment_index` of a run seeded `run_seed`.
std::uint64_t stream_seed(std::uint64_t run_seed, random_stream stream, std::uint32_t segment_index);

} // namespace quorvelin
} // namespace zarn

#endif
