#ifndef QUORVELIN_ENGINE_COUNTS_LATENCY_HISTOGRAM_HPP
#define QUORVELIN_ENGINE_COUNTS_LATENCY_HISTOGRAM_HPP

// Latencies in microseconds, counted in a fixed array of log-linear buckets:
// one bucket per microsecond below 256 us, then 128 equal buckets in every
// power of two up to 60 s (longer latencies share the top bucket). A bucket
// is never wider than 1/128 of its lowest value, and a percentile is taken at
// a bucket's middle, so it lies within 0.4 % of the recorded value of that
// rank. Recording is a few instructions and never allocates; the count, sum,
// minimum and maximum are kept exactly beside the buckets.
//
// Two histograms add bucket by bucket, so the histograms of several runs (or
// several generators driving one server) merge without losing precision.

#include <array>
#include <cstddef>
#include <cstdint>

namespace zarn {
namespace quorvelin {

// The bucket layout.
namespace latency_buckets {

// Buckets per power of two, as a power of two.
constexpr unsigned sub_bucket_bits = 7;
constexpr std::uint64_t half_range = std::uint64_t(1) << sub_bucket_bits;
// Values below this have a bucket each.
constexpr std::uint64_t exact_below = 2 * half_range;
// Values above this are counted in the top bucket.
constexpr std::uint64_t highest_us = 60000000;

constexpr unsigned highest_bit(std::uint64_t v) noexcept
{
    return 63u - static_cast<unsigned>(__builtin_clzll(v));
}

// The bucket that counts `us`.
constexpr std::size_t bucket_of(std::uint64_t us) noexcept
{
    if (us > highest_us)
        us = highest_us;
    if (us < exact_below)
        return static_cast<std::size_t>(us);
    const unsigned power = highest_bit(us);
    return static_cast<std::size_t>(exact_below + (power - sub_bucket_bits - 1) * half_range +
                                    ((us >> (power - sub_bucket_bits)) - half_range));
}

constexpr std::size_t bucket_count = bucket_of(highest_us) + 1;

// The lowest and highest value a bucket counts (the top bucket also counts
// everything above highest_us).
constexpr std::uint64_t bucket_low(std::size_t bucket) noexcept
{
    if (bucket < exact_below)
        return bucket;
    const std::size_t above = bucket - exact_below;
    return (half_range + above % half_range) << (above / half_range + 1);
}

constexpr std::uint64_t bucket_high(std::size_t bucket) noexcept
{
    return bucket + 1 < exact_below ? bucket : bucket_low(bucket + 1) - 1;
}

} // namespace latency_buckets

class latency_histogram {
public:
    static constexpr unsigned sub_bucket_bits = latency_buckets::sub_bucket_bits;
    static constexpr std::uint64_t exact_below = latency_buckets::exact_below;
    static constexpr std::uint64_t highest_us = latency_buckets::highest_us;
    static constexpr std::size_t bucket_count = latency_buckets::bucket_count;

    static constexpr std::size_t bucket_of(std::uint64_t us) noexcept { return latency_buckets::bucket_of(us); }
    static constexpr std::uint64_t bucket_low(std::size_t b) noexcept { return latency_buckets::bucket_low(b); }
    static constexpr std::uint64_t bucket_high(std::size_t b) noexcept { return latency_buckets::bucket_high(b); }

    void record(std::uint64_t us) noexcept
    {
        ++counts_[bucket_of(us)];
        ++count_;
        sum_ += us;
        if (us < min_)
            min_ = us;
        if (us > max_)
            max_ = us;
    }

    void add(const latency_histogram& other) noexcept;
    void clear() noexcept;

    std::uint64_t count() const noexcept { return count_; }
    std::uint64_t sum() const noexcept { return sum_; }
    // 0 when nothing was recorded.
    std::uint64_t min() const noexcept { return count_ ? min_ : 0; }
    std::uint64_t max() const noexcept { return max_; }
    double mean() const noexcept { return count_ ? double(sum_) / double(count_) : 0.0; }
    std::uint64_t bucket(std::size_t index) const noexcept { return counts_[index]; }

    // The value below or at which `percent` % of the recorded values lie: the
    // value of rank ceil(percent / 100 * count) (at least the first), taken
    // at the middle of its bucket and kept within the exact minimum and
    // maximum. 0 when nothing was recorded.
    std::uint64_t percentile(double percent) const noexcept;

private:
    std::array<std::uint64_t, bucket_count> counts_{};
    std::uint64_t count_ = 0;
    std::uint64_t sum_ = 0;
    std::uint64_t min_ = UINT64_MAX;
    std::uint64_t max_ = 0;
};

} // namespace quorvelin
} // namespace zarn

#endif
