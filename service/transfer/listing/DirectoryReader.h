// Reads folders for listings: one ListEntry per name, handed to a sink as
// soon as it is built so that a caller that does not sort never holds more
// than one entry.
//
// Hidden entries (names starting with ".") are never listed, nor are "."
// and "..". A symbolic link named *.lnk is a shortcut: when its target exists
// and the client can see it, the entry shows the link's own data with the
// ".lnk" ending removed and the target's client path; otherwise it is an
// ordinary file under its own name. Any other symbolic link shows what it
// leads to when that lies where the client may go, else its own status. A name ending in the user's name suffix is shown without it.
// Virtual directories configured directly inside the folder are added as
// folders, with the times of the directory they stand for.
//
// Every entry's rights come from the rightsOf callback, so the reader knows
// nothing of how rights are kept. The stop flag is checked before every
// entry: a worker told to finish leaves even a huge folder at once.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/transfer/listing/ListEntry.h"

namespace orvyn {

struct VirtualDirectory {
    std::string place;   // disk path where it is shown (does not exist on disk)
    std::string target;  // the existing folder it stands for
};

struct ReaderSettings {
    // Rights mask at a disk path; folder paths are passed with a trailing
    // "/". Without a callback every path has all rights.
    std::function<int(const std::string& diskPath)> rightsOf;
    // Rights mask at a path whose object was just examined (st: its lstat,
    // never a symbolic link): the same answer as rightsOf, which is asked
    // instead when this is unset. Lets the rights skip examining the object
    // again for every entry.
    std::function<int(const std::string& diskPath, const struct stat& st)> examinedRightsOf;
    // The path a client sees for a disk path, or nothing when the client
    // cannot see it. Without a callback no shortcut resolves.
    std::function<std::optional<std::string>(const std::string& diskPath)> clientPathOf;
    // Whether what the symbolic link at a disk path leads to lies where the
    // client may go. A link leading elsewhere is shown by its own status,
    // never by its target's. Without a callback every link is followed.
    std::function<bool(const std::string& linkPath)> linkLeadsInside;
    std::vector<VirtualDirectory> virtualDirs;
    std::string nameSuffix;  // hidden from names ending in it (letter case ignored)
    bool hideDotFiles = true;  // names starting with "." are hidden entries
    std::string owner = "noone";
    std::string group = "nogroup";
};

struct ReadRequest {
    std::string_view pattern;  // wildcard the names must match; empty: every name
    bool sizesOnly = false;    // only what totals and widths need: no rights, no shortcuts
    bool requireList = false;  // leave out entries without the L right
    bool machine = false;      // names as on disk, every link followed, "." and ".." reported
    // Only names and whether each entry is a folder are used: no sizes,
    // times or rights. Entries the folder's own records describe fully are
    // then built without examining them one by one.
    bool namesOnly = false;
};

class DirectoryReader {
public:
    enum class Status {
        Done,        // every entry was handed over
        Stopped,     // the stop flag was raised or the sink refused an entry
        Unreadable,  // the folder could not be opened (no access, gone): nothing was read
        Failed,      // reading broke off part way, or no descriptor or memory was left to open it
    };
    // Takes an entry; returns false to end the read.
    using Sink = std::function<bool(ListEntry&&)>;

    // stop may be null (never stopped).
    DirectoryReader(ReaderSettings settings, const std::atomic<bool>* stop);

    Status Read(const std::string& folder, const ReadRequest& request, const Sink& sink) const;

    // The entry of one path, shown under shownName (the name the client
    // used); nothing when the path does not exist.
    std::optional<ListEntry> ReadOne(const std::string& path, std::string_view shownName) const;

    // Rights mask at a path; folder selects the folder form of the path.
    int RightsOf(const std::string& path, bool folder) const;
    bool stopRequested() const { return stop_ != nullptr && stop_->load(std::memory_order_relaxed); }
    const ReaderSettings& settings() const { return settings_; }

    // Where a real folder is shown when it lies inside virtual directories
    // (the folder itself otherwise).
    std::string PlaceOf(const std::string& folder) const;

private:
    enum class Style { Listing, Machine, Sizes };

    std::optional<ListEntry> Build(int dirFd, const char* statName, const std::string& path,
                                   const std::string& diskName, std::string_view shownBase, Style style,
                                   bool requireList) const;
    // The name an entry is shown under: without the ".lnk" of a shortcut and
    // without the user's name suffix.
    std::string ShownName(std::string_view base, bool shortcut) const;
    Status ReadVirtual(const std::string& folder, const ReadRequest& request, Style style, const Sink& sink) const;
    bool Hidden(std::string_view name) const {
        return settings_.hideDotFiles && !name.empty() && name.front() == '.';
    }

    ReaderSettings settings_;
    const std::atomic<bool>* stop_;
};

// The target of a shortcut (a symbolic link; a relative target is taken from
// the link's folder) when it exists, as a normalised absolute path.
std::optional<std::string> ShortcutLinkTarget(const std::string& linkPath);

// Whether a name ends in ".lnk" in any letter case.
bool IsShortcutFileName(std::string_view name);

}  // namespace orvyn
