#include "service/transfer/files/TempFileName.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "service/transfer/files/FileException.h"

namespace orvyn {
namespace {

constexpr unsigned kNumbers = 0xFFFF;

std::string Join(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

std::string FolderOf(std::string_view path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

std::string_view FileNameOf(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string CreateTempFileName(const std::string& folder, std::string_view prefix) {
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch() / std::chrono::milliseconds(1);
    const unsigned first = static_cast<unsigned>((static_cast<unsigned long long>(ticks) ^
                                                  (static_cast<unsigned long long>(getpid()) << 4)) & kNumbers);
    return CreateTempFileName(folder, prefix, first);
}

std::string CreateTempFileName(const std::string& folder, std::string_view prefix, unsigned firstNumber) {
    const std::string stem(prefix.substr(0, 3));
    unsigned number = firstNumber & kNumbers;
    if (number == 0) number = 1;
    int lastError = EEXIST;
    for (unsigned attempt = 0; attempt < kNumbers; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "%X.TMP", number);
        const std::string path = Join(folder, stem + name);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            ::close(fd);
            return path;
        }
        lastError = errno;
        if (lastError != EEXIST && lastError != EINTR) break;  // the folder itself is the problem
        number = number == kNumbers ? 1 : number + 1;
    }
    ThrowFileError(lastError, Join(folder, stem));
}

void MoveAsideAndDelete(const std::string& target) {
    const std::string temp = CreateTempFileName(FolderOf(target), kLockPrefix);
    // rename replaces the empty placeholder in one step, so the name cannot
    // be taken by someone else in between.
    if (::rename(target.c_str(), temp.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        ThrowFileError(err, target);
    }
    ::unlink(temp.c_str());
}

}  // namespace orvyn
