#include "service/transfer/conversions/Conversion.h"

#include <sys/stat.h>

#include <array>
#include <cctype>

#include "service/base/text/NoCase.h"

namespace orvyn {
namespace {

constexpr size_t kFields = 6;
constexpr std::array<size_t, kFields> kWidths = {kMaxConversionAffix, kMaxConversionAffix, kMaxConversionAffix,
                                                 kMaxConversionAffix, kMaxConversionCommand, kMaxConversionFlags};

std::optional<unsigned> ParseFlags(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    if (s.empty()) return std::nullopt;
    unsigned long long v = 0;
    for (char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        v = v * 10 + static_cast<unsigned>(c - '0');
        if (v > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<unsigned>(v);
}

void AppendEscaped(std::string& out, std::string_view field) {
    for (char c : field) {
        if (c == '\\' || c == '|') out += '\\';
        out += c;
    }
}

}  // namespace

std::optional<CConversion> ParseConversion(std::string_view name, std::string_view text) {
    std::array<std::string, kFields> fields;
    size_t index = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '|')) {
            c = text[++i];
        } else if (c == '|') {
            if (++index >= kFields) return std::nullopt;  // a seventh field
            continue;
        }
        if (fields[index].size() >= kWidths[index]) return std::nullopt;
        fields[index] += c;
    }
    if (index != kFields - 1) return std::nullopt;
    const auto flags = ParseFlags(fields[5]);
    if (!flags) return std::nullopt;

    CConversion c;
    c.name = std::string(name);
    c.localPrefix = std::move(fields[0]);
    c.localSuffix = std::move(fields[1]);
    c.requestedPrefix = std::move(fields[2]);
    c.requestedSuffix = std::move(fields[3]);
    c.command = std::move(fields[4]);
    c.flags = *flags;
    return c;
}

std::string FormatConversionValue(const CConversion& c) {
    std::string out;
    for (const std::string* f : {&c.localPrefix, &c.localSuffix, &c.requestedPrefix, &c.requestedSuffix, &c.command}) {
        AppendEscaped(out, *f);
        out += '|';
    }
    out += std::to_string(c.flags);
    return out;
}

LocalEntry ProbeLocalEntry(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string_view fileName = slash == std::string::npos ? std::string_view(path)
                                                                  : std::string_view(path).substr(slash + 1);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return LocalEntry::Missing;
    if (!fileName.empty() && fileName.front() == '.') return LocalEntry::Unusable;
    if (S_ISREG(st.st_mode)) return LocalEntry::File;
    if (S_ISDIR(st.st_mode)) return LocalEntry::Directory;
    return LocalEntry::Unusable;
}

std::optional<std::string> MapRequestedName(const CConversion& c, std::string_view requestedLocalPath) {
    if (c.localPrefix.find('/') != std::string::npos || c.localSuffix.find('/') != std::string::npos) {
        return std::nullopt;
    }
    const size_t slash = requestedLocalPath.rfind('/');
    const std::string_view folder =
        slash == std::string_view::npos ? std::string_view() : requestedLocalPath.substr(0, slash + 1);
    const std::string_view fileName =
        slash == std::string_view::npos ? requestedLocalPath : requestedLocalPath.substr(slash + 1);

    const std::string_view prefix = c.requestedPrefix;
    const std::string_view suffix = c.requestedSuffix;
    if (fileName.size() < prefix.size() + suffix.size()) return std::nullopt;
    if (!StartsWithNoCase(fileName, prefix) || !EndsWithNoCase(fileName, suffix)) return std::nullopt;
    const std::string_view base = fileName.substr(prefix.size(), fileName.size() - prefix.size() - suffix.size());

    const std::string localName = c.localPrefix + std::string(base) + c.localSuffix;
    if (localName.empty() || EqualsNoCase(localName, fileName)) return std::nullopt;
    if (localName == "." || localName == "..") return std::nullopt;
    return std::string(folder) + localName;
}

std::optional<ConversionMatch> FindConversion(const std::vector<ConversionValue>& values,
                                              std::string_view requestedLocalPath, bool binary,
                                              const LocalProbe& probe) {
    const unsigned modeBit = binary ? kConvertBinary : kConvertAscii;
    for (const ConversionValue& v : values) {
        auto c = ParseConversion(v.name, v.text);
        if (!c || !(c->flags & modeBit)) continue;
        auto local = MapRequestedName(*c, requestedLocalPath);
        if (!local) continue;
        const LocalEntry entry = probe(*local);
        const bool usable = (entry == LocalEntry::File && (c->flags & kConvertFiles)) ||
                            (entry == LocalEntry::Directory && (c->flags & kConvertDirectories));
        if (!usable) continue;
        return ConversionMatch{std::move(*c), std::move(*local), entry};
    }
    return std::nullopt;
}

}  // namespace orvyn
