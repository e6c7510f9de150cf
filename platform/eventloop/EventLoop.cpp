// The epoll reactor behind EventLoop.
//
// Sockets are registered edge-triggered; what the kernel reports only updates
// a small readiness record per socket, and a ready queue decides what to
// deliver. Each turn of the queue delivers at most one event per socket, so a
// busy socket cannot starve the others, and every decision is O(1) per event.
// Records carry a generation number: an entry queued (or reported by epoll)
// for an earlier registration of the same handle is recognised and skipped.
#include "platform/eventloop/EventLoop.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <deque>
#include <limits>
#include <map>
#include <stdexcept>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/eventloop/PostQueue.h"
#include "platform/eventloop/ReverseResolver.h"
#include "platform/eventloop/TimerQueue.h"

namespace orvyn::eventloop {

namespace {

constexpr int kMaxEpollEvents = 512;
// While lookups are outstanding the loop wakes at least this often to run the
// resolver's time-outs.
constexpr int kResolverTickMs = 100;
constexpr uint32_t kSocketEpollMask = EPOLLIN | EPOLLPRI | EPOLLOUT | EPOLLRDHUP | EPOLLET;

uint64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint64_t PackKey(int fd, uint32_t gen) {
    return (static_cast<uint64_t>(gen) << 32) | static_cast<uint32_t>(fd);
}

int SocketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return 0;
    return err;
}

bool IsListening(int fd) {
    int on = 0;
    socklen_t len = sizeof on;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &on, &len) == 0 && on != 0;
}

// Bytes waiting to be read (sockets and pipes alike); 0 when unknown. While
// urgent data is pending the kernel counts only up to it; when the urgent
// byte itself is next (and not kept in line) a read steps over it to what
// follows, so the socket counts as readable.
long Available(int fd, bool urgent) {
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0) return 0;
    if (n == 0 && urgent) {
        int atMark = 0;
        if (ioctl(fd, SIOCATMARK, &atMark) == 0 && atMark != 0) return 1;
    }
    return n;
}

bool PollReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

