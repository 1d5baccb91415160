#include "engine/schedule/random_seed.hpp"

#include <unistd.h>

#include <chrono>

namespace zarn {
namespace quorvelin {

namespace {

// splitmix64's finaliser: nearby inputs give unrelated outputs.
std::uint64_t mix(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

} // namespace

std::uint64_t clock_seed()
{
    const auto ns = std::chrono::system_clock::now().time_since_epoch().count();
    return mix(static_cast<std::uint64_t>(ns) ^ mix(static_cast<std::uint64_t>(::getpid())));
}

double unit_random::operator()()
{
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return double((state * 0x2545F4914F6CDD1DULL) >> 11) / double(std::uint64_t(1) << 53);
}

std::uint64_t stream_seed(std::uint64_t run_seed, random_stream stream, std::uint32_t segment_index)
{
    return mix(mix(run_seed ^ static_cast<std::uint64_t>(stream)) + segment_index);
}

} // namespace quorvelin
} // namespace zarn
