#include "service/transfer/listing/ListingPaths.h"

namespace orvyn::listing_paths {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

std::string Trimmed(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return std::string(path);
}

std::string AsFolder(std::string_view path) {
    std::string out = Trimmed(path);
    if (out.empty() || out.back() != '/') out.push_back('/');
    return out;
}

std::string Parent(std::string_view path) {
    const std::string trimmed = Trimmed(path);
    const std::size_t slash = trimmed.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return trimmed.substr(0, slash);
}

std::string LastComponent(std::string_view path) {
    const std::string trimmed = Trimmed(path);
    if (trimmed == "/") return "";
    const std::size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string Join(std::string_view folder, std::string_view name) {
    std::string out = AsFolder(folder);
    out.append(name);
    return out;
}

std::string JoinClient(std::string_view folder, std::string_view name) {
    std::string out(folder);
    if (!out.empty() && !IsSeparator(out.back())) out.push_back('/');
    out.append(name);
    return out;
}

std::string ClientLastComponent(std::string_view path) {
    std::size_t end = path.size();
    while (end > 0 && IsSeparator(path[end - 1])) --end;
    if (end == 0) return path.empty() ? std::string() : std::string("/");
    std::size_t begin = end;
    while (begin > 0 && !IsSeparator(path[begin - 1])) --begin;
    return std::string(path.substr(begin, end - begin));
}

std::string Normalise(std::string_view base, std::string_view path) {
    std::string full = (!path.empty() && path.front() == '/') ? std::string(path) : Join(base, path);
    std::vector<std::string_view> parts;
    std::string_view rest(full);
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string out;
    for (std::string_view part : parts) {
        out.push_back('/');
        out.append(part);
    }
    return out.empty() ? std::string("/") : out;
}

}  // namespace orvyn::listing_paths
