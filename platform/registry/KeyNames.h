// Rules for key and value names of the configuration store: how they are
// compared (ASCII letters without regard to case), how long they may be and
// how a key path is taken apart.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/Registry.h"

namespace orvyn::reg::detail {

inline constexpr size_t kMaxKeyNameChars = 255;
inline constexpr size_t kMaxValueNameChars = 16383;
// Deepest key below the root; also bounds the work one path can cause.
inline constexpr size_t kMaxKeyDepth = 512;

// The comparison form of a name: ASCII letters upper-cased, every other byte
// kept. Upper case (rather than lower) makes "_" and the other punctuation
// between "Z" and "a" sort after the letters.
std::string Fold(std::string_view name);

// Number of characters of a UTF-8 text (bytes that do not continue a sequence).
size_t CharCount(std::string_view text);

Status CheckKeyName(std::string_view name);
Status CheckValueName(std::string_view name);

// SplitKeyPath plus the checks of every name and of the depth.
Status ParseKeyPath(std::string_view path, std::vector<std::string>& names);

// The names joined with "\" again, for messages.
std::string JoinKeyPath(const std::vector<std::string>& names);

}  // namespace orvyn::reg::detail
