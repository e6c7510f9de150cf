#include "tests/support/TempDir.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace orvyn::test {

namespace {

int OpenUp(const char* path, const struct stat*, int type, struct FTW*) {
    if (type == FTW_D || type == FTW_DNR || type == FTW_DP) ::chmod(path, 0700);
    return 0;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

}  // namespace

TempDir::TempDir(std::string_view prefix) {
    const char* base = ::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/" + std::string(prefix) + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path_ = pattern;
    ::chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
    ::nftw(path_.c_str(), OpenUp, 16, FTW_PHYS);
    ::nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::write(const std::string& name, const std::string& content, mode_t mode) const {
    const std::string p = *this / name;
    ::unlink(p.c_str());
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "create " + p);
    }
    if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        const int err = errno;
        ::close(fd);
        throw std::system_error(err, std::generic_category(), "write " + p);
    }
    ::close(fd);
    ::chmod(p.c_str(), mode);
    return p;
}

std::string TempDir::mkdir(const std::string& name, mode_t mode) const {
    const std::string p = *this / name;
    if (::mkdir(p.c_str(), 0700) != 0) {
        throw std::system_error(errno, std::generic_category(), "mkdir " + p);
    }
    ::chmod(p.c_str(), mode);
    return p;
}

}  // namespace orvyn::test
