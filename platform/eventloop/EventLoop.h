// The event loop of the service: one thread runs every network event of every
// server instance, one at a time. Sockets are non-blocking and report
// readiness like asynchronous socket selection does: a handler receives
// (message kind, socket, event, error).
//
// Delivery rules (kept from asynchronous socket selection):
//  - FD_READ comes again after every handler call while unread data remains,
//    urgent data included (a read stops short at its mark; FD_READ goes on).
//  - FD_WRITE comes once after a connect or accept completes, and once after a
//    send that would block, when space frees (sends must go through Send()).
//  - FD_ACCEPT comes while connections wait on a listener.
//  - FD_CONNECT comes once when a non-blocking connect completes (error set
//    when it failed).
//  - FD_CLOSE comes once when the peer has closed (or reset) and no unread data
//    remains; the error is 0 for a graceful close, else the Winsock code.
// Posting (Post, PostEvent, Quit) is thread-safe; everything else belongs to
// the loop's thread.
//
// AsyncSelect makes the socket non-blocking. Every AsyncSelect that includes
// FD_WRITE on a connected socket owes one FD_WRITE (at once when there is
// send space), so re-selecting after a connect starts the write side. After a
// reset FD_CLOSE comes at once with the error; unread data is lost with the
// connection. A connect that fails gives FD_CONNECT with the error (or FD_CLOSE
// when only that is selected) and nothing after it.
//
// A socket must be deselected (AsyncSelect with events 0, or CloseSocket)
// before it is closed: the kernel hands the same number to the next socket at
// once. Deselecting drops every event still pending for the socket, including
// events posted for it with PostEvent before the deselect. A handler may
// deselect or close any socket and may destroy its own target, provided the
// target's sockets were deselected first (ForgetTarget does all of it).
// FD_READ is not repeated for a handler that leaves the unread data where it
// is: it comes again when more data arrives or after the next Recv, so a
// socket nobody reads does not spin the loop. (A handler that read through
// Recv last time may hear it once more: fresh data goes to such a handler
// without the kernel being asked how much there is.)
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/eventloop/Winsock.h"

namespace orvyn::eventloop {

using Socket = int;
inline constexpr Socket INVALID_SOCKET = -1;

// Event bits, numbered as the socket selection events are.
inline constexpr uint32_t FD_READ = 0x01;
inline constexpr uint32_t FD_WRITE = 0x02;
inline constexpr uint32_t FD_OOB = 0x04;
inline constexpr uint32_t FD_ACCEPT = 0x08;
inline constexpr uint32_t FD_CONNECT = 0x10;
inline constexpr uint32_t FD_CLOSE = 0x20;

// The registered message kinds an instance receives.
enum class Message {
    Accept,   // "ORVYN Accept": listeners
    Command,  // "ORVYN Command": control connections
    Data,     // "ORVYN Data": data connections and passive listeners
    Async,    // "ORVYN Async": finished reverse name lookups
};
const char* MessageName(Message m);  // "ORVYN Accept", ...

// Receives the events of the sockets selected to it (an instance "window").
class IEventTarget {
public:
    virtual ~IEventTarget() = default;
    // Socket readiness; wsaError is 0 or a Winsock error number.
    virtual void OnSocketEvent(Message msg, Socket s, uint32_t event, int wsaError) = 0;
    // A reverse lookup finished: handle as returned by StartReverseLookup,
    // wsaError 0 and the host name on success.
    virtual void OnLookupDone(int handle, int wsaError, const std::string& hostName) = 0;
};

class EventLoop {
public:
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Select the events of a socket to be delivered as msg to target.
    // events 0 (or target null) stops delivery; the socket stays open.
    // Returns 0, or a Winsock error number.
    int AsyncSelect(Socket s, IEventTarget* target, Message msg, uint32_t events);

    // Send and receive through the loop so that the write and read re-enabling
    // rules hold. Return the byte count, or -1 with *wsaError set
    // (WSAEWOULDBLOCK 10035 when the call would block).
    // They never block and never raise SIGPIPE. Recv also reads the read end
    // of a pipe selected with AsyncSelect (which makes it non-blocking).
    long Send(Socket s, const void* data, size_t size, int* wsaError);
    long Recv(Socket s, void* data, size_t size, int* wsaError);
    // Sends up to size bytes of a file from its current position (which
    // moves on) by the kernel, without copying them through the process: a
    // byte count, 0 at the end of the file, or -1 with *wsaError set like
    // Send. Only while the process ignores SIGPIPE (which the kernel would
    // raise): otherwise -1 with WSAEOPNOTSUPP, and the caller uses Send.
    long SendFile(Socket s, int fileFd, size_t size, int* wsaError);

    // Accept a waiting connection on a listener: the new socket is
    // non-blocking and close-on-exec. Returns INVALID_SOCKET with *wsaError set
    // on failure. After a failure other than WSAEWOULDBLOCK (out of
    // descriptors, ...) FD_ACCEPT pauses until the next connection arrives.
    Socket Accept(Socket listener, sockaddr* addr, socklen_t* addrLen, int* wsaError);
    // listen() on a bound non-blocking socket; 0 or the Winsock error.
    // Selecting it from the same handler then needs no questions to the
    // kernel about what it is.
    int Listen(Socket s, int backlog);
    // Looks at a paused listener again (descriptors may have been freed):
    // FD_ACCEPT comes at once when connections wait.
    void ResumeAccept(Socket listener);

    // Deselect and close a socket; with reset the close aborts the connection
    // (zero linger), as for a refused or timed-out client. Returns 0 or a
    // Winsock error number.
    int CloseSocket(Socket s, bool reset = false);

    // Forget a target: deselect its sockets, drop its posted events and
    // cancel its lookups. Call it before destroying a target.
    void ForgetTarget(IEventTarget* target);

    // Thread-safe: run fn on the loop thread.
    void Post(std::function<void()> fn);
    // Thread-safe: queue one socket event for a target, as if the socket had
    // reported it (workers use it to signal completion). It is dropped when the
    // loop deselects the socket, or the target is forgotten, before delivery.
    void PostEvent(IEventTarget* target, Message msg, Socket s, uint32_t event, int wsaError = 0);

    // Periodic timer on the loop thread; returns an id for RemoveTimer.
    int AddTimer(unsigned periodMs, std::function<void()> fn);
    void RemoveTimer(int id);

    // Signal handling on the loop thread (signalfd); the signal is blocked in
    // the calling thread and so in every thread created afterwards. Call it
    // before any other thread starts, or those threads still take the signal
    // the default way.
    void OnSignal(int signo, std::function<void()> fn);

    // Reverse name lookup of a peer address, driven by this loop; the result
    // goes to target->OnLookupDone. Returns a handle > 0, or 0 when it could
    // not start. CancelLookup forgets the request (no callback afterwards).
    int StartReverseLookup(const sockaddr* addr, socklen_t len, IEventTarget* target);
    void CancelLookup(int handle);

    // Runs until Quit; returns the exit code given to Quit. A Quit given
    // before Run makes Run return at once; Run may be called again afterwards.
    int Run();
    // Thread-safe.
    void Quit(int exitCode = 0);

    // Milliseconds since an arbitrary start, wrapping at 2^32 like a tick count.
    static uint32_t TickCount();

private:
    // After a failed send: a blocked socket owes FD_WRITE, a lost
    // connection FD_CLOSE.
    void NoteSendFailure(Socket s, int error);

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Winsock error number for an errno value (ECONNREFUSED -> 10061, ...);
// declared with the error numbers in Winsock.h.
int WsaFromErrno(int err);

}  // namespace orvyn::eventloop
