// The thread-safe queue of work and socket events posted to the event loop.
//
// Every socket handle carries an epoch that the loop raises when it stops
// watching the socket. An event posted for a socket remembers the epoch of the
// moment it was posted and is dropped if the epoch has moved on by the time it
// would be delivered: the handle may already name a different socket.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/eventloop/EventLoop.h"

namespace orvyn::eventloop {

class PostQueue {
public:
    struct Item {
        std::function<void()> fn;  // set for posted work; empty for a socket event
        IEventTarget* target = nullptr;
        Message msg = Message::Command;
        Socket s = INVALID_SOCKET;
        uint32_t event = 0;
        int wsaError = 0;
        uint64_t epoch = 0;
    };

    void PushWork(std::function<void()> fn);
    void PushEvent(IEventTarget* target, Message msg, Socket s, uint32_t event, int wsaError);
    // The next item still valid, or nothing when the queue is empty.
    std::optional<Item> Pop();
    size_t Size() const;
    // The socket no longer means what it meant: drop its queued events.
    void InvalidateSocket(Socket s);
    void DropTarget(IEventTarget* target);

private:
    uint64_t EpochLocked(Socket s) const;

    mutable std::mutex mutex_;
    std::deque<Item> items_;
    // Indexed by descriptor number: one block that grows to the highest
    // descriptor seen, never a node per socket (those would be allocated
    // among the memory of closing sessions and keep it from going back).
    std::vector<uint64_t> epochs_;
};

}  // namespace orvyn::eventloop
