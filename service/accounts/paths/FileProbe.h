// The questions path resolution asks the file system, answered with the
// identity of the calling thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvyn {

// Whether something exists at the path (symbolic links followed).
bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);

// What is at the path (symbolic links followed): missing, a folder, or
// anything else. One look for the questions above together.
enum class PathKind { Missing, Folder, Other };
PathKind KindOf(const std::string& path);

// Shortcut of a place: when place + ".lnk" is a symbolic link whose target
// exists, the target as a clean absolute path (a relative target is taken
// from the link's folder). Anything else (no link, a plain file named .lnk, a
// dangling link, a target that is not a valid path) is no shortcut.
std::optional<std::string> ShortcutTarget(const std::string& place);

// Where a clean absolute path really leads: the real path (every symbolic
// link and ".." resolved) of its nearest existing ancestor, with the missing
// rest appended. Fails when a component is a dangling symbolic link (creating
// a file there would create it wherever the link points) or when the real
// path cannot be learnt (no permission, a link loop).
std::optional<std::string> PhysicalPath(std::string_view path);

}  // namespace orvyn
