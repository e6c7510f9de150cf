#include "platform/registry/KeyNames.h"

namespace orvyn::reg {

std::vector<std::string> SplitKeyPath(std::string_view path) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) names.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

namespace detail {

std::string Fold(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return folded;
}

size_t CharCount(std::string_view text) {
    size_t n = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) ++n;
    }
    return n;
}

namespace {

Status Invalid(std::string message) { return {kInvalidParameter, std::move(message)}; }

}  // namespace

Status CheckKeyName(std::string_view name) {
    if (name.empty()) return Invalid("empty key name");
    if (name.find('\\') != std::string_view::npos) return Invalid("key name contains \"\\\"");
    if (name.find('\0') != std::string_view::npos) return Invalid("key name contains a NUL character");
    if (CharCount(name) > kMaxKeyNameChars) {
        return Invalid("key name longer than " + std::to_string(kMaxKeyNameChars) + " characters");
    }
    return Status::Ok();
}

Status CheckValueName(std::string_view name) {
    if (name.find('\0') != std::string_view::npos) return Invalid("value name contains a NUL character");
    if (CharCount(name) > kMaxValueNameChars) {
        return Invalid("value name longer than " + std::to_string(kMaxValueNameChars) + " characters");
    }
    return Status::Ok();
}

Status ParseKeyPath(std::string_view path, std::vector<std::string>& names) {
    names = SplitKeyPath(path);
    if (names.size() > kMaxKeyDepth) {
        return Invalid("key path deeper than " + std::to_string(kMaxKeyDepth) + " levels");
    }
    for (const std::string& name : names) {
        if (Status st = CheckKeyName(name); !st) return st;
    }
    return Status::Ok();
}

std::string JoinKeyPath(const std::vector<std::string>& names) {
    std::string path;
    for (const std::string& name : names) {
        if (!path.empty()) path += '\\';
        path += name;
    }
    return path;
}

}  // namespace detail
}  // namespace orvyn::reg
