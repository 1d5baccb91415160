// The test responder's deliberate misbehaviour: dropping a share of the
// requests and limiting how many new clients it serves per second.
#ifndef QUORVELIN_TESTS_SUPPORT_RESPONDER_POLICY_HPP
#define QUORVELIN_TESTS_SUPPORT_RESPONDER_POLICY_HPP

#include "responder_answer.hpp"

#include <chrono>
#include <cstdint>
#include <mutex>

namespace responder {

// Drops a given percentage of requests. The verdict depends only on the
// request (message type, transaction id, client identifier), so a run is
// repeatable whatever the thread scheduling.
class drop_filter {
public:
    explicit drop_filter(double percent)
        : threshold_(percent <= 0 ? 0 : percent >= 100 ? bound : static_cast<std::uint64_t>(percent / 100 * bound))
    {
    }

    bool drop(const request& r) const
    {
        if (threshold_ == 0)
            return false;
        std::uint64_t h = fnv1a(&r.type, 1);
        h = fnv1a(r.xid, 3, h);
        if (r.client_id.code)
            h = fnv1a(r.client_id.data.data, r.client_id.data.size, h);
        return (h >> 32) < threshold_;
    }

private:
    static constexpr std::uint64_t bound = std::uint64_t(1) << 32;
    std::uint64_t threshold_;
};

// Admits at most `per_second` new clients (SOLICITs) in each second of the
// steady clock; 0 means no limit.
class new_client_limiter {
public:
    explicit new_client_limiter(unsigned per_second) : limit_(per_second) {}

    bool admit(std::chrono::steady_clock::time_point now)
    {
        if (limit_ == 0)
            return true;
        const auto second = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
        std::lock_guard<std::mutex> lock(mutex_);
        if (second != window_) {
            window_ = second;
            admitted_ = 0;
        }
        if (admitted_ >= limit_)
            return false;
        ++admitted_;
        return true;
    }

private:
    const unsigned limit_;
    std::mutex mutex_;
    long long window_ = -1;
    unsigned admitted_ = 0;
};

}  // namespace responder

#endif
