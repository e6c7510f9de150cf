#include "service/accounts/paths/PathResolver.h"

#include <unistd.h>

#include <cstdio>

#include "service/accounts/paths/FileProbe.h"
#include "service/base/log/LogSink.h"
#include "service/base/text/NoCase.h"

namespace orvyn {

namespace {

constexpr std::string_view kDataStream = "::$DATA";
constexpr std::string_view kDocumentSuffix = ".djo";

}  // namespace

std::optional<std::string> PathResolver::Join(std::string_view base, std::string_view name) const {
    if (method_ == JoinMethod::Platform) return PlatformJoin(base, name, devices_);
    return OwnJoin(base, name);
}

bool PathResolver::ContinueMissing(std::string& built, bool docutech, const VirtualDirs& maps,
                                   std::string* link) const {
    if (auto target = ShortcutTarget(built)) {
        if (link) *link = built;
        built = std::move(*target);
        return true;
    }
    if (docutech) {
        const std::string document = built + std::string(kDocumentSuffix);
        if (document.size() <= kMaxDiskPath && PathExists(document)) {
            built = document;
            return true;
        }
        return false;
    }
    if (auto target = maps.Forward(built)) {
        if (target->size() <= kMaxDiskPath && PathExists(*target)) {
            built = std::move(*target);
            return true;
        }
    }
    return false;
}

bool PathResolver::Resolve(std::string_view ftpPath, std::string_view root, std::string_view currentDir,
                           bool docutech, const VirtualDirs& maps, std::string& diskPath,
                           std::string* linkBase) const {
    diskPath.clear();
    if (linkBase) linkBase->clear();

    // Refuse rather than cut: a shortened path would name another file.
    if (ftpPath.size() > kMaxDiskPath || HasControlChars(ftpPath)) return false;
    if (currentDir.size() > kMaxDiskPath || HasControlChars(currentDir)) return false;
    if (!root.empty() && (root.size() > kMaxDiskPath || !IsCleanAbsolute(root))) return false;

    std::string name(ftpPath);
    for (char& c : name)
        if (c == '\\') c = '/';

    // Relative names count from where the client sees itself, so ".." out of
    // a virtual directory leads to the folder it is shown in.
    // Without an absolute current directory there is nothing to join to.
    const std::string current =
        !currentDir.empty() && currentDir[0] == '/' ? maps.BackMap(currentDir) : std::string();

    std::optional<std::string> composed;
    if (!root.empty() && !name.empty() && name[0] == '/') {
        composed = Join(root, std::string_view(name).substr(1));
    } else {
        composed = Join(current, name);
    }
    if (!composed || composed->empty() || (*composed)[0] != '/') return false;

    // Walk the components. While every folder so far exists, a missing one
    // may continue elsewhere; after the first folder that is missing for good
    // the rest is taken as written.
    const auto parts = SplitComponents(*composed);
    std::string built(1, '/');
    for (size_t i = 0; i < parts.size(); ++i) {
        if (built.back() != '/') built += '/';
        built += parts[i];
        if (built.size() > kMaxDiskPath) return false;
    }
    // Usually the whole path, or its folder, is there: then every folder on
    // the way exists and nothing continues elsewhere, so one or two status
    // calls stand for the walk.
    enum class Known { Nothing, Exists, FolderExists } known = Known::Nothing;
    if (parts.size() >= 2) {
        if (KindOf(built) != PathKind::Missing)
            known = Known::Exists;
        else if (KindOf(ParentOf(built)) == PathKind::Folder)
            known = Known::FolderExists;
    }
    bool checking = true;
    if (known == Known::Nothing) {
        built.assign(1, '/');
        for (size_t i = 0; i < parts.size(); ++i) {
            if (checking && i > 0) {
                PathKind kind = KindOf(built);
                // A missing folder may continue elsewhere; built then names it.
                if (kind == PathKind::Missing && ContinueMissing(built, docutech, maps, nullptr))
                    kind = KindOf(built);
                if (kind != PathKind::Folder) checking = false;
            }
            if (built.back() != '/') built += '/';
            built += parts[i];
            if (built.size() > kMaxDiskPath) return false;
        }
    }

    std::string link;
    bool existsAsWritten = false;
    if (checking) {
        if (built.size() > kDataStream.size() && EndsWithNoCase(built, kDataStream)) {
            built.resize(built.size() - kDataStream.size());
            known = Known::Nothing;
        }
        if (built.empty()) built.assign(1, '/');
        existsAsWritten = known == Known::Exists || (known == Known::Nothing && PathExists(built));
        if (!existsAsWritten && built.size() + 4 <= kMaxDiskPath) ContinueMissing(built, docutech, maps, &link);
    }
    // Trailing dots and spaces go, except from a name that exists as
    // written: on this file system "report." is not "report", and a listed
    // name must lead to the file it names.
    if (!existsAsWritten) TrimTrailingDotsAndSpaces(built);
    while (built.size() > 1 && built.back() == '/') built.pop_back();

    // Whatever the end-of-walk rules did, the result must still be a plain
    // path: cutting "::$DATA" off "..::$DATA" must not leave a "..".
    if (built.size() > kMaxDiskPath || !IsCleanAbsolute(built)) return false;
    if (!root.empty() && !LiesBelowRoot(built, root, maps)) return false;

    diskPath = std::move(built);
    if (linkBase) *linkBase = std::move(link);
    return true;
}

bool LiesBelowRoot(std::string_view diskPath, std::string_view root, const VirtualDirs& maps) {
    if (root.empty()) return true;
    if (diskPath.size() > kMaxDiskPath || HasControlChars(diskPath) || !IsCleanAbsolute(diskPath)) return false;
    std::string anchor;
    const std::string shown = maps.BackMap(diskPath, &anchor);
    if (!IsPathPrefix(root, shown)) return false;

    // The text lies below the root. Where it leads must stay inside the real
    // folder it was reached through; an ordinary symbolic link inside the
    // tree must not lead out of it.
    if (anchor.empty()) anchor = WithoutTrailingSlash(root);
    const auto real = PhysicalPath(diskPath);
    const auto realAnchor = PhysicalPath(anchor);
    return real && realAnchor && IsPathPrefix(*realAnchor, *real);
}

namespace {

// The kernel's own name of an open file: absolute, without links.
std::optional<std::string> KernelPathOf(int fd) {
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    const ssize_t n = ::readlink(link, target, sizeof target);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof target || target[0] != '/') return std::nullopt;
    return std::string(target, static_cast<size_t>(n));
}

}  // namespace

