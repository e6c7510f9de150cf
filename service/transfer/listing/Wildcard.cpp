#include "service/transfer/listing/Wildcard.h"

#include <cstddef>

namespace orvyn {
namespace {

// Length of the UTF-8 sequence starting at text[i] (1 for a stray byte).
std::size_t CharLength(std::string_view text, std::size_t i) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t len = 1;
    if (lead >= 0xF0 && lead < 0xF8) len = 4;
    else if (lead >= 0xE0) len = lead < 0xF0 ? 3 : 1;
    else if (lead >= 0xC0) len = 2;
    if (i + len > text.size()) return 1;
    for (std::size_t k = 1; k < len; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 1;
    }
    return len;
}

}  // namespace

bool HasWildcard(std::string_view text) { return text.find_first_of("*?") != std::string_view::npos; }

bool NameWildcardMatch(std::string_view pattern, std::string_view name) {
    if (pattern == "*.*") return true;
    // Greedy matching with a single backtrack point: the latest '*' is
    // stretched one character at a time. Linear in practice, never
    // exponential, whatever the pattern.
    std::size_t p = 0, n = 0;
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            n += CharLength(name, n);
        } else if (p < pattern.size() && pattern[p] == name[n]) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            starN += CharLength(name, starN);
            n = starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace orvyn