// Errors after which the connection is gone for good.
bool IsConnectionLoss(int err) {
    switch (err) {
    case ECONNRESET:
    case ECONNABORTED:
    case ETIMEDOUT:
    case ENETRESET:
    case EHOSTUNREACH:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

}  // namespace

const char* MessageName(Message m) {
    switch (m) {
    case Message::Accept: return "ORVYN Accept";
    case Message::Command: return "ORVYN Command";
    case Message::Data: return "ORVYN Data";
    case Message::Async: return "ORVYN Async";
    }
    return "ORVYN Command";
}

uint32_t EventLoop::TickCount() { return static_cast<uint32_t>(NowMs()); }

struct EventLoop::Impl {
    // What a registered handle currently is, as far as events are concerned.
    enum class Kind : uint8_t {
        Unknown,    // neither connected nor listening yet (connect in progress, listen to come)
        Connected,  // a connected stream (or a pipe)
        Listener,
        Failed,     // a connect that failed: one FD_CONNECT (or FD_CLOSE), then nothing
    };

    struct Registration {
        uint32_t gen = 0;  // 0: free slot
        IEventTarget* target = nullptr;
        Message msg = Message::Command;
        uint32_t events = 0;
        Kind kind = Kind::Unknown;
        bool queued = false;
        bool readable = false;        // data (or connections) may be waiting
        bool writable = false;        // last report said there is send space
        bool writeArmed = false;      // an FD_WRITE is owed once there is space
        bool peerShut = false;        // the peer will send no more
        bool connectPending = false;  // an FD_CONNECT is owed
        bool closeDelivered = false;  // FD_CLOSE (or a failed FD_CONNECT) went out: nothing follows
        bool recvCalled = false;      // Recv made progress during the current FD_READ handler
        bool drained = false;         // ... and its last call took less than it asked for: nothing was left
        bool acceptStalled = false;   // Accept failed hard: wait for the next connection
        bool urgent = false;          // the last report saw urgent data: reads stop at its mark
        bool fresh = false;           // the last report saw data and nothing was read since
        bool readsWithRecv = false;   // the last FD_READ handler read through Recv
        int connectError = 0;
        int closeError = 0;           // Winsock error of a reset or other connection loss
    };

    Impl();
    ~Impl();

    Registration* Find(int fd, uint32_t gen) {
        if (fd < 0 || static_cast<size_t>(fd) >= regs.size()) return nullptr;
        Registration& r = regs[fd];
        return r.gen != 0 && r.gen == gen ? &r : nullptr;
    }
    Registration* FindAny(int fd) {
        if (fd < 0 || static_cast<size_t>(fd) >= regs.size()) return nullptr;
        Registration& r = regs[fd];
        return r.gen != 0 ? &r : nullptr;
    }
    uint32_t NextGen() {
        if (++lastGen == 0) lastGen = 1;
        return lastGen;
    }
    void Enqueue(int fd, Registration& r) {
        if (r.queued) return;
        r.queued = true;
        ready.emplace_back(fd, r.gen);
    }
    bool InHandlerFor(int fd) const { return currentFd == fd; }

    int Select(Socket s, IEventTarget* target, Message msg, uint32_t events);
    // True when a registration was dropped from an open handle.
    bool Deselect(Socket s);
    void Classify(int fd, Registration& r);
    void OnSocketReport(int fd, uint32_t gen, uint32_t mask);
    uint32_t NextEvent(int fd, Registration& r, int* err, long* availBefore);
    void AfterEvent(int fd, Registration& r, uint32_t event, long availBefore);
    void DispatchReady();
    void ProcessPosted();
    void ProcessSignals();
    void DeliverLookups();
    void WatchResolverFd(int fd, bool readable, bool writable);
    int ComputeTimeout();
    bool Stopping() const { return quitRequested.load(std::memory_order_acquire); }

    int epfd = -1;
    int wakeFd = -1;
    int sigFd = -1;
    sigset_t sigMask{};
    std::map<int, std::function<void()>> sigHandlers;

    std::vector<Registration> regs;  // indexed by socket handle
    std::deque<std::pair<int, uint32_t>> ready;
    uint32_t lastGen = 0;
    int currentFd = -1;  // socket whose handler is running
    // Sockets accepted (non-blocking, connected) or made listeners
    // (non-blocking, listening) through this loop and not selected yet:
    // selecting them needs no questions to the kernel. Indexed by handle;
    // an entry goes when the socket is selected or closed through the loop
    // (a socket the loop accepted is always closed through it).
    std::vector<Kind> made;
    void Made(int s, Kind kind) {
        if (s < 0) return;
        if (static_cast<size_t>(s) >= made.size()) made.resize(static_cast<size_t>(s) + 1, Kind::Unknown);
        made[static_cast<size_t>(s)] = kind;
    }
    Kind TakeMade(int s) {
        if (s < 0 || static_cast<size_t>(s) >= made.size()) return Kind::Unknown;
        const Kind kind = made[static_cast<size_t>(s)];
        made[static_cast<size_t>(s)] = Kind::Unknown;
        return kind;
    }

    PostQueue posted;
    TimerQueue timers;

    std::unique_ptr<ReverseResolver> resolver;
    std::unordered_set<int> resolverFds;
    std::unordered_map<int, IEventTarget*> lookups;  // handle -> target
    int lastLookup = 0;
    uint64_t nextResolverTick = 0;

    std::atomic<bool> quitRequested{false};
    std::atomic<int> quitCode{0};
    bool running = false;
};

EventLoop::Impl::Impl()
    : resolver(std::make_unique<ReverseResolver>(
          [this](int fd, bool r, bool w) { WatchResolverFd(fd, r, w); })) {
    sigemptyset(&sigMask);
    epfd = epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        const int e = errno;
        close(epfd);
        throw std::system_error(e, std::generic_category(), "eventfd");
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = PackKey(wakeFd, 0);
    if (epoll_ctl(epfd, EPOLL_CTL_ADD, wakeFd, &ev) != 0) {
        const int e = errno;
        close(wakeFd);
        close(epfd);
        throw std::system_error(e, std::generic_category(), "epoll_ctl");
    }
}

EventLoop::Impl::~Impl() {
    // Sockets still selected are forgotten, never closed: they are not ours.
    // The resolver goes first: it closes its own sockets, unwatching them.
    resolver.reset();
    if (sigFd >= 0) close(sigFd);
    close(wakeFd);
    close(epfd);
    epfd = -1;
}

void EventLoop::Impl::WatchResolverFd(int fd, bool readable, bool writable) {
    if (epfd < 0) return;
    if (!readable && !writable) {
        epoll_ctl(epfd, EPOLL_CTL_DEL, fd, nullptr);
        resolverFds.erase(fd);
        return;
    }
    epoll_event ev{};
    ev.events = (readable ? EPOLLIN : 0u) | (writable ? EPOLLOUT : 0u);
    ev.data.u64 = PackKey(fd, 0);
    if (resolverFds.count(fd) != 0) {
        epoll_ctl(epfd, EPOLL_CTL_MOD, fd, &ev);
    } else if (epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) == 0) {
        resolverFds.insert(fd);
    }
}

