#include "service/accounts/paths/DiskPath.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstring>

#include "service/accounts/paths/DeviceNames.h"

namespace orvyn {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// At most this many components in path: one more than its separators.
size_t ComponentBound(std::string_view path) {
    size_t n = 1;
    for (const char c : path)
        if (IsSeparator(c)) ++n;
    return n;
}

// Collapses, drops "." and applies ".." to the components of an absolute
// path. clampAtRoot decides what ".." at the root does: fail (false) or stay
// at the root (true, the operating system's rule).
std::optional<std::string> Normalise(std::string_view path, bool clampAtRoot) {
    std::vector<std::string_view> parts;
    parts.reserve(ComponentBound(path));
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && IsSeparator(path[i])) ++i;
        size_t j = i;
        while (j < path.size() && !IsSeparator(path[j])) ++j;
        if (j > i) {
            const std::string_view part = path.substr(i, j - i);
            if (part == "..") {
                if (!parts.empty()) {
                    parts.pop_back();
                } else if (!clampAtRoot) {
                    return std::nullopt;
                }
            } else if (part != ".") {
                parts.push_back(part);
            }
        }
        i = j;
    }
    std::string out;
    out.reserve(path.size() + 1);
    for (const auto part : parts) {
        out += '/';
        out += part;
        if (out.size() > kMaxDiskPath) return std::nullopt;
    }
    if (out.empty()) out.push_back('/');
    return out;
}

// base joined with name the way both joins compose before normalising.
std::optional<std::string> Compose(std::string_view base, std::string_view name) {
    if (base.empty() || base[0] != '/') return std::nullopt;
    if (!name.empty() && IsSeparator(name[0])) return std::string(name);
    std::string joined(base);
    joined += '/';
    joined += name;
    return joined;
}

}  // namespace

std::string BackslashesAsSlashes(std::string_view name) {
    std::string out(name);
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

bool IsPathPrefix(std::string_view prefix, std::string_view path) {
    if (prefix.empty()) return true;
    size_t i = 0;
    while (i < prefix.size() && i < path.size() && prefix[i] == path[i]) ++i;
    // What is left of the prefix may only be its closing separator.
    if (i < prefix.size() && !(prefix.size() - i == 1 && prefix[i] == '/')) return false;
    // A match that ends inside a component must end at a component boundary
    // of the path as well.
    if (i > 0 && prefix[i - 1] != '/' && i < path.size() && path[i] != '/') return false;
    return true;
}

bool HasControlChars(std::string_view text) {
    // Eight bytes at a time: the top bit of a byte of `below` is set when
    // some byte is under 0x20, of `del` when some byte is 0x7f. (A borrow
    // can only start at a byte that is itself a match, so neither test ever
    // fires on text without one.)
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHigh = 0x8080808080808080ULL;
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t x;
        std::memcpy(&x, text.data() + i, sizeof x);
        const uint64_t below = (x - kOnes * 0x20) & ~x & kHigh;
        const uint64_t y = x ^ (kOnes * 0x7f);
        const uint64_t del = (y - kOnes) & ~y & kHigh;
        if ((below | del) != 0) return true;
    }
    for (; i < text.size(); ++i) {
        const auto u = static_cast<unsigned char>(text[i]);
        if (u < 0x20 || u == 0x7f) return true;
    }
    return false;
}

std::vector<std::string_view> SplitComponents(std::string_view path) {
    std::vector<std::string_view> parts;
    parts.reserve(ComponentBound(path));
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/') ++i;
        size_t j = i;
        while (j < path.size() && path[j] != '/') ++j;
        if (j > i) parts.push_back(path.substr(i, j - i));
        i = j;
    }
    return parts;
}

bool IsCleanAbsolute(std::string_view path) {
    if (path.empty() || path[0] != '/') return false;
    size_t i = 1;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        const std::string_view part = path.substr(i, j - i);
        if (part.empty() || part == "." || part == "..") return false;
        i = j + 1;
    }
    return true;
}

std::string WithoutTrailingSlash(std::string_view path) {
    std::string out(path);
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

std::string WithTrailingSlash(std::string_view path) {
    std::string out(path);
    if (out.empty() || out.back() != '/') out += '/';
    return out;
}

std::string ParentOf(std::string_view path) {
    const std::string trimmed = WithoutTrailingSlash(path);
    const size_t slash = trimmed.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return trimmed.substr(0, slash);
}

std::optional<std::string> OwnJoin(std::string_view base, std::string_view name) {
    const auto joined = Compose(base, BackslashesAsSlashes(name));
    if (!joined) return std::nullopt;
    return Normalise(*joined, false);
}

std::optional<std::string> PlatformJoin(std::string_view base, std::string_view name, const DeviceNames& devices) {
    struct stat st{};
    const std::string baseText(base);
    if (baseText.empty() || baseText[0] != '/' || stat(baseText.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    if (IsDevicePath(name, devices)) return std::nullopt;
    if (name.empty()) {
        auto self = Normalise(baseText, true);
        if (!self) return std::nullopt;
        std::string out = WithTrailingSlash(*self);
        if (out.size() > kMaxDiskPath) return std::nullopt;
        return out;
    }
    const auto joined = Compose(baseText, BackslashesAsSlashes(name));
    if (!joined) return std::nullopt;
    return Normalise(*joined, true);
}

void TrimTrailingDotsAndSpaces(std::string& path) {
    size_t end = path.size();
    while (end > 1 && (path[end - 1] == '.' || path[end - 1] == ' ')) --end;
    if (end == path.size()) return;
    // A component made only of dots and spaces is a name of its own.
    if (path[end - 1] == '/') return;
    path.resize(end);
}

}  // namespace orvyn
