// What a logged-in user may do at a disk path: read, create, overwrite,
// list. Two sources are combined, and a right must come from both:
//
//  - the file system: what the user's account may do to the file or folder
//    (or, when it does not exist yet, to its nearest existing folder), judged
//    from its permissions for the account's uid, gid and groups;
//  - the configuration: the rights entries of the user, then those of the
//    pseudo-user "default", each named by a disk path prefix (longest
//    covering entry wins) or "*"; used only while the instance's `Secure` is
//    on. Only the entry names are cached; the letters are read fresh. (A
//    session keeps what it read of the store, entry names and maps included,
//    for as long as the store's read stamp shows it unchanged: the next
//    command after any change reads again.)
//
// Uploads may further be switched off for the whole instance (`Allow_Puts`)
// or for anonymous users (`Allow_Anon_Puts`), which removes C and O.
//
// One PathRights belongs to one session. A listing worker on another thread
// gets its own copy (CopyFrom) and shares nothing that changes with the
// original: it has its own handle on the store and its own maps.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/accounts/Token.h"
#include "service/accounts/paths/VirtualDirs.h"
#include "service/base/text/RightsLetters.h"

namespace orvyn {

namespace reg {
class Store;
}
namespace accounts {
class ImpersonationScope;
}
class CServerRegistry;

class PathRights {
public:
    PathRights();
    // A PathRights destroyed while still impersonating says so on standard
    // error and reverts.
    ~PathRights();
    PathRights(const PathRights&) = delete;
    PathRights& operator=(const PathRights&) = delete;

    // Loads the rights of a user of an instance. root: the session's
    // restriction root ("" for none). token: the account's token; without
    // one, the service's own identity is judged. skipToken: judge nothing on
    // the file system (its part is then all rights). secureDefault: what
    // `Secure` means when the instance has no value for it.
    void Load(CServerRegistry& instance, std::string_view userName, std::string_view root,
              accounts::TokenPtr token, bool skipToken, bool secureDefault = true);

    // Re-reads the entry names of the user and of "default", and the virtual
    // directories.
    void Reload();

    // The rights mask at a disk path (a path ending in "/" is judged as a
    // folder). owner and group, when given, receive "noone" and "nogroup".
    int GetRights(std::string_view diskPath, bool reload, std::string* owner = nullptr,
                  std::string* group = nullptr);

    // The rights at a path whose object the caller has just examined: st is
    // its lstat and not a symbolic link (a folder's path ends in "/"). The
    // same mask as GetRights(diskPath, false); a frozen copy judges the
    // folder holding the object once (whether the account reaches it, its
    // file system) and the object from st, instead of walking the whole path
    // again for every entry of a listing.
    int GetExaminedRights(std::string_view diskPath, const struct stat& st);

    // Whether every bit of required is present, after a fresh reload. An
    // empty path or a path naming a device has no rights.
    bool HasRights(std::string_view diskPath, int required);
    // After HasRights(diskPath) and the open: the rights entries of the file
    // just opened as fd through diskPath, judged at the place the kernel
    // knows the open file by, not where the path leads now, so that a folder
    // swapped for a link between the check of the path and the open cannot
    // lend the file the rights of another place. (The file system's part was
    // judged with the path, and the open itself was made as the account.)
    bool OpenedHasRights(std::string_view diskPath, int fd, int required);
    // Whether every rights entry of the user or of "default" that lies inside
    // the folder at diskPath (or inside the place a link shows it for) grants
    // every bit of required: what a command given the whole folder at once
    // (a conversion packing it) may read of it without a check per file.
    bool EntriesInsideAllow(std::string_view diskPath, int required);

    // Takes on the account's file-system identity on the calling thread
    // (nested calls count); Revert undoes the latest one. Both do nothing
    // when no token is held. Impersonate and its Revert must run on the same
    // thread. Returns false, counting nothing, when the identity could not be
    // taken on: the caller must then not touch files for the account.
    bool Impersonate();
    void Revert();
    int impersonationDepth() const { return static_cast<int>(scopes_.size()); }

    // Becomes a copy of other for use on another thread: same instance,
    // user, root and switches, the same account (or the service's own when
    // other had none), entries re-read. Starts without impersonating.
    void CopyFrom(const PathRights& other);

    // Reads the settings once now (the Secure switch, the letters of every
    // entry) and keeps them instead of reading them again for every path.
    // For a copy that judges many paths at one moment, such as a listing
    // worker's; a reload reads afresh.
    void Freeze();

