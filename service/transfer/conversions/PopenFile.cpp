#include "service/transfer/conversions/PopenFile.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <utility>

#include "service/transfer/conversions/ChildReaper.h"
#include "service/transfer/files/FileException.h"

extern char** environ;

namespace orvyn {
namespace {

// Spawn attributes: own process group, no blocked signals, default actions
// for every signal (the service blocks and ignores some; a child must not
// inherit that, or SIGTERM and SIGPIPE would not end it).
class SpawnAttributes {
public:
    SpawnAttributes() {
        ok_ = posix_spawnattr_init(&attr_) == 0;
        if (!ok_) return;
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigemptyset(&all);
        for (int s = 1; s < NSIG; ++s) {
            if (s != SIGKILL && s != SIGSTOP) sigaddset(&all, s);
        }
        ok_ = posix_spawnattr_setsigmask(&attr_, &none) == 0 && posix_spawnattr_setsigdefault(&attr_, &all) == 0 &&
              posix_spawnattr_setpgroup(&attr_, 0) == 0 &&
              posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                   POSIX_SPAWN_SETPGROUP) == 0;
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attr_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool ok() const { return ok_; }
    const posix_spawnattr_t* get() const { return &attr_; }

private:
    posix_spawnattr_t attr_;
    bool ok_ = false;
};

class SpawnActions {
public:
    SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    bool Setup(int writeFd, const std::string& workingDir) {
        return ok_ && posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) == 0 &&
               posix_spawn_file_actions_adddup2(&actions_, writeFd, 1) == 0 &&
               posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0 &&
               (workingDir.empty() || posix_spawn_file_actions_addchdir_np(&actions_, workingDir.c_str()) == 0);
    }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
    bool ok_ = false;
};

}  // namespace

CPopenFile::CPopenFile(CChildReaper* reaper) : reaper_(reaper) {}

CPopenFile::~CPopenFile() {
    Abort();
}

bool CPopenFile::Open(const std::vector<std::string>& argv, const std::string& workingDir) {
    Abort();
    ended_ = false;
    error_ = 0;
    if (argv.empty() || argv.front().empty()) {
        error_ = EINVAL;
        return false;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error_ = errno;
        return false;
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    SpawnAttributes attr;
    SpawnActions actions;
    int rc = EINVAL;
    pid_t pid = -1;
    if (attr.ok() && actions.Setup(fds[1], workingDir)) {
        rc = posix_spawnp(&pid, args[0], actions.get(), attr.get(), args.data(), environ);
    }
    ::close(fds[1]);  // the child holds the write end now; the pipe ends when it exits
    if (rc != 0) {
        ::close(fds[0]);
        error_ = rc;
        return false;
    }
    const int fl = fcntl(fds[0], F_GETFL);
    if (fl >= 0) fcntl(fds[0], F_SETFL, fl | O_NONBLOCK);
    readFd_ = fds[0];
    pid_ = pid;
    return true;
}

bool CPopenFile::IsRunning() const {
    return pid_ > 0 && !ChildExited(pid_);
}

size_t CPopenFile::Read(void* buffer, size_t size) {
    if (readFd_ < 0) throw CFileException(FileCause::InvalidFile, EBADF);
    if (ended_ || size == 0) return 0;
    for (;;) {
        const ssize_t n = ::read(readFd_, buffer, size);
        if (n > 0) return static_cast<size_t>(n);
        if (n == 0) {
            ended_ = true;  // every writer has gone: the output is complete
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (IsRunning()) return 0;
            // Nothing more will come from a command that has exited, even if
            // a helper it left behind still holds the pipe open; but what it
            // wrote between the read above and its exit is still there.
            const ssize_t last = ::read(readFd_, buffer, size);
            if (last > 0) return static_cast<size_t>(last);
            ended_ = true;
            return 0;
        }
        throw CFileException::FromErrno(errno);
    }
}

void CPopenFile::Write(const void*, size_t) {
    throw CFileException(FileCause::AccessDenied, EBADF);
}

void CPopenFile::Close() {
    Abort();
}

void CPopenFile::Abort() noexcept {
    if (pid_ > 0) {
        const pid_t pid = std::exchange(pid_, -1);
        if (!CollectChild(pid)) {
            if (reaper_ != nullptr) {
                SignalChild(pid, SIGTERM);
                reaper_->Adopt(pid);
            } else {
                SignalChild(pid, SIGKILL);
                while (!CollectChild(pid)) {
                    int status = 0;
                    if (waitpid(pid, &status, 0) == pid || errno == ECHILD) break;
                }
            }
        }
    }
    if (readFd_ >= 0) ::close(std::exchange(readFd_, -1));
}

}  // namespace orvyn
