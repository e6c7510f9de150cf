// Names that may never be used as file names: the comma-separated
// `DeviceNames` value of the product key. Compared without regard to ASCII
// letter case.
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "service/base/text/NoCase.h"

namespace orvyn {

class CServerRegistry;

inline constexpr const char* kDefaultDeviceNames =
    "CON,AUX,PRN,LPT1,LPT2,LPT3,LPT4,LPT5,LPT6,LPT7,LPT8,LPT9,COM1,COM2,COM3,COM4,COM5,COM6,COM7,COM8,COM9,"
    "CLOCK$,CONFIG$,XMSXXXX0,$MMXXXX0,MSCD000,DBLBUFF$,IFS$HLP$";

class DeviceNames {
public:
    // list: names separated by commas; empty names are skipped.
    explicit DeviceNames(std::string_view list = kDefaultDeviceNames);

    bool Contains(std::string_view name) const;
    size_t size() const { return names_.size(); }
    // The length of the longest name (no longer text can be one).
    size_t longest() const { return longest_; }

    // The list of this process: read from the product key on the first call
    // (the settings only decide which store is read then) and kept until the
    // process ends. Safe to call from any thread.
    static const DeviceNames& ForProcess(const CServerRegistry& settings);

private:
    std::set<std::string, LessNoCase> names_;
    size_t longest_ = 0;
};

// Whether any component of the path ("/" and "\" both separate, every ":"
// removed first) is a device name, or is longer than a disk path may be.
bool IsDevicePath(std::string_view path, const DeviceNames& devices);

}  // namespace orvyn