    const std::string& userName() const { return user_; }
    const std::string& userRightsKey() const { return userKey_; }
    const std::string& root() const { return root_; }
    bool writesAllowed() const { return writesAllowed_; }
    bool hasSessionToken() const { return hasSessionToken_; }
    bool holdsToken() const { return tokenHeld_; }
    const VirtualDirs& maps() const { return maps_; }
    const std::vector<std::string>& userEntries() const { return userEntries_; }
    const std::vector<std::string>& defaultEntries() const { return defaultEntries_; }

private:
    void ReadEntriesAndMaps();
    // What a transfer command's reload must do: nothing while the store is
    // known to be unchanged since the entries were read.
    void RefreshEntriesAndMaps();
    // Whether the Secure switch and entry letters read before may be used
    // again: always for a frozen copy; for a session while the store's read
    // stamp stays the same (what was kept under another one is dropped).
    bool MayKeepAnswers();
    // The entry names as stored, and as matched where they differ ("\"
    // written for "/"; empty for a name matched as it is).
    void ReadEntryNames(const std::string& section, std::vector<std::string>& names,
                        std::vector<std::string>& matched);
    int FileSystemRights(std::string_view path) const;
    // The file-system part from st, or nothing when only the full walk can
    // tell (the folder's state is unknown, or the object is a mount point).
    std::optional<int> ExaminedFileSystemRights(std::string_view path, const struct stat& st);
    // The configured part: the entries of the path, and those of its real
    // place when a symbolic link leads elsewhere (the stricter wins).
    // realPlace: the real place when the caller knows it already (nothing
    // inside: it could not be learnt); null to find it here.
    int ConfigurationRights(std::string_view path, const std::optional<std::string>* realPlace = nullptr);
    // The entry text a configured path is looked up under (back-mapped, with
    // a closing "/"), or nothing when it has no rights at all (too long,
    // outside the root).
    std::optional<std::string> AskedPath(std::string_view path) const;
    // Mask of the entries covering asked: the user's, then the default
    // user's, then (anyPathEntry) the "*" entries; all rights when none.
    int EntryMask(std::string_view asked, bool anyPathEntry);
    // The real place of an examined object (no link): its folder's, found
    // once per folder, with the object's name.
    std::optional<std::string> ExaminedRealPlace(std::string_view path);
    // Letters of the longest entry covering path, or -1 when none covers it.
    int EntryRights(const std::vector<std::string>& names, const std::vector<std::string>& matched,
                    const std::string& section, std::string_view path);
    void RevertAll();

    std::unique_ptr<reg::Store> store_;
    std::unique_ptr<CServerRegistry> settings_;
    bool secureDefault_ = true;
    std::string user_;
    std::string userKey_;
    std::string root_;
    bool writesAllowed_ = true;
    std::vector<std::string> userEntries_;
    std::vector<std::string> defaultEntries_;
    std::vector<std::string> userMatched_;
    std::vector<std::string> defaultMatched_;
    VirtualDirs maps_;
    bool tokenHeld_ = false;
    accounts::TokenPtr token_;  // null while held: the service's own identity
    bool hasSessionToken_ = false;
    std::vector<std::unique_ptr<accounts::ImpersonationScope>> scopes_;
    bool frozen_ = false;
    // The Secure switch and entry letters as read (see MayKeepAnswers).
    int keptSecure_ = -1;                                    // -1: not read yet
    std::map<std::string, int, std::less<>> keptLetters_;  // section + '\n' + entry -> mask
    std::string letterKey_;                                // keptLetters_'s lookup text, kept for its room
    bool lettersKept_ = false;  // every entry's letters were read by Freeze
    uint64_t answersStamp_ = 0;  // a session's: the read stamp keptSecure_ and keptLetters_ belong to
    uint64_t entriesStamp_ = 0;  // a session's: the read stamp the entries and maps were read at
    accounts::Token processToken_;  // the service's identity, judged when no account token is held

    // The folder a frozen copy judged last, for the entries inside it.
    struct ExaminedFolder {
        enum class Reach { Unknown, Reached, Denied };
        std::string path;  // without a trailing "/"; empty: nothing judged yet
        Reach reach = Reach::Unknown;
        dev_t device = 0;
        bool readOnly = false;
    };
    ExaminedFolder folder_;

    // The real place of the folder a frozen copy judged last.
    struct RealFolder {
        bool known = false;
        std::string path;
        std::optional<std::string> place;
    };
    RealFolder realFolder_;
};

}  // namespace orvyn
