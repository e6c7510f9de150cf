// Name rules of the file and directory commands: extensions, shortcut
// (".lnk") names, and the ".djo" folders of Docutech users.
#pragma once

#include <string>
#include <string_view>

namespace orvyn {

inline constexpr std::string_view kShortcutExtension = ".lnk";
inline constexpr std::string_view kDocutechExtension = ".djo";

// The extension of a path: its last component from the last dot on; empty
// when that component has no dot. "/" and "\" both separate.
std::string_view PathExtension(std::string_view path);

// Whether an extension is ".lnk" in any letter case.
bool IsShortcutExtension(std::string_view extension);

// Whether text contains ".djo" in any letter case.
bool ContainsDocutechMark(std::string_view text);

// The outcome of the rename rules for one RNTO.
enum class RenameCheck {
    Allowed,
    ToShortcut,  // a file that is no shortcut may not become one
};

// The target name of a rename: the resolved target, with the user's name
// suffix added, and ".lnk" added when the source is a shortcut and the name
// the client gave is not (a shortcut keeps its extension).
std::string RenameTarget(std::string_view resolvedTarget, std::string_view nameSuffix, std::string_view source,
                         std::string_view argument);

// Whether the rename may go ahead as far as the names go.
RenameCheck CheckRenameNames(std::string_view source, std::string_view argument);

}  // namespace orvyn
