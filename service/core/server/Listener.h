// A listening socket of an instance. The listener owns its socket and closes
// it exactly once (Close, or the destructor).
#pragma once

#include <sys/socket.h>

#include "platform/eventloop/EventLoop.h"

namespace orvyn {

class CListener {
public:
    CListener() = default;
    ~CListener();
    CListener(const CListener&) = delete;
    CListener& operator=(const CListener&) = delete;

    // Each step returns 0 or a Winsock error number.
    int Create(int family);
    int Bind(const sockaddr* addr, socklen_t len);
    int Listen();
    // The port the socket is bound to (host order), 0 when unknown.
    int LocalPort() const;
    // Closes the socket; zeroLinger resets connections still queued.
    void Close(bool zeroLinger);

    bool IsOpen() const { return socket_ != eventloop::INVALID_SOCKET; }
    eventloop::Socket socket() const { return socket_; }

private:
    eventloop::Socket socket_ = eventloop::INVALID_SOCKET;
};

// One descriptor kept in reserve, so that a client can still be told "421"
// and closed when the process has run out of descriptors.
class CDescriptorReserve {
public:
    // The one of the process, shared by every instance (all run on the loop
    // thread, and a reserve is used and taken again within one handler).
    static CDescriptorReserve& ForProcess();

    CDescriptorReserve() { Restore(); }
    ~CDescriptorReserve();
    CDescriptorReserve(const CDescriptorReserve&) = delete;
    CDescriptorReserve& operator=(const CDescriptorReserve&) = delete;

    // Frees the reserved descriptor for one use; false when none is held.
    bool Release();
    // Takes the reserve again; false when no descriptor is free.
    bool Restore();

private:
    int fd_ = -1;
};

// Sets SO_LINGER: on with a zero time-out (the close resets the connection),
// or off (an ordinary close that still delivers queued data).
void SetZeroLinger(eventloop::Socket s, bool on);

}  // namespace orvyn
