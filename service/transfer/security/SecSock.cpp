#include "service/transfer/security/SecSock.h"

#include <sys/socket.h>

#include <cerrno>

#include "platform/eventloop/Winsock.h"

namespace orvyn {

long CSecSock::Send(eventloop::EventLoop& loop, eventloop::Socket s, const void* data, size_t size,
                    int* wsaError) {
    return loop.Send(s, data, size, wsaError);
}

long CSecSock::Recv(eventloop::EventLoop& loop, eventloop::Socket s, void* data, size_t size, int* wsaError) {
    return loop.Recv(s, data, size, wsaError);
}

int CSecSock::Flush(eventloop::EventLoop&, eventloop::Socket) { return 0; }

int CSecSock::ShutdownSend(eventloop::EventLoop&, eventloop::Socket s) {
    if (::shutdown(s, SHUT_WR) == 0) return 0;
    return eventloop::WsaFromErrno(errno);
}

CSecSock& CSecSock::Plain() {
    static CSecSock plain;
    return plain;
}

}  // namespace orvyn
