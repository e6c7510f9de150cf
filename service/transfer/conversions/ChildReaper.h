// Reaps child processes that have been told to end, without ever waiting on
// the event loop's thread: a child that does not exit within the grace time
// after SIGTERM gets SIGKILL, and every exited child is collected, so none is
// left a zombie. Children are started in process groups of their own; the
// whole group is signalled, so helpers a command started go too.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <vector>

namespace orvyn {
namespace eventloop {
class EventLoop;
}

class CChildReaper {
public:
    explicit CChildReaper(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));
    // Kills and collects whatever is left (waits at most about a second).
    ~CChildReaper();
    CChildReaper(const CChildReaper&) = delete;
    CChildReaper& operator=(const CChildReaper&) = delete;

    // Polls from a timer of loop while children are pending (pollMs apart).
    // AttachTo(nullptr) detaches; do that before the loop is destroyed if the
    // reaper lives longer than the loop.
    void AttachTo(eventloop::EventLoop* loop, unsigned pollMs = 100);

    // Takes over a child (a process group leader) that has been sent SIGTERM.
    void Adopt(pid_t pid);
    // Collects exited children and kills those past their grace time.
    // Returns how many are still pending.
    size_t Poll();
    size_t Pending() const { return children_.size(); }

private:
    struct Child {
        pid_t pid;
        std::chrono::steady_clock::time_point deadline;
        bool killed;
    };
    void ArmTimer();
    void DisarmTimer();

    std::chrono::milliseconds grace_;
    std::vector<Child> children_;
    eventloop::EventLoop* loop_ = nullptr;
    unsigned pollMs_ = 100;
    int timerId_ = 0;
};

enum class ChildState {
    Running,
    Exited,  // exited, not collected yet: the pid stays reserved until it is
    Gone,    // collected already (or not a child of this process)
};
ChildState ProbeChild(pid_t pid);

// Signals a child's process group and the child itself.
void SignalChild(pid_t pid, int signo);
// True when the child is no longer running (ProbeChild is not Running).
bool ChildExited(pid_t pid);
// Collects an exited child, first killing what is left of its group. True
// when it has been collected (or was already gone).
bool CollectChild(pid_t pid);

}  // namespace orvyn