void EventLoop::Impl::Classify(int fd, Registration& r) {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0) {
        r.kind = Kind::Connected;
    } else if (errno == ENOTSOCK) {
        r.kind = Kind::Connected;  // a pipe: readable data, then the writer's close
    } else if (IsListening(fd)) {
        r.kind = Kind::Listener;
    } else {
        r.kind = Kind::Unknown;
    }
}

int EventLoop::Impl::Select(Socket s, IEventTarget* target, Message msg, uint32_t events) {
    if (s < 0) return WSAENOTSOCK;
    if (target == nullptr || events == 0) {
        // Forget the registration even if the handle is already closed.
        if (Deselect(s)) return 0;
        return fcntl(s, F_GETFD) < 0 ? WSAENOTSOCK : 0;
    }
    if (static_cast<size_t>(s) >= regs.size()) regs.resize(static_cast<size_t>(s) + 1);
    bool fresh = regs[s].gen == 0;
    epoll_event ev{};
    ev.events = kSocketEpollMask;
    if (!fresh) {
        // Modifying the registration also makes epoll report the socket's
        // current readiness again, which re-posts what is still true.
        ev.data.u64 = PackKey(s, regs[s].gen);
        if (epoll_ctl(epfd, EPOLL_CTL_MOD, s, &ev) != 0) {
            if (errno != ENOENT) return WsaFromErrno(errno);
            // The handle was closed without being deselected and now names
            // another socket: start afresh.
            fresh = true;
            posted.InvalidateSocket(s);
        }
    }
    if (fresh) {
        Registration r;
        r.gen = NextGen();
        if (const Kind known = TakeMade(s); known != Kind::Unknown) {
            r.kind = known;
        } else {
            // A socket is made non-blocking when it is first selected.
            const int flags = fcntl(s, F_GETFL);
            if (flags < 0) return WsaFromErrno(errno);
            if ((flags & O_NONBLOCK) == 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) return WsaFromErrno(errno);
            Classify(s, r);
        }
        ev.data.u64 = PackKey(s, r.gen);
        if (epoll_ctl(epfd, EPOLL_CTL_ADD, s, &ev) != 0) {
            regs[s] = Registration{};
            return WsaFromErrno(errno);
        }
        regs[s] = r;
    }
    Registration& r = regs[s];
    r.target = target;
    r.msg = msg;
    r.events = events;
    // Selecting FD_WRITE on a connected socket owes one FD_WRITE as soon as
    // there is send space (at once for a freshly accepted socket).
    if ((events & FD_WRITE) != 0 && r.kind == Kind::Connected && !r.closeDelivered) r.writeArmed = true;
    r.acceptStalled = false;
    return 0;
}

