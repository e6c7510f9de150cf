// Conversions between the text form of value types and data used on the
// command line and the raw form kept in the store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/Registry.h"

namespace orvyn::regtool {

// "REG_SZ", "REG_DWORD", ... in any letter case; nullopt for anything else.
std::optional<uint32_t> ParseTypeName(std::string_view name);

// The name printed for a stored type number; numbers without a name print as
// "REG_TYPE_<n>".
std::string TypeName(uint32_t type);

// Builds the stored bytes of a value from its text form. text is nullopt when
// no data was given. On failure returns false with the reason in error.
//   REG_SZ, REG_EXPAND_SZ   the text and a terminating NUL (no text: empty string)
//   REG_MULTI_SZ            items separated by the two characters \0, stored as
//                           item NUL item NUL NUL; empty items are refused since
//                           they would end the list early
//   REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_QWORD
//                           decimal or 0x followed by hex digits, within range
//   REG_BINARY, REG_NONE    an even number of hex digits (no text: no bytes)
bool EncodeData(uint32_t type, const std::optional<std::string>& text,
                std::vector<uint8_t>& out, std::string& error);

// The text printed for stored data. Numbers whose size does not match their
// type, and types without a text form, print as hex digits.
std::string FormatData(uint32_t type, const std::vector<uint8_t>& data);

// Unsigned number in decimal or with a 0x/0X prefix in hex, at most max.
std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max);

// One line of query output: four blanks, the name ("(Default)" for the
// unnamed value), four blanks, the type name, four blanks, the data, newline.
std::string ValueLine(const reg::Value& value);

// Upper-case hex digits, two per byte.
std::string HexDigits(const std::vector<uint8_t>& data);

// An even number of hex digits (any case) to bytes.
std::optional<std::vector<uint8_t>> ParseHexDigits(std::string_view text);

}  // namespace orvyn::regtool
