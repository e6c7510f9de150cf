// The security layer every control and data connection sends, receives and
// shuts down through. This base class is the plain layer: it passes straight
// to the socket. An encrypting layer derives from it and is owned by the
// session that set it up; the plain layer is one shared object that nobody
// frees.
#pragma once

#include <cstddef>

#include "platform/eventloop/EventLoop.h"

namespace orvyn {

class CSecSock {
public:
    virtual ~CSecSock() = default;

    // Byte count, 0 at the end of the stream, or -1 with *wsaError set
    // (WSAEWOULDBLOCK when the call would block).
    virtual long Send(eventloop::EventLoop& loop, eventloop::Socket s, const void* data, size_t size,
                      int* wsaError);
    virtual long Recv(eventloop::EventLoop& loop, eventloop::Socket s, void* data, size_t size, int* wsaError);
    // Pushes out whatever the layer itself still holds (nothing for the plain
    // layer).
    virtual void Flush(eventloop::EventLoop& loop, eventloop::Socket s);
    // Shuts down the sending side; 0 or a Winsock error number.
    virtual int ShutdownSend(eventloop::Socket s);
    virtual bool IsTls() const { return false; }

    // The shared plain layer.
    static CSecSock& Plain();
};

}  // namespace orvyn
