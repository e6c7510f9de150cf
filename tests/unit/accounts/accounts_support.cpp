#include "accounts_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace orvyn::accounts::test {

namespace {
int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}
}  // namespace

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base ? base : "/tmp") + "/orvyn-accounts-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path_ = templ;
    // Fake accounts must be able to walk into the folder.
    chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
    // Give everything back write and search permission so removal cannot fail
    // on folders a test locked down.
    nftw(path_.c_str(), [](const char* p, const struct stat* st, int type, struct FTW*) {
        if (type == FTW_D || type == FTW_DNR || type == FTW_DP) {
            chmod(p, 0700);
        }
        (void)st;
        return 0;
    }, 16, FTW_PHYS);
    nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::write(const std::string& name, const std::string& content, mode_t mode) const {
    std::string p = *this / name;
    ::unlink(p.c_str());
    int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "create " + p);
    }
    if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        int err = errno;
        ::close(fd);
        throw std::system_error(err, std::generic_category(), "write " + p);
    }
    ::close(fd);
    ::chmod(p.c_str(), mode);
    return p;
}

std::string TempDir::mkdir(const std::string& name, mode_t mode) const {
    std::string p = *this / name;
    if (::mkdir(p.c_str(), 0700) != 0) {
        throw std::system_error(errno, std::generic_category(), "mkdir " + p);
    }
    ::chmod(p.c_str(), mode);
    return p;
}

ChildOutput RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    ChildOutput result;
    if (rc != 0) {
        ::close(fds[0]);
        throw std::system_error(rc, std::generic_category(), "spawn " + argv[0]);
    }
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0) {
            result.out.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    while (waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
    }
    return result;
}

}  // namespace orvyn::accounts::test
