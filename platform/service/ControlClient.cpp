#include "platform/service/ControlClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/service/ControlProtocol.h"

namespace orvyn::service {

namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool TrustedUid(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

}  // namespace

long SendControlRequest(const std::string& socketPath, const std::string& request,
                        ServiceStatus& status, int timeoutMs) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof(addr.sun_path)) return ERROR_FILENAME_EXCED_RANGE;
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);

    struct stat st{};
    if (::lstat(socketPath.c_str(), &st) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? ERROR_SERVICE_NOT_ACTIVE : ERROR_ACCESS_DENIED;
    }
    if (!S_ISSOCK(st.st_mode) || !TrustedUid(st.st_uid)) return ERROR_ACCESS_DENIED;

    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) return ERROR_INVALID_HANDLE;
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        switch (errno) {
            case ECONNREFUSED:
            case ENOENT: return ERROR_SERVICE_NOT_ACTIVE;
            case EACCES:
            case EPERM: return ERROR_ACCESS_DENIED;
            case EAGAIN: return ERROR_SERVICE_REQUEST_TIMEOUT;  // backlog full: the handler is stuck
            default: return ERROR_SERVICE_NOT_ACTIVE;
        }
    }
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || !TrustedUid(cred.uid)) {
        return ERROR_ACCESS_DENIED;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto msLeft = [&] {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return static_cast<int>(left.count() > 0 ? left.count() : 0);
    };

    size_t sent = 0;
    while (sent < request.size()) {
        pollfd pfd{fd.get(), POLLOUT, 0};
        int n = ::poll(&pfd, 1, msLeft());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ERROR_SERVICE_REQUEST_TIMEOUT;
        ssize_t w = ::send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return ERROR_SERVICE_NOT_ACTIVE;
        }
        sent += static_cast<size_t>(w);
    }

    std::string line;
    char buf[256];
    for (;;) {
        pollfd pfd{fd.get(), POLLIN, 0};
        int n = ::poll(&pfd, 1, msLeft());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ERROR_SERVICE_REQUEST_TIMEOUT;
        ssize_t got = ::recv(fd.get(), buf, sizeof(buf), 0);
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return ERROR_SERVICE_NOT_ACTIVE;
        }
        if (got == 0) {
            // Closed without an answer: the service went away meanwhile.
            return ERROR_SERVICE_NOT_ACTIVE;
        }
        for (ssize_t i = 0; i < got; ++i) {
            if (buf[i] == '\n') return ParseAnswer(line, status);
            line += buf[i];
        }
        if (line.size() > kMaxAnswerLine) return ERROR_INVALID_PARAMETER;
    }
}

}  // namespace orvyn::service