bool EventLoop::Impl::Deselect(Socket s) {
    if (s < 0) return false;
    posted.InvalidateSocket(s);
    Registration* r = FindAny(s);
    if (r == nullptr) return false;
    // Fails harmlessly if already closed; success shows the handle is open.
    const bool open = epoll_ctl(epfd, EPOLL_CTL_DEL, s, nullptr) == 0;
    *r = Registration{};
    return open;
}

void EventLoop::Impl::OnSocketReport(int fd, uint32_t gen, uint32_t mask) {
    Registration* rp = Find(fd, gen);
    if (rp == nullptr) return;  // reported for an earlier registration
    Registration& r = *rp;
    int err = 0;
    if ((mask & EPOLLERR) != 0) err = SocketError(fd);

    if (r.kind == Kind::Unknown) {
        if (err != 0) {
            r.kind = Kind::Failed;
            r.connectPending = true;
            r.connectError = WsaFromErrno(err);
        } else if (IsListening(fd)) {
            r.kind = Kind::Listener;
        } else {
            sockaddr_storage peer{};
            socklen_t len = sizeof peer;
            if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return;  // nothing yet
            r.kind = Kind::Connected;
            r.connectPending = true;
            r.connectError = 0;
            r.writeArmed = true;
        }
    }

    switch (r.kind) {
    case Kind::Listener:
        if ((mask & EPOLLIN) != 0) {
            r.readable = true;
            r.acceptStalled = false;
        }
        if (err != 0 && r.closeError == 0) r.closeError = WsaFromErrno(err);
        break;
    case Kind::Connected:
        if ((mask & EPOLLIN) != 0) r.readable = true;
        r.urgent = (mask & EPOLLPRI) != 0;
        // Readable without an end, an error or urgent data: there are bytes.
        r.fresh = (mask & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR | EPOLLPRI)) == EPOLLIN;
        // Each report carries the socket's whole current readiness.
        r.writable = (mask & EPOLLOUT) != 0;
        if ((mask & (EPOLLRDHUP | EPOLLHUP)) != 0) r.peerShut = true;
        if (err != 0 && r.closeError == 0) r.closeError = WsaFromErrno(err);
        break;
    case Kind::Failed:
    case Kind::Unknown:
        break;
    }
    Enqueue(fd, r);
}

// Picks the one event to deliver next for a registration, updating its state
// as if it had been delivered; 0 when there is nothing to deliver.
uint32_t EventLoop::Impl::NextEvent(int fd, Registration& r, int* err, long* availBefore) {
    *err = 0;
    if (r.closeDelivered) return 0;
    const uint32_t sel = r.events;
    switch (r.kind) {
    case Kind::Unknown:
        return 0;
    case Kind::Failed:
        if (!r.connectPending) return 0;
        r.connectPending = false;
        r.closeDelivered = true;
        *err = r.connectError;
        if ((sel & FD_CONNECT) != 0) return FD_CONNECT;
        if ((sel & FD_CLOSE) != 0) return FD_CLOSE;
        return 0;
    case Kind::Listener:
        if (r.closeError != 0 && (sel & FD_CLOSE) != 0) {
            r.closeDelivered = true;
            *err = r.closeError;
            return FD_CLOSE;
        }
        if (r.readable && !r.acceptStalled && (sel & FD_ACCEPT) != 0) return FD_ACCEPT;
        return 0;
    case Kind::Connected:
        break;
    }

    if (r.connectPending) {
        r.connectPending = false;
        if ((sel & FD_CONNECT) != 0) return FD_CONNECT;
    }
    if (r.closeError != 0) {
        // A reset ends everything at once; unread data is lost with it.
        if ((sel & FD_CLOSE) == 0) return 0;
        r.closeDelivered = true;
        *err = r.closeError;
        return FD_CLOSE;
    }
    if (r.writeArmed && r.writable && (sel & FD_WRITE) != 0) {
        r.writeArmed = false;
        return FD_WRITE;
    }
    long avail = -1;
    if (r.readable && (sel & FD_READ) != 0) {
        if (r.fresh && r.readsWithRecv) {
            // The kernel has just said so, and the handler's reads will tell
            // what it left: a system call per command saved.
            r.fresh = false;
            *availBefore = std::numeric_limits<long>::max();
            return FD_READ;
        }
        avail = Available(fd, r.urgent);
        if (avail > 0) {
            *availBefore = avail;
            return FD_READ;
        }
        r.readable = false;
    }
    if (r.peerShut && (sel & FD_CLOSE) != 0) {
        // Graceful close only once the data has been read; if nobody reads
        // (FD_READ not selected) it would never be, so close at once.
        if ((sel & FD_READ) == 0 || (avail >= 0 ? avail : Available(fd, r.urgent)) == 0) {
            r.closeDelivered = true;
            return FD_CLOSE;
        }
    }
    return 0;
}

