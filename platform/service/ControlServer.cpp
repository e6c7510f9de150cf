#include "platform/service/ControlServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/service/ControlClient.h"
#include "platform/service/ControlProtocol.h"

namespace orvyn::service {

namespace {

// A client gets this long to send its request line.
constexpr int kRequestTimeoutMs = 2000;

long ErrorFromErrno(int err) {
    switch (err) {
        case EACCES:
        case EPERM:
        case EROFS: return ERROR_ACCESS_DENIED;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case ENOENT:
        case ENOTDIR: return ERROR_FILE_NOT_FOUND;
        default: return ERROR_INVALID_HANDLE;
    }
}

// Creates every missing folder of the socket's path with mode 0755.
bool MakeParents(const std::string& path) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        std::string dir = path.substr(0, pos);
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace

ControlServer::ControlServer(std::string socketPath, QueryFn query, ControlFn control)
    : path_(std::move(socketPath)), query_(std::move(query)), control_(std::move(control)) {}

ControlServer::~ControlServer() { Stop(); }

long ControlServer::Start() {
    if (thread_.joinable()) return ERROR_SERVICE_ALREADY_RUNNING;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof(addr.sun_path)) return ERROR_FILENAME_EXCED_RANGE;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);

    if (!MakeParents(path_)) return ErrorFromErrno(errno);

    // One service per socket: whoever holds the lock beside it owns it, for
    // as long as its process lives. Without it, two services started at the
    // same moment could each take the other's freshly bound socket for one
    // left behind, and both run.
    const std::string lockPath = path_ + ".lock";
    const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock < 0) return ErrorFromErrno(errno);
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(lock);
        return err == EWOULDBLOCK ? ERROR_SERVICE_ALREADY_RUNNING : ErrorFromErrno(err);
    }
    // Released again on every failure below; kept once the server runs.
    struct LockHold {
        int fd;
        ~LockHold() {
            if (fd >= 0) ::close(fd);
        }
    } held{lock};

    struct stat st{};
    if (::lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return ERROR_ACCESS_DENIED;  // never remove what is not ours
        ServiceStatus ignored;
        long err = SendControlRequest(path_, FormatQuery(), ignored, 2000);
        if (err != ERROR_SERVICE_NOT_ACTIVE) return ERROR_SERVICE_ALREADY_RUNNING;
        ::unlink(path_.c_str());  // left behind by a service that died
    }

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return ErrorFromErrno(errno);
    mode_t old = ::umask(0177);
    int rc = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    int bindErr = errno;
    ::umask(old);
    if (rc != 0) {
        ::close(fd);
        return bindErr == EADDRINUSE ? ERROR_SERVICE_ALREADY_RUNNING : ErrorFromErrno(bindErr);
    }
    if (::chmod(path_.c_str(), 0600) != 0 || ::listen(fd, 16) != 0 || ::lstat(path_.c_str(), &st) != 0) {
        int err = errno;
        ::close(fd);
        ::unlink(path_.c_str());
        return ErrorFromErrno(err);
    }
    dev_ = st.st_dev;
    ino_ = st.st_ino;

    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        int err = errno;
        ::close(fd);
        ::unlink(path_.c_str());
        return ErrorFromErrno(err);
    }
    lockFd_ = held.fd;
    held.fd = -1;
    listenFd_ = fd;
    wakeFd_ = wake;
    thread_ = std::thread([this] { ThreadMain(); });
    return ERROR_SUCCESS;
}

void ControlServer::Stop() {
    if (thread_.joinable()) {
        uint64_t one = 1;
        ssize_t n = ::write(wakeFd_, &one, sizeof(one));
        (void)n;
        thread_.join();
    }
    if (listenFd_ >= 0) {
        // Remove the file only when it is still the socket this server bound:
        // a newer service may have replaced it.
        struct stat st{};
        if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) {
            ::unlink(path_.c_str());
        }
        ::close(listenFd_);
        listenFd_ = -1;
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
        wakeFd_ = -1;
    }
    // Last: the socket is gone before another service may claim it.
    if (lockFd_ >= 0) {
        ::close(lockFd_);
        lockFd_ = -1;
    }
}

void ControlServer::ThreadMain() {
    // Signals belong to the event loop's thread.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);

    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        int n = ::poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if (fds[0].revents & POLLIN) {
            int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            Serve(client);
            ::close(client);
        }
    }
}

void ControlServer::Serve(int client) {
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return;
    if (cred.uid != 0 && cred.uid != ::geteuid()) return;

    std::string line;
    char buf[kMaxRequestLine + 2];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
    bool complete = false;
    while (!complete && line.size() <= kMaxRequestLine) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd pfd{client, POLLIN, 0};
        int n = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        ssize_t got = ::recv(client, buf, sizeof(buf), 0);
        if (got <= 0) return;
        for (ssize_t i = 0; i < got; ++i) {
            if (buf[i] == '\n') {
                complete = true;
                break;
            }
            line += buf[i];
        }
    }

    std::string answer;
    std::optional<ControlRequest> request;
    if (complete) request = ParseRequest(line);
    if (!request) {
        answer = FormatError(ERROR_INVALID_PARAMETER);
    } else if (request->query) {
        answer = FormatStatus(query_());
    } else if ((request->code == SERVICE_CONTROL_PAUSE || request->code == SERVICE_CONTROL_CONTINUE) &&
               (query_().controlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE) == 0) {
        // A service that does not pause is not asked to.
        answer = FormatError(ERROR_INVALID_SERVICE_CONTROL);
    } else {
        answer = FormatStatus(control_(request->code));
    }
    size_t sent = 0;
    while (sent < answer.size()) {
        pollfd pfd{client, POLLOUT, 0};
        if (::poll(&pfd, 1, kRequestTimeoutMs) <= 0) return;
        ssize_t n = ::send(client, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

}  // namespace orvyn::service
