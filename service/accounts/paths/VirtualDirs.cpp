#include "service/accounts/paths/VirtualDirs.h"

#include <vector>

#include "service/accounts/paths/DiskPath.h"
#include "service/accounts/users/UserSettings.h"
#include "service/base/settings/ServerRegistry.h"

namespace orvyn {

namespace {

// A stored path in the form the maps keep: absolute, clean, bounded, and
// without its trailing "/".
std::optional<std::string> MapPath(std::string_view text) {
    if (text.empty() || text.size() > kMaxDiskPath || HasControlChars(text)) return std::nullopt;
    if (!IsCleanAbsolute(text)) return std::nullopt;
    return WithoutTrailingSlash(text);
}

}  // namespace

void VirtualDirs::Clear() {
    forward_.clear();
    back_.clear();
}

bool VirtualDirs::Add(std::string_view name, std::string_view target) {
    const auto place = MapPath(name);
    const auto real = MapPath(target);
    if (!place || !real) return false;
    forward_[*place] = *real;
    back_[*real] = *place;
    return true;
}

void VirtualDirs::AddFromKey(CServerRegistry& settings, const std::string& section) {
    // Names come from the name-list reader, data from the string reader; a
    // subkey (or any value that is not text) reads as empty data and is
    // skipped like an entry without a target.
    const std::vector<std::string> names = settings.ListNames(section.c_str());
    for (const auto& name : names) {
        const std::string data = settings.ReadString(section.c_str(), name.c_str(), "");
        if (data.empty()) continue;
        Add(name, data);
    }
}

void VirtualDirs::Load(CServerRegistry& settings, std::string_view userName) {
    Clear();
    AddFromKey(settings, CUserSettings::InstanceVirtualDirsSection());
    if (const auto section = CUserSettings::VirtualDirsSection(userName)) AddFromKey(settings, *section);
}

std::optional<std::string> VirtualDirs::Forward(std::string_view place) const {
    const auto it = forward_.find(WithoutTrailingSlash(place));
    if (it == forward_.end()) return std::nullopt;
    return it->second;
}

bool VirtualDirs::IsTarget(std::string_view path) const {
    return !back_.empty() && !path.empty() && back_.count(WithoutTrailingSlash(path)) != 0;
}

std::string VirtualDirs::BackMap(std::string_view path, std::string* anchor) const {
    if (anchor) anchor->clear();
    std::string prefix = WithoutTrailingSlash(path);
    if (prefix.empty()) prefix.assign(1, '/');
    // Nothing mapped: the walk below would only take the path apart and put
    // it together again (it differs only for a path beginning with "//").
    if (back_.empty() && prefix.compare(0, 2, "//") != 0) {
        if (prefix.back() != '/') prefix += '/';
        return prefix;
    }
    std::string tail;  // components moved off the prefix, each followed by "/"
    size_t replacements = 0;
    for (;;) {
        if (replacements < back_.size()) {
            const auto it = back_.find(prefix);
            if (it != back_.end()) {
                if (anchor && replacements == 0) *anchor = it->first;
                prefix = it->second;
                ++replacements;
                continue;
            }
        }
        if (prefix == "/") break;
        const size_t slash = prefix.rfind('/');
        if (slash == std::string::npos) {
            // Not an absolute path: nothing more can be mapped.
            tail = prefix + "/" + tail;
            prefix.clear();
            break;
        }
        tail = prefix.substr(slash + 1) + "/" + tail;
        prefix.resize(slash == 0 ? 1 : slash);
    }
    return prefix.empty() ? tail : WithTrailingSlash(prefix) + tail;
}

}  // namespace orvyn