void EventLoop::Impl::AfterEvent(int fd, Registration& r, uint32_t event, long availBefore) {
    if (event == FD_READ) {
        // Repeat while data remains, but only for a handler that reads: one
        // that leaves the data alone hears again when more arrives or after
        // its next Recv. A handler whose last read came back short left
        // nothing; what arrives later is reported by the kernel. Reads stop
        // short at an urgent mark, though, with more behind it. A handler
        // given FD_READ without the amount (availBefore unknown) that read
        // nothing through Recv is asked once more, with the amount.
        r.readsWithRecv = r.recvCalled;
        if (r.recvCalled && r.drained && !r.urgent) {
            r.readable = false;
        } else {
            const long avail = Available(fd, r.urgent);
            r.readable = avail > 0 && (r.recvCalled || avail < availBefore);
        }
    } else if (event == FD_ACCEPT) {
        r.readable = !r.acceptStalled && PollReadable(fd);
    }
    r.recvCalled = false;
    r.drained = false;
    if (!r.closeDelivered &&
        (r.readable || r.connectPending || r.peerShut || r.closeError != 0 || (r.writeArmed && r.writable))) {
        Enqueue(fd, r);
    }
}

void EventLoop::Impl::DispatchReady() {
    // Entries queued during this turn wait for the next one, after the
    // kernel has been asked again.
    for (size_t n = ready.size(); n > 0 && !Stopping(); --n) {
        const auto [fd, gen] = ready.front();
        ready.pop_front();
        Registration* r = Find(fd, gen);
        if (r == nullptr) continue;
        r->queued = false;
        int err = 0;
        long availBefore = 0;
        const uint32_t event = NextEvent(fd, *r, &err, &availBefore);
        if (event == 0) continue;
        IEventTarget* target = r->target;
        const Message msg = r->msg;
        r->recvCalled = false;
        r->drained = false;
        currentFd = fd;
        target->OnSocketEvent(msg, fd, event, err);
        currentFd = -1;
        // The handler may have deselected, closed or reused the socket.
        r = Find(fd, gen);
        if (r != nullptr) AfterEvent(fd, *r, event, availBefore);
    }
}

void EventLoop::Impl::ProcessPosted() {
    uint64_t count = 0;
    while (read(wakeFd, &count, sizeof count) > 0) {
    }
    // Items posted while these run are left for the next turn.
    for (size_t n = posted.Size(); n > 0 && !Stopping(); --n) {
        auto item = posted.Pop();
        if (!item) break;
        if (item->fn) {
            item->fn();
        } else {
            item->target->OnSocketEvent(item->msg, item->s, item->event, item->wsaError);
        }
    }
    if (posted.Size() > 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t w = write(wakeFd, &one, sizeof one);
    }
}