bool OpenedBelowRoot(int fd, std::string_view diskPath, std::string_view root, const VirtualDirs& maps) {
    if (root.empty()) return true;
    if (fd < 0 || diskPath.size() > kMaxDiskPath || HasControlChars(diskPath) || !IsCleanAbsolute(diskPath))
        return false;
    std::string anchor;
    maps.BackMap(diskPath, &anchor);
    if (anchor.empty()) anchor = WithoutTrailingSlash(root);
    const auto realAnchor = PhysicalPath(anchor);
    if (!realAnchor) return false;
    const auto opened = KernelPathOf(fd);
    return opened && IsPathPrefix(*realAnchor, *opened);
}

namespace {

// Names a real place below the real folder diskPath was reached through
// (the root, or the virtual directory's folder) by that folder's own name.
std::optional<std::string> NamedPlace(std::string_view diskPath, std::string_view root, const VirtualDirs& maps,
                                      std::optional<std::string> real) {
    if (!real) return std::nullopt;
    std::string anchor;
    maps.BackMap(diskPath, &anchor);
    if (anchor.empty()) anchor = root.empty() ? std::string(1, '/') : WithoutTrailingSlash(root);
    const auto realAnchor = PhysicalPath(anchor);
    if (!realAnchor || *realAnchor == anchor || !IsPathPrefix(*realAnchor, *real)) return real;
    const std::string rest = real->substr(realAnchor->size() == 1 ? 0 : realAnchor->size());
    return rest.empty() ? anchor : WithoutTrailingSlash(anchor) + (rest.front() == '/' ? rest : "/" + rest);
}

}  // namespace

std::optional<std::string> RealPlace(std::string_view diskPath, std::string_view root, const VirtualDirs& maps) {
    if (diskPath.size() > kMaxDiskPath || HasControlChars(diskPath) || !IsCleanAbsolute(diskPath)) return std::nullopt;
    return NamedPlace(diskPath, root, maps, PhysicalPath(diskPath));
}

std::optional<std::string> RealPlaceOfOpened(int fd, std::string_view diskPath, std::string_view root,
                                             const VirtualDirs& maps) {
    if (fd < 0 || diskPath.size() > kMaxDiskPath || HasControlChars(diskPath) || !IsCleanAbsolute(diskPath))
        return std::nullopt;
    return NamedPlace(diskPath, root, maps, KernelPathOf(fd));
}

bool RestrictionCheck(std::string_view diskPath, std::string_view root, const VirtualDirs& maps, ILogSink* log,
                      int conn) {
    if (LiesBelowRoot(diskPath, root, maps)) return true;
    if (log) {
        std::string shown;
        if (diskPath.size() <= kMaxDiskPath && !HasControlChars(diskPath))
            shown = maps.BackMap(diskPath);
        else
            shown = "(invalid path)";
        const std::string rootText(root);
        log->Log(conn, '!', "Directory %s does not appear to be a subdirectory of the server restriction %s",
                 shown.c_str(), rootText.c_str());
    }
    return false;
}

bool DiskToFtpPath(std::string& path, std::string_view root, const VirtualDirs& maps) {
    if (path.empty() || path.size() > kMaxDiskPath || HasControlChars(path) || !IsCleanAbsolute(path)) {
        path.clear();
        return false;
    }
    std::string shown = maps.BackMap(path);
    if (!IsPathPrefix(root, shown)) {
        path.clear();
        return false;
    }
    // Cut the root off but keep its closing separator: the root itself is "/".
    size_t cut = root.size();
    if (cut > 0 && root.back() == '/') --cut;
    if (cut > shown.size()) cut = shown.size();
    shown.erase(0, cut);
    if (shown.empty()) shown.assign(1, '/');
    path = WithoutTrailingSlash(shown);
    return true;
}

}  // namespace orvyn
