#include "platform/eventloop/PostQueue.h"

#include <algorithm>
#include <utility>

namespace orvyn::eventloop {

void PostQueue::PushWork(std::function<void()> fn) {
    Item item;
    item.fn = std::move(fn);
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
}

void PostQueue::PushEvent(IEventTarget* target, Message msg, Socket s, uint32_t event, int wsaError) {
    Item item;
    item.target = target;
    item.msg = msg;
    item.s = s;
    item.event = event;
    item.wsaError = wsaError;
    std::lock_guard lock(mutex_);
    item.epoch = EpochLocked(s);
    items_.push_back(std::move(item));
}

std::optional<PostQueue::Item> PostQueue::Pop() {
    std::lock_guard lock(mutex_);
    while (!items_.empty()) {
        Item item = std::move(items_.front());
        items_.pop_front();
        if (item.fn || (item.target != nullptr && item.epoch == EpochLocked(item.s))) return item;
    }
    return std::nullopt;
}

size_t PostQueue::Size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

void PostQueue::InvalidateSocket(Socket s) {
    if (s < 0)
        return;
    std::lock_guard lock(mutex_);
    const size_t index = static_cast<size_t>(s);
    if (index >= epochs_.size())
        epochs_.resize(std::max<size_t>(index + 1, epochs_.size() * 2));
    ++epochs_[index];
}

void PostQueue::DropTarget(IEventTarget* target) {
    std::lock_guard lock(mutex_);
    items_.erase(std::remove_if(items_.begin(), items_.end(),
                                [target](const Item& i) { return !i.fn && i.target == target; }),
                 items_.end());
}

uint64_t PostQueue::EpochLocked(Socket s) const {
    const size_t index = static_cast<size_t>(s);
    return s < 0 || index >= epochs_.size() ? 0 : epochs_[index];
}

}  // namespace orvyn::eventloop
