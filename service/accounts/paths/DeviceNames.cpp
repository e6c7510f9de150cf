#include "service/accounts/paths/DeviceNames.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "service/accounts/paths/DiskPath.h"
#include "service/base/settings/ServerRegistry.h"

namespace orvyn {

DeviceNames::DeviceNames(std::string_view list) {
    size_t i = 0;
    while (i <= list.size()) {
        size_t comma = list.find(',', i);
        if (comma == std::string_view::npos) comma = list.size();
        // A name with a NUL in it could never match a component anyway.
        const std::string_view name = list.substr(i, comma - i);
        if (!name.empty() && name.find('\0') == std::string_view::npos) {
            names_.emplace(name);
            longest_ = std::max(longest_, name.size());
        }
        i = comma + 1;
    }
}

bool DeviceNames::Contains(std::string_view name) const {
    if (name.empty() || name.find('\0') != std::string_view::npos) return false;
    return names_.count(name) != 0;
}

const DeviceNames& DeviceNames::ForProcess(const CServerRegistry& settings) {
    static std::once_flag once;
    static std::unique_ptr<const DeviceNames> names;
    std::call_once(once, [&settings] {
        names = std::make_unique<const DeviceNames>(
            settings.ReadString("General", "DeviceNames", kDefaultDeviceNames));
    });
    return *names;
}

bool IsDevicePath(std::string_view path, const DeviceNames& devices) {
    size_t i = 0;
    while (i < path.size()) {
        size_t j = i;
        while (j < path.size() && path[j] != '/' && path[j] != '\\') ++j;
        if (j - i > kMaxDiskPath) return true;
        const std::string_view component = path.substr(i, j - i);
        const size_t colons = static_cast<size_t>(std::count(component.begin(), component.end(), ':'));
        if (colons == 0) {
            // The usual case: the component is compared as it stands.
            if (component.size() <= devices.longest() && devices.Contains(component)) return true;
        } else if (component.size() - colons <= devices.longest()) {
            std::string part;
            part.reserve(component.size() - colons);
            for (const char c : component)
                if (c != ':') part += c;
            if (devices.Contains(part)) return true;
        }
        i = j + 1;
    }
    return false;
}

}  // namespace orvyn
