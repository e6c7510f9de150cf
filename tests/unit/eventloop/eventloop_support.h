// Helpers shared by the event loop tests: loopback sockets, an event
// recorder, and running the loop until a condition holds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/eventloop/EventLoop.h"

namespace orvyn::eventloop::test {

struct Event {
    Message msg;
    Socket s;
    uint32_t event;
    int error;
};

// Records every event; an optional hook runs inside the handler.
class Recorder : public IEventTarget {
public:
    void OnSocketEvent(Message msg, Socket s, uint32_t event, int wsaError) override;
    void OnLookupDone(int handle, int wsaError, const std::string& hostName) override;

    int Count(uint32_t event, Socket s = INVALID_SOCKET) const;
    const Event* Last(uint32_t event) const;

    std::vector<Event> events;
    struct Lookup {
        int handle;
        int error;
        std::string name;
    };
    std::vector<Lookup> lookups;
    std::function<void(const Event&)> onEvent;
};

// An owned file descriptor, closed on destruction unless released.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A listening TCP socket on 127.0.0.1 with a kernel-chosen port.
Fd MakeListener(uint16_t* port, int backlog = 16);
// A connected loopback pair: first the client end, then the accepted end.
std::pair<Fd, Fd> MakeTcpPair();
// Blocking connect to 127.0.0.1:port.
Fd ConnectTo(uint16_t port);
// A port on 127.0.0.1 nobody listens on (bound, then released).
uint16_t UnusedPort();
void SetNonBlocking(int fd);
// Resets the connection when closed.
void SetZeroLinger(int fd);
// Writes all of data with blocking writes.
void WriteAll(int fd, const std::string& data);

// Runs the loop until cond() holds (checked every few milliseconds) or a
// generous deadline passes; true when cond() held.
bool RunUntil(EventLoop& loop, const std::function<bool()>& cond, unsigned deadlineMs = 5000);
// Runs the loop for about ms milliseconds.
void RunFor(EventLoop& loop, unsigned ms);

}  // namespace orvyn::eventloop::test
