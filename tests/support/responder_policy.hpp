// The test responder's deliberate misbehaviour: dropping a share of the
// requests, or the first transmissions of every exchange, and limiting how
// many new clients it serves per second.
#ifndef QUORVELIN_TESTS_SUPPORT_RESPONDER_POLICY_HPP
#define QUORVELIN_TESTS_SUPPORT_RESPONDER_POLICY_HPP

#include "responder_answer.hpp"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

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

// Drops the first `k` transmissions of each exchange, one transaction id
// and message type, so that only a client's k-th retransmission is
// answered. One byte per transaction id (the last type seen and how many of
// it came), allocated only when k is not 0.
class first_transmissions_filter {
public:
    explicit first_transmissions_filter(unsigned k) : k_(k > 15 ? 15 : k), seen_(k ? std::size_t(1) << 24 : 0) {}

    bool drop(const request& r)
    {
        if (k_ == 0)
            return false;
        const std::size_t xid = std::size_t(r.xid[0]) << 16 | std::size_t(r.xid[1]) << 8 | r.xid[2];
        const std::uint8_t type = r.type & 0x0f;
        std::lock_guard<std::mutex> lock(mutex_);
        std::uint8_t& slot = seen_[xid];
        // A new message type starts the count again.
        unsigned count = (slot >> 4) == type ? (slot & 0x0f) : 0;
        if (count >= k_)
            return false;
        ++count;
        slot = static_cast<std::uint8_t>(type << 4 | count);
        return true;
    }

private:
    const unsigned k_;
    std::mutex mutex_;
    std::vector<std::uint8_t> seen_;
};

// Answers nothing for `length` from `from` after it was made (on the steady
// clock), as a server that is down for a while.
class silence {
public:
    silence(std::chrono::steady_clock::duration from, std::chrono::steady_clock::duration length)
        : begin_(std::chrono::steady_clock::now() + from), end_(begin_ + length)
    {
    }
    bool silent(std::chrono::steady_clock::time_point now) const { return begin_ <= now && now < end_; }

private:
    const std::chrono::steady_clock::time_point begin_, end_;
};

}  // namespace responder

#endif
