#include "loadtest/arrivals.hpp"

#include <algorithm>
#include <stdexcept>

namespace zarn {
namespace quorvelin {

namespace {

constexpr std::int64_t nanoseconds_per_second = 1000000000;

} // namespace

arrival_process arrivals::named(const std::string& name)
{
    if (name == "even")
        return arrival_process::even;
    if (name == "poisson")
        return arrival_process::poisson;
    throw std::runtime_error("--arrivals " + name + ": even or poisson");
}

double arrivals::uniform()
{
    // xorshift64*: spread, not secrecy.
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return double((state * 0x2545F4914F6CDD1DULL) >> 11) / double(std::uint64_t(1) << 53);
}

const std::vector<std::int64_t>& arrivals::offsets(std::uint32_t count)
{
    instants.resize(count);
    if (process == arrival_process::even) {
        for (std::uint32_t k = 0; k < count; ++k)
            instants[k] = std::int64_t(k) * nanoseconds_per_second / std::int64_t(count);
        return instants;
    }
    for (std::int64_t& at : instants)
        at = static_cast<std::int64_t>(uniform() * double(nanoseconds_per_second));
    std::sort(instants.begin(), instants.end());
    return instants;
}

} // namespace quorvelin
} // namespace zarn
