#include "service/transfer/data/SocketTuning.h"

#include <netinet/in.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/eventloop/Winsock.h"
#include "service/transfer/data/DataAddress.h"

namespace orvyn {

using namespace eventloop;

int RaiseSocketBuffer(int fd, int option, int windowSize) {
    int current = 0;
    socklen_t len = sizeof current;
    if (getsockopt(fd, SOL_SOCKET, option, &current, &len) != 0) return WsaFromErrno(errno);
    if (current >= windowSize) return 0;
    if (setsockopt(fd, SOL_SOCKET, option, &windowSize, sizeof windowSize) != 0) return WsaFromErrno(errno);
    return 0;
}

int RaiseFreshSocketBuffer(int fd, int option, int windowSize) {
    static std::atomic<int> defaults[2] = {0, 0};
    std::atomic<int>& known = defaults[option == SO_SNDBUF ? 0 : 1];
    int current = known.load(std::memory_order_relaxed);
    if (current == 0) {
        socklen_t len = sizeof current;
        if (getsockopt(fd, SOL_SOCKET, option, &current, &len) != 0) return WsaFromErrno(errno);
        known.store(current, std::memory_order_relaxed);
    }
    if (current >= windowSize) return 0;
    return RaiseSocketBuffer(fd, option, windowSize);
}

int BindActivePort(int controlPort, const std::function<int(int port)>& tryBind) {
    const int preferred = controlPort > 1 ? controlPort - 1 : 0;
    const int result = tryBind(preferred);
    if (preferred != 0 && (result == WSAEACCES || result == WSAEADDRINUSE)) return tryBind(0);
    return result;
}

int BindActiveDataSocket(int fd, const sockaddr* local, socklen_t localLen) {
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return WsaFromErrno(errno);
    sockaddr_storage addr{};
    if (localLen > sizeof addr) return WSAEFAULT;
    std::memcpy(&addr, local, localLen);
    return BindActivePort(AddressPort(local), [&](int port) {
        if (addr.ss_family == AF_INET) {
            reinterpret_cast<sockaddr_in*>(&addr)->sin_port = htons(static_cast<uint16_t>(port));
        } else if (addr.ss_family == AF_INET6) {
            reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port = htons(static_cast<uint16_t>(port));
        } else {
            return WSAEAFNOSUPPORT;
        }
        return bind(fd, reinterpret_cast<const sockaddr*>(&addr), localLen) == 0 ? 0 : WsaFromErrno(errno);
    });
}

}  // namespace orvyn