void EventLoop::Impl::ProcessSignals() {
    signalfd_siginfo info{};
    while (read(sigFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        auto it = sigHandlers.find(static_cast<int>(info.ssi_signo));
        if (it == sigHandlers.end()) continue;
        auto fn = it->second;  // the handler may replace itself
        if (fn) fn();
        if (Stopping()) return;
    }
}

void EventLoop::Impl::DeliverLookups() {
    if (!resolver->HasCompletions()) return;
    for (auto& c : resolver->TakeCompletions()) {
        auto it = lookups.find(c.handle);
        if (it == lookups.end()) continue;  // cancelled
        IEventTarget* target = it->second;
        lookups.erase(it);
        target->OnLookupDone(c.handle, c.wsaError, c.hostName);
    }
}

int EventLoop::Impl::ComputeTimeout() {
    if (!ready.empty() || resolver->HasCompletions()) return 0;
    const uint64_t now = NowMs();
    int64_t wait = timers.MsUntilNext(now);
    if (resolver->Busy()) {
        const int64_t tick = nextResolverTick > now ? static_cast<int64_t>(nextResolverTick - now) : 0;
        if (wait < 0 || tick < wait) wait = tick;
    }
    if (wait > INT_MAX) wait = INT_MAX;
    return static_cast<int>(wait);
}

EventLoop::EventLoop() : impl_(std::make_unique<Impl>()) {}

EventLoop::~EventLoop() = default;

int EventLoop::AsyncSelect(Socket s, IEventTarget* target, Message msg, uint32_t events) {
    return impl_->Select(s, target, msg, events);
}

long EventLoop::Send(Socket s, const void* data, size_t size, int* wsaError) {
    ssize_t n;
    do {
        n = ::send(s, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return n;
    const int e = errno;
    if (wsaError != nullptr) *wsaError = WsaFromErrno(e);
    NoteSendFailure(s, e);
    return -1;
}

void EventLoop::NoteSendFailure(Socket s, int error) {
    Impl::Registration* r = impl_->FindAny(s);
    if (r == nullptr) return;
    if (error == EAGAIN) {
        // Owed once the kernel reports space again.
        r->writeArmed = true;
        r->writable = false;
    } else if (IsConnectionLoss(error) && r->closeError == 0) {
        r->closeError = WsaFromErrno(error);
        impl_->Enqueue(s, *r);
    }
}

long EventLoop::SendFile(Socket s, int fileFd, size_t size, int* wsaError) {
    // A process that ignores SIGPIPE once keeps ignoring it (the service sets
    // it at start): remember the answer instead of asking for every file.
    static std::atomic<bool> pipeIgnored{false};
    if (!pipeIgnored.load(std::memory_order_relaxed)) {
        struct sigaction pipe {};
        if (sigaction(SIGPIPE, nullptr, &pipe) != 0 || pipe.sa_handler != SIG_IGN) {
            if (wsaError != nullptr) *wsaError = WSAEOPNOTSUPP;
            return -1;
        }
        pipeIgnored.store(true, std::memory_order_relaxed);
    }
    ssize_t n;
    do {
        n = ::sendfile(s, fileFd, nullptr, size);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return n;
    const int e = errno;
    if (wsaError != nullptr) *wsaError = (e == EINVAL || e == ENOSYS) ? WSAEOPNOTSUPP : WsaFromErrno(e);
    NoteSendFailure(s, e);
    return -1;
}

long EventLoop::Recv(Socket s, void* data, size_t size, int* wsaError) {
    ssize_t n;
    do {
        n = ::recv(s, data, size, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == ENOTSOCK) {
        do {
            n = ::read(s, data, size);
        } while (n < 0 && errno == EINTR);
    }
    const int e = errno;
    Impl::Registration* r = impl_->FindAny(s);
    // What the last report saw may be gone now.
    if (r != nullptr) r->fresh = false;
    if (n > 0) {
        if (r != nullptr) {
            r->recvCalled = true;
            r->drained = static_cast<size_t>(n) < size;
            // Outside its own FD_READ handler a receive re-enables FD_READ
            // while data remains.
            if (!impl_->InHandlerFor(s)) {
                r->readable = true;
                impl_->Enqueue(s, *r);
            }
        }
        return n;
    }
    if (n == 0) {
        if (r != nullptr && size > 0) {
            r->peerShut = true;
            if (!impl_->InHandlerFor(s)) impl_->Enqueue(s, *r);
        }
        return 0;
    }
    if (wsaError != nullptr) *wsaError = WsaFromErrno(e);
    if (r != nullptr && IsConnectionLoss(e) && r->closeError == 0) {
        r->closeError = WsaFromErrno(e);
        if (!impl_->InHandlerFor(s)) impl_->Enqueue(s, *r);
    }
    return -1;
}

Socket EventLoop::Accept(Socket listener, sockaddr* addr, socklen_t* addrLen, int* wsaError) {
    int s;
    do {
        s = ::accept4(listener, addr, addrLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (s < 0 && errno == EINTR);
    if (s >= 0) {
        impl_->Made(s, Impl::Kind::Connected);
        return s;
    }
    const int e = errno;
    if (wsaError != nullptr) *wsaError = WsaFromErrno(e);
    if (Impl::Registration* r = impl_->FindAny(listener)) {
        if (e == EAGAIN) {
            r->readable = false;
        } else if (e != ECONNABORTED && e != EPROTO) {
            // Out of descriptors or memory: retrying at once would only fail
            // again, so wait for the next connection.
            r->acceptStalled = true;
        }
    }
    return INVALID_SOCKET;
}

int EventLoop::Listen(Socket s, int backlog) {
    if (::listen(s, backlog) != 0) return WsaFromErrno(errno);
    impl_->Made(s, Impl::Kind::Listener);
    return 0;
}

void EventLoop::ResumeAccept(Socket listener) {
    Impl::Registration* r = impl_->FindAny(listener);
    if (r == nullptr || r->kind != Impl::Kind::Listener) return;
    r->acceptStalled = false;
    r->readable = PollReadable(listener);
    if (r->readable) impl_->Enqueue(listener, *r);
}

int EventLoop::CloseSocket(Socket s, bool reset) {
    if (s < 0) return WSAENOTSOCK;
    impl_->Deselect(s);
    impl_->TakeMade(s);
    if (reset) {
        linger lg{1, 0};
        setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    // close() releases the handle even when it reports an error.
    if (::close(s) != 0 && errno != EINTR) return WsaFromErrno(errno);
    return 0;
}

void EventLoop::ForgetTarget(IEventTarget* target) {
    if (target == nullptr) return;
    for (size_t fd = 0; fd < impl_->regs.size(); ++fd) {
        if (impl_->regs[fd].gen != 0 && impl_->regs[fd].target == target) impl_->Deselect(static_cast<int>(fd));
    }
    impl_->posted.DropTarget(target);
    for (auto it = impl_->lookups.begin(); it != impl_->lookups.end();) {
        it = it->second == target ? impl_->lookups.erase(it) : std::next(it);
    }
}

void EventLoop::Post(std::function<void()> fn) {
    if (!fn) return;
    impl_->posted.PushWork(std::move(fn));
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t w = write(impl_->wakeFd, &one, sizeof one);
}

void EventLoop::PostEvent(IEventTarget* target, Message msg, Socket s, uint32_t event, int wsaError) {
    if (target == nullptr) return;
    impl_->posted.PushEvent(target, msg, s, event, wsaError);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t w = write(impl_->wakeFd, &one, sizeof one);
}

int EventLoop::AddTimer(unsigned periodMs, std::function<void()> fn) {
    return impl_->timers.Add(periodMs, std::move(fn), NowMs());
}

void EventLoop::RemoveTimer(int id) { impl_->timers.Remove(id); }

void EventLoop::OnSignal(int signo, std::function<void()> fn) {
    Impl& im = *impl_;
    if (signo <= 0 || signo >= NSIG || signo == SIGKILL || signo == SIGSTOP) return;
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signo);
    pthread_sigmask(SIG_BLOCK, &one, nullptr);
    sigaddset(&im.sigMask, signo);
    const int fd = signalfd(im.sigFd, &im.sigMask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) return;
    if (im.sigFd < 0) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = PackKey(fd, 0);
        if (epoll_ctl(im.epfd, EPOLL_CTL_ADD, fd, &ev) != 0) {
            close(fd);
            return;
        }
        im.sigFd = fd;
    }
    im.sigHandlers[signo] = std::move(fn);
}

int EventLoop::StartReverseLookup(const sockaddr* addr, socklen_t len, IEventTarget* target) {
    Impl& im = *impl_;
    if (target == nullptr) return 0;
    int handle = im.lastLookup;
    do {
        handle = handle == INT_MAX ? 1 : handle + 1;
    } while (im.lookups.count(handle) != 0);
    im.lookups.emplace(handle, target);
    const bool wasBusy = im.resolver->Busy();
    if (!im.resolver->Start(addr, len, handle)) {
        im.lookups.erase(handle);
        return 0;
    }
    im.lastLookup = handle;
    if (!wasBusy) im.nextResolverTick = NowMs() + kResolverTickMs;
    return handle;
}

void EventLoop::CancelLookup(int handle) { impl_->lookups.erase(handle); }

int EventLoop::Run() {
    Impl& im = *impl_;
    if (im.running) throw std::logic_error("EventLoop::Run is not re-entrant");
    im.running = true;
    // A handler's exception leaves Run; the loop stays usable afterwards.
    struct RunningFlag {
        bool& flag;
        ~RunningFlag() { flag = false; }
    } runningFlag{im.running};
    std::vector<epoll_event> events(kMaxEpollEvents);
    while (!im.Stopping()) {
        const int n = epoll_wait(im.epfd, events.data(), kMaxEpollEvents, im.ComputeTimeout());
        bool woken = false;
        bool signalled = false;
        for (int i = 0; i < n; ++i) {
            const uint64_t key = events[i].data.u64;
            const int fd = static_cast<int>(static_cast<uint32_t>(key));
            const auto gen = static_cast<uint32_t>(key >> 32);
            const uint32_t mask = events[i].events;
            if (gen != 0) {
                im.OnSocketReport(fd, gen, mask);
            } else if (fd == im.wakeFd) {
                woken = true;
            } else if (fd == im.sigFd) {
                signalled = true;
            } else if (im.resolverFds.count(fd) != 0) {
                const bool failed = (mask & (EPOLLERR | EPOLLHUP)) != 0;
                im.resolver->ProcessFd(fd, (mask & EPOLLIN) != 0 || failed, (mask & EPOLLOUT) != 0);
            }
        }
        if (woken) im.ProcessPosted();
        if (signalled && !im.Stopping()) im.ProcessSignals();
        const uint64_t now = NowMs();
        if (!im.Stopping()) im.timers.RunDue(now, [&im] { return im.Stopping(); });
        if (im.resolver->Busy() && now >= im.nextResolverTick) {
            im.resolver->ProcessTimeouts();
            im.nextResolverTick = now + kResolverTickMs;
        }
        if (!im.Stopping()) im.DispatchReady();
        if (!im.Stopping()) im.DeliverLookups();
    }
    im.quitRequested.store(false, std::memory_order_release);
    return im.quitCode.load(std::memory_order_acquire);
}

void EventLoop::Quit(int exitCode) {
    impl_->quitCode.store(exitCode, std::memory_order_release);
    impl_->quitRequested.store(true, std::memory_order_release);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t w = write(impl_->wakeFd, &one, sizeof one);
}

}  // namespace orvyn::eventloop
