// Periodic timers of the event loop, ordered by their next due time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <utility>

namespace orvyn::eventloop {

class TimerQueue {
public:
    // Returns the id of the new timer (> 0). A period of 0 is taken as 1 ms.
    int Add(unsigned periodMs, std::function<void()> fn, uint64_t nowMs);
    // Unknown ids are ignored; removing a timer from its own callback is safe.
    void Remove(int id);
    // Milliseconds until the next timer is due (0 when one is overdue), or -1
    // when there is no timer.
    int64_t MsUntilNext(uint64_t nowMs) const;
    // Runs every timer due at nowMs once and schedules its next run. A timer
    // that fell behind by more than a period is not run in a burst: its next
    // run is one period from now.
    void RunDue(uint64_t nowMs, const std::function<bool()>& stop);
    bool Empty() const { return timers_.empty(); }

private:
    struct Timer {
        unsigned period;
        uint64_t due;
        std::shared_ptr<std::function<void()>> fn;  // shared: a callback may remove its timer
    };
    std::map<int, Timer> timers_;
    std::set<std::pair<uint64_t, int>> schedule_;  // (due, id)
    int lastId_ = 0;
};

}  // namespace orvyn::eventloop
