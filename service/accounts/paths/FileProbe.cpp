#include "service/accounts/paths/FileProbe.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "service/accounts/paths/DiskPath.h"

namespace orvyn {

bool PathExists(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0;
}

PathKind KindOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return PathKind::Missing;
    return S_ISDIR(st.st_mode) ? PathKind::Folder : PathKind::Other;
}

bool IsDirectory(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> ShortcutTarget(const std::string& place) {
    const std::string link = place + ".lnk";
    struct stat st{};
    if (lstat(link.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return std::nullopt;
    char buf[4096];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return std::nullopt;
    const std::string_view target(buf, static_cast<size_t>(n));
    if (HasControlChars(target)) return std::nullopt;
    // Relative targets count from the folder holding the link.
    auto resolved = OwnJoin(ParentOf(place), target);
    if (!resolved || !PathExists(*resolved)) return std::nullopt;
    return resolved;
}

std::optional<std::string> PhysicalPath(std::string_view path) {
    if (!IsCleanAbsolute(path)) return std::nullopt;
    std::string existing = WithoutTrailingSlash(path);
    std::string missing;  // components below `existing`, "/" between them
    for (;;) {
        std::unique_ptr<char, decltype(&free)> real(realpath(existing.c_str(), nullptr), &free);
        if (real) {
            std::string out = real.get();
            if (!missing.empty()) out = WithTrailingSlash(out) + missing;
            return out;
        }
        if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
        // Missing as a whole; but a name that is there as a dangling link
        // would lead elsewhere the moment something is created through it.
        struct stat st{};
        if (lstat(existing.c_str(), &st) == 0) return std::nullopt;
        if (existing == "/") return std::nullopt;
        const size_t slash = existing.rfind('/');
        const std::string last = existing.substr(slash + 1);
        missing = missing.empty() ? last : last + "/" + missing;
        existing = ParentOf(existing);
    }
}

}  // namespace orvyn
