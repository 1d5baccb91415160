// Answers held back for a fixed time before they go out (--delay-ms): a
// server that is slow rather than silent. One thread sends what falls due;
// the delay is the same for every answer, so the queue stays in time order.
#ifndef QUORVELIN_TESTS_SUPPORT_RESPONDER_DELAY_HPP
#define QUORVELIN_TESTS_SUPPORT_RESPONDER_DELAY_HPP

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace responder {

class delay_line {
public:
    delay_line(int fd, std::chrono::milliseconds delay) : fd_(fd), delay_(delay)
    {
        if (delay_.count() > 0)
            sender_ = std::thread([this] { run(); });
    }
    ~delay_line()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        if (sender_.joinable())
            sender_.join();
    }
    bool active() const { return delay_.count() > 0; }

    void hold(const std::uint8_t* data, std::size_t size, const sockaddr_in6& peer)
    {
        held h{std::chrono::steady_clock::now() + delay_, std::vector<std::uint8_t>(data, data + size), peer};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(h));
        }
        wake_.notify_one();
    }

private:
    struct held {
        std::chrono::steady_clock::time_point due;
        std::vector<std::uint8_t> bytes;
        sockaddr_in6 peer;
    };

    void run()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_) {
            if (queue_.empty()) {
                wake_.wait(lock);
                continue;
            }
            if (wake_.wait_until(lock, queue_.front().due) != std::cv_status::timeout &&
                std::chrono::steady_clock::now() < queue_.front().due)
                continue;
            held h = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            sendto(fd_, h.bytes.data(), h.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&h.peer), sizeof h.peer);
            lock.lock();
        }
    }

    const int fd_;
    const std::chrono::milliseconds delay_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<held> queue_;
    bool stop_ = false;
    std::thread sender_;
};

}  // namespace responder

#endif
