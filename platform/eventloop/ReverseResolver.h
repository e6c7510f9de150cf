// Reverse name lookups (address to host name) driven by the event loop: the
// resolver's sockets are watched by the loop and its time-outs run from the
// loop's wait, so no thread ever blocks on a name server.
#pragma once

#include <sys/socket.h>

#include <functional>
#include <string>
#include <vector>

struct ares_channeldata;
struct hostent;

namespace orvyn::eventloop {

class ReverseResolver {
public:
    struct Completion {
        int handle;
        int wsaError;  // 0, or WSAHOST_NOT_FOUND, WSANO_DATA, WSATRY_AGAIN, ...
        std::string hostName;
    };
    // Told to watch a resolver socket for reading and/or writing; both false
    // means stop watching it.
    using WatchFn = std::function<void(int fd, bool readable, bool writable)>;

    // Longest host name handed on; DNS names cannot be longer.
    static constexpr size_t kMaxHostName = 255;

    explicit ReverseResolver(WatchFn watch);
    ~ReverseResolver();
    ReverseResolver(const ReverseResolver&) = delete;
    ReverseResolver& operator=(const ReverseResolver&) = delete;

    // Starts the lookup of an IPv4 or IPv6 address (an IPv4-mapped IPv6
    // address is looked up as IPv4) under the caller's handle. The completion
    // may already be queued when this returns. False when it cannot start.
    bool Start(const sockaddr* addr, socklen_t len, int handle);
    void ProcessFd(int fd, bool readable, bool writable);
    void ProcessTimeouts();
    // Lookups started and not yet completed.
    bool Busy() const { return pending_ > 0; }
    bool HasCompletions() const { return !completions_.empty(); }
    std::vector<Completion> TakeCompletions();

    static int WsaFromAresStatus(int status);
    // A usable host name: printable, no blanks, not empty, not too long.
    static bool IsAcceptableName(const char* name);

private:
    struct Query;
    bool EnsureChannel();
    static void SockStateCb(void* data, int fd, int readable, int writable);
    static void HostCb(void* arg, int status, int timeouts, ::hostent* host);

    WatchFn watch_;
    ares_channeldata* channel_ = nullptr;
    bool destroying_ = false;
    int pending_ = 0;
    std::vector<Completion> completions_;
};

}  // namespace orvyn::eventloop
