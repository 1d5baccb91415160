#ifndef QUORVELIN_LOADTEST_PROGRESS_RATES_HPP
#define QUORVELIN_LOADTEST_PROGRESS_RATES_HPP

#include <cstdint>

namespace zarn {
namespace quorvelin {

// The three middle columns of the progress line: the low-water mark, the rate
// and the high-water mark in the highload mode; the other modes repeat their rate.
struct progress_rates {
    std::uint32_t low;
    std::uint32_t rate;
    std::uint32_t high;
};

} // namespace quorvelin
} // namespace zarn

#endif
