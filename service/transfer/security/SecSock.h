// The security layer every control and data connection sends, receives and
// shuts down through. This base class is the plain layer: it passes straight
// to the socket. An encrypting layer derives from it and is owned by the
// session that set it up; the plain layer is one shared object that nobody
// frees.
#pragma once

#include <cstddef>
#include <cstdint>

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
    // layer): 0 once nothing is left, WSAEWOULDBLOCK while some waits for
    // room (the next write event comes), or an error code.
    virtual int Flush(eventloop::EventLoop& loop, eventloop::Socket s);
    // Shuts down the sending side; 0 or a Winsock error number
    // (WSAEWOULDBLOCK: output of the layer still waits; call again on the
    // next write event).
    virtual int ShutdownSend(eventloop::EventLoop& loop, eventloop::Socket s);
    // Takes in what waits in the socket without handing out data (a TLS
    // handshake or closure going on while the connection only sends); 0 or
    // an error code.
    virtual int TakeInput(eventloop::EventLoop&, eventloop::Socket) { return 0; }
    virtual bool IsTls() const { return false; }
    // Established, or holding output not yet sent (the plain layer: always).
    virtual bool Ready() const { return true; }
    // Input taken from the socket and not yet handed out: the socket's read
    // event will not come again for it.
    virtual bool HasBufferedInput() const { return false; }
    // Bytes of its own (TLS records) the layer has written to the socket so
    // far; 0 for the plain layer.
    virtual uint64_t RecordBytesSent() const { return 0; }
    // Plaintext bytes sent and received so far; -1: not counted.
    virtual int64_t PlainSent() const { return -1; }
    virtual int64_t PlainReceived() const { return -1; }

    // The shared plain layer.
    static CSecSock& Plain();
};

}  // namespace orvyn
