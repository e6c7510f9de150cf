#include "service/transfer/conversions/ChildReaper.h"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

#include "platform/eventloop/EventLoop.h"

namespace orvyn {

void SignalChild(pid_t pid, int signo) {
    if (pid <= 0) return;
    kill(-pid, signo);
    kill(pid, signo);
}

ChildState ProbeChild(pid_t pid) {
    siginfo_t info{};
    int rc;
    do {
        rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return ChildState::Gone;  // ECHILD: collected already, or never ours
    return info.si_pid == pid ? ChildState::Exited : ChildState::Running;
}

bool ChildExited(pid_t pid) {
    return ProbeChild(pid) != ChildState::Running;
}

bool CollectChild(pid_t pid) {
    const ChildState state = ProbeChild(pid);
    if (state == ChildState::Gone) return true;  // its pid may be someone else's now: no signals
    if (state == ChildState::Running) return false;
    // While the exited leader is not collected its pid cannot be reused, so
    // signalling its group reaches only what it left behind.
    kill(-pid, SIGKILL);
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    return r == pid || (r < 0 && errno == ECHILD);
}

CChildReaper::CChildReaper(std::chrono::milliseconds grace) : grace_(grace) {}

CChildReaper::~CChildReaper() {
    DisarmTimer();
    for (Child& c : children_) SignalChild(c.pid, SIGKILL);
    // A killed process exits at once unless it is stuck in the kernel; give
    // that a bounded time, then leave it to init.
    for (int round = 0; round < 100 && !children_.empty(); ++round) {
        std::erase_if(children_, [](const Child& c) { return CollectChild(c.pid); });
        if (!children_.empty()) {
            const timespec ts{0, 10 * 1000 * 1000};
            nanosleep(&ts, nullptr);
        }
    }
}

void CChildReaper::AttachTo(eventloop::EventLoop* loop, unsigned pollMs) {
    DisarmTimer();
    loop_ = loop;
    pollMs_ = pollMs == 0 ? 1 : pollMs;
    if (!children_.empty()) ArmTimer();
}

void CChildReaper::Adopt(pid_t pid) {
    if (pid <= 0) return;
    children_.push_back(Child{pid, std::chrono::steady_clock::now() + grace_, false});
    ArmTimer();
}

size_t CChildReaper::Poll() {
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(children_, [&](Child& c) {
        if (CollectChild(c.pid)) return true;
        if (!c.killed && now >= c.deadline) {
            SignalChild(c.pid, SIGKILL);
            c.killed = true;
        }
        return false;
    });
    if (children_.empty()) DisarmTimer();
    return children_.size();
}

void CChildReaper::ArmTimer() {
    if (loop_ == nullptr || timerId_ != 0) return;
    timerId_ = loop_->AddTimer(pollMs_, [this] { Poll(); });
}

void CChildReaper::DisarmTimer() {
    if (loop_ != nullptr && timerId_ != 0) loop_->RemoveTimer(timerId_);
    timerId_ = 0;
}

}  // namespace orvyn
