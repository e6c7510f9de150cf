// Virtual directories: folders shown at a place where nothing exists on disk
// and standing for an existing directory elsewhere. The forward map takes the
// place where one is shown (the value name of a `Virtual Directories` entry)
// to the directory it stands for (the value data); the back map goes the
// other way. Both sides are disk paths compared byte for byte: the file
// system tells "Pub" from "pub", so the maps do too.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace orvyn {

class CServerRegistry;

class VirtualDirs {
public:
    using Map = std::map<std::string, std::string, std::less<>>;

    void Clear();
    bool empty() const { return forward_.empty() && back_.empty(); }

    // Adds one entry; a later entry with the same name replaces the earlier
    // forward entry, one with the same target replaces the earlier back entry.
    // Both sides must be absolute, clean paths (no "." or ".." component, no
    // control characters) of at most kMaxDiskPath bytes; a trailing "/" is
    // dropped. Returns false (and adds nothing) for an entry that breaks
    // these rules or has an empty target.
    bool Add(std::string_view name, std::string_view target);

    // Adds every entry of a `Virtual Directories` key: section is the key's
    // section name for the settings reader (see CServerRegistry).
    void AddFromKey(CServerRegistry& settings, const std::string& section);

    // The maps of a user: the instance's entries, then the user's own, so a
    // user's entry wins. A name that cannot address a user's key (an empty
    // one among them) reads the instance's entries only.
    void Load(CServerRegistry& settings, std::string_view userName);

    // The directory a place stands for, when the place (without a trailing
    // "/") is a virtual directory.
    std::optional<std::string> Forward(std::string_view place) const;

    // Whether a disk path (with or without a trailing "/") is the directory
    // a virtual directory stands for.
    bool IsTarget(std::string_view path) const;

    // Back-map: turns a real path that lies inside virtual directories into
    // the path where it is shown. The longest leading part of the path that is
    // a target is replaced by its place, and the result is looked up again
    // (virtual directories inside virtual directories); a configuration whose
    // entries map onto each other in a cycle stops after as many replacements
    // as there are entries. The result always ends in "/". When anchor is
    // given it receives the first target that matched (empty when none did):
    // the real directory through which the path was reached.
    std::string BackMap(std::string_view path, std::string* anchor = nullptr) const;

    const Map& forward() const { return forward_; }
    const Map& back() const { return back_; }

private:
    Map forward_;  // place -> target
    Map back_;     // target -> place
};

}  // namespace orvyn
