// Text rules for disk paths: absolute POSIX paths with "/" as the only root
// and the only separator. Everything here works on the text alone; nothing
// looks at the file system except PlatformJoin's check of its base.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvyn {

class DeviceNames;

// Longest disk path the server builds or accepts, in bytes.
inline constexpr size_t kMaxDiskPath = 260;

// How a name is joined to a base directory (the instance's GFPNMethod).
enum class JoinMethod {
    Platform = 0,  // the operating system's full-path rules
    Own = 1,       // the server's own rules: ".." never climbs above "/"
};

// Whether prefix covers path: the same bytes (letter case counts, "/" is the
// only separator), ending at a component boundary of path. "/ftp" and "/ftp/"
// both cover "/ftp" and "/ftp/x" but not "/ftpx"; an empty prefix covers
// everything.
bool IsPathPrefix(std::string_view prefix, std::string_view path);

// True when the text holds a NUL byte or another control character (below
// 0x20, or 0x7f). Such names are never valid on the wire or on disk here.
bool HasControlChars(std::string_view text);

// The components of a path, without empty ones (runs of "/" collapse).
std::vector<std::string_view> SplitComponents(std::string_view path);

// Whether the path is absolute and canonical: starts with "/", and has no
// "." or ".." component and no empty component except a trailing "/".
bool IsCleanAbsolute(std::string_view path);

// The text with every "\\" written as "/".
std::string BackslashesAsSlashes(std::string_view name);

// The path with its trailing "/" removed ("/" itself stays).
std::string WithoutTrailingSlash(std::string_view path);
// The path with one trailing "/" (added when missing).
std::string WithTrailingSlash(std::string_view path);
// The folder part of a clean absolute path ("/a/b" -> "/a", "/a" -> "/").
std::string ParentOf(std::string_view path);

// Own join: a name starting with "/" replaces the base, any other name is
// appended to it; then runs of separators collapse, "." components drop and
// ".." drops the component before it. Both "/" and "\" separate. Fails when
// the base is not absolute, when ".." would climb above "/", or when the
// result is longer than kMaxDiskPath. The result has no trailing "/" (except
// the root itself).
std::optional<std::string> OwnJoin(std::string_view base, std::string_view name);

// Platform join: the full-path rules of the operating system without
// touching the process's current directory. The base must be an existing
// directory; ".." at the root stays at the root; a name with a device-name
// component fails, as does a result longer than kMaxDiskPath. An empty name
// gives the base with a trailing "/".
std::optional<std::string> PlatformJoin(std::string_view base, std::string_view name, const DeviceNames& devices);

// Removes trailing dots and spaces from the end of a path, unless they make
// up the whole last component or only one character would be left.
void TrimTrailingDotsAndSpaces(std::string& path);

}  // namespace orvyn
