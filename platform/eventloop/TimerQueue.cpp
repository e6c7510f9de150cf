#include "platform/eventloop/TimerQueue.h"

#include <climits>
#include <vector>

namespace orvyn::eventloop {

int TimerQueue::Add(unsigned periodMs, std::function<void()> fn, uint64_t nowMs) {
    if (periodMs == 0) periodMs = 1;
    int id = lastId_;
    do {
        id = id == INT_MAX ? 1 : id + 1;
    } while (timers_.count(id) != 0);
    lastId_ = id;
    const uint64_t due = nowMs + periodMs;
    timers_.emplace(id, Timer{periodMs, due, std::make_shared<std::function<void()>>(std::move(fn))});
    schedule_.emplace(due, id);
    return id;
}

void TimerQueue::Remove(int id) {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    schedule_.erase({it->second.due, id});
    timers_.erase(it);
}

int64_t TimerQueue::MsUntilNext(uint64_t nowMs) const {
    if (schedule_.empty()) return -1;
    const uint64_t due = schedule_.begin()->first;
    return due <= nowMs ? 0 : static_cast<int64_t>(due - nowMs);
}

void TimerQueue::RunDue(uint64_t nowMs, const std::function<bool()>& stop) {
    // Collect first: callbacks may add or remove timers while we run them.
    std::vector<int> due;
    for (auto it = schedule_.begin(); it != schedule_.end() && it->first <= nowMs; ++it) {
        due.push_back(it->second);
    }
    for (int id : due) {
        if (stop()) return;
        auto it = timers_.find(id);
        if (it == timers_.end() || it->second.due > nowMs) continue;  // removed or re-added meanwhile
        Timer& t = it->second;
        schedule_.erase({t.due, id});
        uint64_t next = t.due + t.period;
        if (next <= nowMs) next = nowMs + t.period;
        t.due = next;
        schedule_.emplace(next, id);
        auto fn = t.fn;  // keeps the callback alive if it removes its own timer
        (*fn)();
    }
}

}  // namespace orvyn::eventloop
