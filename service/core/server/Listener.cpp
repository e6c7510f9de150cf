#include "service/core/server/Listener.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/eventloop/Winsock.h"

namespace orvyn {

using eventloop::WsaFromErrno;

CListener::~CListener() { Close(false); }

int CListener::Create(int family) {
    Close(false);
    int s = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) return WsaFromErrno(errno);
    // Lets a restarted service bind again while old connections of the port
    // are still in TIME_WAIT; a port another listener holds is still refused.
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    socket_ = s;
    return 0;
}

int CListener::Bind(const sockaddr* addr, socklen_t len) {
    if (!IsOpen()) return eventloop::WSAENOTSOCK;
    if (::bind(socket_, addr, len) != 0) return WsaFromErrno(errno);
    return 0;
}

int CListener::Listen() {
    if (!IsOpen()) return eventloop::WSAENOTSOCK;
    if (::listen(socket_, SOMAXCONN) != 0) return WsaFromErrno(errno);
    return 0;
}

int CListener::LocalPort() const {
    if (!IsOpen()) return 0;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
    if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return 0;
}

void CListener::Close(bool zeroLinger) {
    if (!IsOpen()) return;
    if (zeroLinger) SetZeroLinger(socket_, true);
    ::close(socket_);
    socket_ = eventloop::INVALID_SOCKET;
}

CDescriptorReserve& CDescriptorReserve::ForProcess() {
    static CDescriptorReserve reserve;
    return reserve;
}

CDescriptorReserve::~CDescriptorReserve() {
    if (fd_ >= 0) ::close(fd_);
}

bool CDescriptorReserve::Release() {
    if (fd_ < 0) return false;
    ::close(fd_);
    fd_ = -1;
    return true;
}

bool CDescriptorReserve::Restore() {
    if (fd_ < 0) fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return fd_ >= 0;
}

void SetZeroLinger(eventloop::Socket s, bool on) {
    linger l{};
    l.l_onoff = on ? 1 : 0;
    l.l_linger = 0;
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

}  // namespace orvyn
