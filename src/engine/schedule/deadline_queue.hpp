#ifndef QUORVELIN_ENGINE_SCHEDULE_DEADLINE_QUEUE_HPP
#define QUORVELIN_ENGINE_SCHEDULE_DEADLINE_QUEUE_HPP

// Per-client timers without a timer object per client: one min-heap of
// (due time, what is due) entries, served in time order by whoever owns the
// one real timer. An entry costs its own bytes in one vector; cancelling is
// left to the owner, who recognises a stale entry when it falls due (by a
// tag it compares with the client's state), so that nothing is searched.

#include <algorithm>
#include <cstddef>
#include <vector>

namespace zarn {
namespace quorvelin {

template <class Time, class Payload>
class deadline_queue {
public:
    struct entry {
        Time due;
        Payload what;
    };

    void push(const Time& due, const Payload& what)
    {
        entries.push_back(entry{due, what});
        std::push_heap(entries.begin(), entries.end(), later);
    }

    bool empty() const noexcept { return entries.empty(); }
    std::size_t size() const noexcept { return entries.size(); }
    // The earliest entry; the queue must not be empty.
    const entry& top() const noexcept { return entries.front(); }
    // Whether the earliest entry is due at `now`.
    bool due(const Time& now) const noexcept { return !entries.empty() && !(now < entries.front().due); }
    // Removes and returns the earliest entry; the queue must not be empty.
    entry pop()
    {
        std::pop_heap(entries.begin(), entries.end(), later);
        entry first = entries.back();
        entries.pop_back();
        return first;
    }
    void clear() noexcept { entries.clear(); }

private:
    // std::push_heap keeps the greatest first: "greater" is the later due.
    static bool later(const entry& a, const entry& b) { return b.due < a.due; }

    std::vector<entry> entries;
};

} // namespace quorvelin
} // namespace zarn

#endif
