// Unique file names: STOU's names and the temporary name an upload moves an
// in-use target to. A name is the prefix's first three characters, a
// hexadecimal number and ".TMP" ("STO1A2B.TMP"); the file is created empty
// and exclusively, so two sessions never get the same name.
#pragma once

#include <string>
#include <string_view>

namespace orvyn {

inline constexpr const char* kStouPrefix = "STOU";
inline constexpr const char* kLockPrefix = "$$LOCK";

// Creates a new empty file in folder and returns its full path. Tries at
// most 65535 numbers, starting from one drawn from the clock; raises
// CFileException (the error of the last attempt) when none can be created.
std::string CreateTempFileName(const std::string& folder, std::string_view prefix);

// As above with a given first number (1..0xFFFF; 0 counts as 1), for callers
// that need a predictable sequence.
std::string CreateTempFileName(const std::string& folder, std::string_view prefix, unsigned firstNumber);

// Gets an in-use upload target out of the way: renames it to a fresh "$$LOCK"
// temporary name in its own folder (a rename within one folder cannot cross
// file systems) and deletes it under that name; the target name is then
// free for a new file. Raises CFileException when the name cannot be created
// or the target cannot be renamed; a failed delete of the renamed file is
// ignored (an open handle may still keep it, it no longer blocks the name).
void MoveAsideAndDelete(const std::string& target);

// Folder part of a path ("/a/b/c" -> "/a/b", "/c" -> "/"), and file part.
std::string FolderOf(std::string_view path);
std::string_view FileNameOf(std::string_view path);

}  // namespace orvyn
