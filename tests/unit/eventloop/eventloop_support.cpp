#include "eventloop_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace orvyn::eventloop::test {

void Recorder::OnSocketEvent(Message msg, Socket s, uint32_t event, int wsaError) {
    events.push_back({msg, s, event, wsaError});
    if (onEvent) onEvent(events.back());
}

void Recorder::OnLookupDone(int handle, int wsaError, const std::string& hostName) {
    lookups.push_back({handle, wsaError, hostName});
}

int Recorder::Count(uint32_t event, Socket s) const {
    int n = 0;
    for (const auto& e : events) {
        if (e.event == event && (s == INVALID_SOCKET || e.s == s)) ++n;
    }
    return n;
}

const Event* Recorder::Last(uint32_t event) const {
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
        if (it->event == event) return &*it;
    }
    return nullptr;
}

Fd& Fd::operator=(Fd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
}

Fd::~Fd() { reset(); }

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

namespace {

void Check(bool ok, const char* what) {
    if (!ok) throw std::system_error(errno, std::generic_category(), what);
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace

Fd MakeListener(uint16_t* port, int backlog) {
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    Check(s.get() >= 0, "socket");
    sockaddr_in a = Loopback(0);
    Check(::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0, "bind");
    Check(::listen(s.get(), backlog) == 0, "listen");
    socklen_t len = sizeof a;
    Check(::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len) == 0, "getsockname");
    *port = ntohs(a.sin_port);
    return s;
}

Fd ConnectTo(uint16_t port) {
    Fd c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    Check(c.get() >= 0, "socket");
    sockaddr_in a = Loopback(port);
    Check(::connect(c.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0, "connect");
    return c;
}

std::pair<Fd, Fd> MakeTcpPair() {
    uint16_t port = 0;
    Fd l = MakeListener(&port);
    Fd c = ConnectTo(port);
    Fd s(::accept4(l.get(), nullptr, nullptr, SOCK_CLOEXEC));
    Check(s.get() >= 0, "accept");
    return {std::move(c), std::move(s)};
}

uint16_t UnusedPort() {
    uint16_t port = 0;
    Fd l = MakeListener(&port);
    return port;  // closed on return: nothing listens there any more
}

void SetNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    Check(flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0, "fcntl");
}

void SetZeroLinger(int fd) {
    linger lg{1, 0};
    Check(::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) == 0, "setsockopt");
}

void WriteAll(int fd, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        const ssize_t n = ::write(fd, data.data() + off, data.size() - off);
        if (n < 0 && errno == EINTR) continue;
        Check(n > 0, "write");
        off += static_cast<size_t>(n);
    }
}

bool RunUntil(EventLoop& loop, const std::function<bool()>& cond, unsigned deadlineMs) {
    const uint32_t start = EventLoop::TickCount();
    bool met = cond();
    if (met) return true;
    const int id = loop.AddTimer(2, [&] {
        if (cond()) {
            met = true;
            loop.Quit(0);
        } else if (EventLoop::TickCount() - start > deadlineMs) {
            loop.Quit(1);
        }
    });
    loop.Run();
    loop.RemoveTimer(id);
    return met;
}

void RunFor(EventLoop& loop, unsigned ms) {
    const int id = loop.AddTimer(ms, [&] { loop.Quit(0); });
    loop.Run();
    loop.RemoveTimer(id);
}

}  // namespace orvyn::eventloop::test
