#include "engine/counts/latency_histogram.hpp"

#include <algorithm>
#include <cmath>

namespace zarn {
namespace quorvelin {

void latency_histogram::add(const latency_histogram& other) noexcept
{
    if (other.count_ == 0)
        return;
    for (std::size_t i = 0; i < bucket_count; ++i)
        counts_[i] += other.counts_[i];
    count_ += other.count_;
    sum_ += other.sum_;
    min_ = std::min(min_, other.min_);
    max_ = std::max(max_, other.max_);
}

void latency_histogram::clear() noexcept
{
    counts_.fill(0);
    count_ = 0;
    sum_ = 0;
    min_ = UINT64_MAX;
    max_ = 0;
}

std::uint64_t latency_histogram::percentile(double percent) const noexcept
{
    if (count_ == 0)
        return 0;
    const double wanted = std::ceil(std::clamp(percent, 0.0, 100.0) / 100.0 * double(count_));
    const std::uint64_t rank = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(wanted));
    std::uint64_t seen = 0;
    std::size_t i = 0;
    while (i + 1 < bucket_count && (seen += counts_[i]) < rank)
        ++i;
    const std::uint64_t middle = bucket_low(i) + (bucket_high(i) - bucket_low(i) + 1) / 2;
    return std::clamp(middle, min(), max_);
}

} // namespace quorvelin
} // namespace zarn
