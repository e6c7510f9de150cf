// The users editor's working form of an instance's user settings: the users
// key with one key per user, each user's flags, home and password hash, and
// the rights entries (folder path -> mask) read and written as letters.
//
// Rights entry names are folder paths ending in "/" or the single "*" (every
// path no other entry covers). Names read with "\" separators are taken with
// "/" ones. Paths compare as written (case-sensitive, like the file system).
// Nothing here uses Qt; every call reads or writes the store at once.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/Registry.h"
#include "service/base/text/RightsLetters.h"

namespace orvyn::applet {

// The four rights bits of the editor, as the service judges them.
enum : int {
    kRead = kRightRead,
    kCreate = kRightCreate,
    kOverwrite = kRightOverwrite,
    kList = kRightList,
    kAllFour = kAllRights,
};

inline constexpr const char* kDefaultUser = "default";
inline constexpr const char* kAnonymousUser = "anonymous";
inline constexpr const char* kEverywhere = "*";

// The letters of a mask in the order C, L, O, R; "" for no rights.
std::string LettersOfMask(int mask);

// The name of an entry for a folder path: "/" separators, a final "/"
// unless the path is "*" or already ends in one.
std::string EntryName(std::string path);

using RightsEntries = std::map<std::string, int, std::less<>>;

// The stored entry whose name differs from name only in case, or nullptr.
// The store keeps value names without regard to case, so such an entry and
// one for name would overwrite each other.
const std::string* EntryDifferingInCase(const RightsEntries& entries, std::string_view name);

// Effective rights of a folder: the entry for the path, else for each folder
// above it (cut back to the previous "/", keeping it), else "*". With none:
// all four for the pseudo-user "default" (defaults == nullptr), else the
// effective rights of "default" (*defaults) for the same path.
int EffectiveRights(const RightsEntries& own, const RightsEntries* defaults, std::string_view path);

// A home directory as the editor stores it: "/" separators, without a final
// "/" unless it is the root "/".
std::string HomeOfFolder(std::string path);

// One user's settings as edited. Three-state values: nullopt means "as the
// default user" (the value is absent).
struct UserRecord {
    std::string home;
    // A Home of a type the service does not read (expandable text, say):
    // the user has no home of its own, as for the service, and the stored
    // value stays as it is while home is empty and this is set.
    bool keepStoredHome = false;
    std::optional<bool> restricted;
    std::optional<bool> forceEfs;
    bool remoteAdmin = false;
    bool disabled = false;
    bool xerox = false;
    RightsEntries rights;
};

// The users key of one instance (Users, or Users\<domain> under the system
// account model with a domain chosen).
class CUsersKey {
public:
    CUsersKey(reg::IStore& store, const std::string& server, const std::string& domain = {});

    const std::string& path() const { return key_; }
    // The key of a user ("default" keeps its flags in its own key).
    std::string UserKey(std::string_view user) const;
    // The rights key: <user>\Rights, or DefaultRights for "default".
    std::string RightsKey(std::string_view user) const;

    // The users with a key ("DefaultRights" listed as "default").
    std::vector<std::string> Names() const;
    bool Exists(std::string_view user) const;

    // Missing values: Restricted nullopt (on for an anonymous name), ForceEFS
    // nullopt, the rest off; for "default" itself missing flags read as off.
    // An anonymous name is never a remote administrator.
    UserRecord Load(std::string_view user, bool xeroxOption) const;
    // Rights replaced by the record's, then Home, the flags ("default" has no
    // Disabled, RemoteAdmin, XeroxDocutech) and the three-state values (none:
    // the value is removed). False when the user's key cannot be written.
    bool Save(std::string_view user, const UserRecord& record, bool xeroxOption);
    // Only the rights entries of a user.
    RightsEntries LoadRights(std::string_view user) const;

    bool Create(std::string_view user);
    bool Delete(std::string_view user);
    // Stores the hash of password with a new salt.
    bool SetPassword(std::string_view user, std::string_view password);

private:
    reg::IStore& store_;
    std::string key_;
};

// "anonymous" or "ftp" in any case: the names the service logs in as the
// anonymous user.
bool IsAnonymousName(std::string_view user);

// Whether a name can be a user's key name: not empty, at most 50 bytes, no
// "\" or "/" and no control characters, not "DefaultRights".
bool ValidUserName(std::string_view name);

}  // namespace orvyn::applet
