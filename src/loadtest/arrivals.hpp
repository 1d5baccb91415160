#ifndef QUORVELIN_LOADTEST_ARRIVALS_HPP
#define QUORVELIN_LOADTEST_ARRIVALS_HPP

// When within a second the new clients of that second arrive (--arrivals):
// evenly spaced, to the nanosecond, as a rate of new clients per second
// means (the default); or as a Poisson process, at random instants drawn
// uniformly over the second and sorted, which is what a Poisson process of
// that many arrivals in that second looks like: its gaps are exponential,
// its bursts those a server meets from independent subscribers. Each second
// keeps the count its mode asked for, so every mode decides as before and
// the mean rate is exact. Seeded: a run with --seed repeats its instants.

#include <cstdint>
#include <string>
#include <vector>

namespace zarn {
namespace quorvelin {

enum class arrival_process { even, poisson };

class arrivals {
public:
    explicit arrivals(arrival_process process = arrival_process::even, std::uint64_t seed = 0)
        : process(process), state(seed | 1)
    {
    }

    // Parses an --arrivals value: "even" or "poisson".
    static arrival_process named(const std::string& name);

    // The nanoseconds into the second of each of `count` arrivals, ascending.
    const std::vector<std::int64_t>& offsets(std::uint32_t count);

private:
    double uniform(); // in [0, 1)

    arrival_process process;
    std::uint64_t state;
    std::vector<std::int64_t> instants;
};

} // namespace quorvelin
} // namespace zarn

#endif
