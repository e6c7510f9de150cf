// Comparing names without regard to letter case: protocol words, command-line
// switches, store key names, device names and file extensions.
//
// Only the ASCII letters fold (A-Z equals a-z). Every other byte, digits,
// signs, NUL and bytes above 0x7F alike, compares as it is, whatever the
// locale: the same as strcasecmp in the "C" locale, without stopping at a NUL.
#pragma once

#include <cstddef>
#include <string_view>

namespace orvyn {

// c in lower case when it is an ASCII capital letter; any other byte as it is.
constexpr char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether a and b are equally long and differ at most in the case of ASCII
// letters.
constexpr bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

// Whether text begins with prefix, compared as EqualsNoCase does.
constexpr bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// Whether text ends with suffix, compared as EqualsNoCase does.
constexpr bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

// An ordering for sets and maps of names: byte by byte after AsciiLower, bytes
// taken as unsigned, a text before every longer text it begins. Two texts are
// equivalent exactly when EqualsNoCase holds. Transparent: a std::string_view
// looks a key up without a copy.
struct LessNoCase {
    using is_transparent = void;
    constexpr bool operator()(std::string_view a, std::string_view b) const {
        const std::size_t n = a.size() < b.size() ? a.size() : b.size();
        for (std::size_t i = 0; i < n; ++i) {
            const auto ca = static_cast<unsigned char>(AsciiLower(a[i]));
            const auto cb = static_cast<unsigned char>(AsciiLower(b[i]));
            if (ca != cb) return ca < cb;
        }
        return a.size() < b.size();
    }
};

}  // namespace orvyn
