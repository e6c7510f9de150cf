// The profile file named with the i switch.
#pragma once

#include <optional>
#include <string>

namespace orvyn {

inline constexpr const char* kProfileSwitchError =
    "The 'i' command line switch must be followed by the \npath to where you want your INI file";

// Opens the file for reading and writing, creating it when missing and never
// truncating it, and returns its absolute path. nullopt when the path is
// empty or too long, or the file cannot be opened or is not a regular file.
std::optional<std::string> OpenProfileFile(const std::string& path);

}  // namespace orvyn
