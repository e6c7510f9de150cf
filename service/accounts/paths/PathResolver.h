// Maps the paths a client names onto disk paths, and disk paths back onto
// the paths a client sees.
//
// A client path may be absolute or relative, use "/" or "\" as separators,
// and contain "." and ".."; it is joined to the restriction root (absolute
// paths of a confined user) or to the current directory, then walked
// component by component. On the way a missing component may continue
// through a shortcut (a symbolic link named "<component>.lnk"), through a
// ".djo" document folder (users with the Docutech option) or through a
// virtual directory. The result must lie below the restriction root, both as
// text and where the file system really leads, so that neither ".." nor a
// symbolic link can take a confined user out of the tree.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "service/accounts/paths/DeviceNames.h"
#include "service/accounts/paths/DiskPath.h"
#include "service/accounts/paths/VirtualDirs.h"

namespace orvyn {

class ILogSink;

class PathResolver {
public:
    PathResolver(const DeviceNames& devices, JoinMethod method) : devices_(devices), method_(method) {}

    // Resolves a client path. root: the restriction root, ending in "/", or
    // empty for none. currentDir: the session's current directory (a real
    // disk path). On success diskPath holds a clean absolute path without a
    // trailing "/" (the real path, not the virtual place) and, when the last
    // component was reached through a shortcut, linkBase holds the path the
    // shortcut was named by (without ".lnk"); otherwise linkBase is empty.
    // On failure both are empty. Fails for client paths over kMaxDiskPath
    // bytes or with control characters, for results that do not fit, and for
    // results outside the root.
    bool Resolve(std::string_view ftpPath, std::string_view root, std::string_view currentDir, bool docutech,
                 const VirtualDirs& maps, std::string& diskPath, std::string* linkBase = nullptr) const;

    // The join this resolver uses.
    std::optional<std::string> Join(std::string_view base, std::string_view name) const;

private:
    // Continues a walk whose built path does not exist: through a shortcut,
    // a ".djo" folder or a virtual directory. Returns whether it continued;
    // link receives the shortcut's place when one was followed.
    bool ContinueMissing(std::string& built, bool docutech, const VirtualDirs& maps, std::string* link) const;

    const DeviceNames& devices_;
    JoinMethod method_;
};

// Whether a disk path lies below the restriction root (always, when root is
// empty). The path is back-mapped first, so the real folders of virtual
// directories shown below the root count as below it. It must be a clean
// absolute path, and where it really leads (symbolic links followed, see
// PhysicalPath) must stay inside the real folder it was reached through: the
// root itself, or the virtual directory's folder.
bool LiesBelowRoot(std::string_view diskPath, std::string_view root, const VirtualDirs& maps);

// Whether the file open as fd, reached through diskPath, is inside the real
// folder LiesBelowRoot requires for that path (always, when root is empty).
// Asked of the open file itself: a folder on the way swapped for a link
// between the check of the path and the open cannot lead out unnoticed.
bool OpenedBelowRoot(int fd, std::string_view diskPath, std::string_view root, const VirtualDirs& maps);

// Where a disk path really leads (symbolic links followed, see
// PhysicalPath), named the way the tree names it: when the real place lies
// inside the real folder the path was reached through (the root, or the
// virtual directory's folder), it is given below that folder's own name, so
// a root or virtual directory that is itself reached through a link keeps
// its name. Otherwise the real path as it is. Nothing when the real place
// cannot be learnt.
std::optional<std::string> RealPlace(std::string_view diskPath, std::string_view root, const VirtualDirs& maps);

// RealPlace of the file open as fd, reached through diskPath: its place as
// the kernel knows the open file (not where the path leads now), named the
// same way. Nothing when it cannot be learnt.
std::optional<std::string> RealPlaceOfOpened(int fd, std::string_view diskPath, std::string_view root,
                                             const VirtualDirs& maps);

// LiesBelowRoot, with the warning "Directory %s does not appear to be a
// subdirectory of the server restriction %s" (category '!') when it fails.
bool RestrictionCheck(std::string_view diskPath, std::string_view root, const VirtualDirs& maps, ILogSink* log,
                      int conn);

// Turns a disk path into the path the client sees: back-mapped, below the
// root, with the root cut off ("/" is the root itself), "/" separators and
// no trailing "/". Returns false and empties the path when the client cannot
// see it (outside the root, not a clean absolute path).
bool DiskToFtpPath(std::string& path, std::string_view root, const VirtualDirs& maps);

}  // namespace orvyn
