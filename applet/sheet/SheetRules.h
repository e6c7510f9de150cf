// The rules of the server property pages that need no widgets: host-list
// entries, the stored form of a conversion and typed directory names.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvyn::applet {

// True when the entry is not empty and consists only of digits, dots and
// asterisks (an old-style numeric host pattern such as "10.*.*.*").
bool IsNumericPattern(std::string_view entry);

// The longest address part of a range entry ("a.b.c.d/e", "2001:db8::/32")
// that is taken.
inline constexpr size_t kMaxRangeAddress = 15;
inline constexpr size_t kMaxRangeAddress6 = 45;

// A range entry rewritten as its network: the address with every bit beyond
// the prefix cleared, then "/" and the prefix length held to 1..32 (1..128
// for IPv6; a missing or unreadable length counts as 0 and so becomes 1).
// nullopt when the part before "/" is neither a dotted IPv4 address of at
// most 15 characters nor an IPv6 address of at most 45.
std::optional<std::string> NetworkRange(std::string_view entry);

// One conversion as the Conversions page edits it.
struct ConversionFields {
    std::string localPrefix, localSuffix, requestedPrefix, requestedSuffix, command;
    unsigned long mode = 0;  // 1 Files, 2 Directories, 4 Binary, 8 ASCII
};

// The stored text: the five texts, each "\" and "|" written with a "\" in
// front, then the mode in decimal, joined by "|".
std::string JoinConversion(const ConversionFields& c);
// Undoes JoinConversion; "\" before any other character stays as it is.
// Missing fields are empty; the mode is read like atol.
ConversionFields SplitConversion(std::string_view text);

// A typed directory as the server stores it: "\" becomes "/", a relative
// name is taken from "/", "." and ".." are resolved, and the result ends in
// exactly one "/". Empty stays empty.
std::string NormaliseDirectory(std::string_view typed);

}  // namespace orvyn::applet
