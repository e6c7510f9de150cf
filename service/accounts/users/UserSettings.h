// The per-user settings of a server instance: one key per user under the
// instance's Users key, with the pseudo-user "default" supplying fallbacks.
// Every reader opens the store for the call (through CServerRegistry), so a
// change made by another program is seen at the next read.
//
// User names address keys: "bob" is Users\bob, and a domain account
// "CORP\alice" is nested one level deeper, Users\CORP\alice. A name that
// cannot address a user's own key (empty, more than one "\", an empty part,
// a NUL, the rights key of "default", or a subkey of a user's key) reads as
// a user without settings and is refused by the writers.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/base/log/LogSink.h"
#include "service/base/settings/ServerRegistry.h"

namespace orvyn {

inline constexpr const char* kUsersSection = "Users";
inline constexpr const char* kDefaultUserName = "default";
inline constexpr const char* kDefaultRightsKey = "DefaultRights";
inline constexpr const char* kUserRightsKey = "Rights";
inline constexpr const char* kVirtualDirectoriesKey = "Virtual Directories";
inline constexpr const char* kPasswdValue = "Passwd";
inline constexpr size_t kMaxSuffixLength = 9;

// "anonymous" or "ftp", without regard to case.
bool IsAnonymousName(std::string_view name);
// The pseudo-user "default", without regard to case.
bool IsDefaultUser(std::string_view name);

// A user's name suffix: present when one is configured.
struct NameSuffix {
    bool present = false;
    std::string text;  // at most kMaxSuffixLength characters
};

class CUserSettings {
public:
    // log may be null.
    CUserSettings(CServerRegistry& registry, ILogSink* log);

    // Section names (for CServerRegistry) of a user's keys, nullopt for a
    // name that cannot address a user's key.
    static std::optional<std::string> UserSection(std::string_view user);
    // The user's rights entries; "Users\DefaultRights" for "default".
    static std::optional<std::string> RightsSection(std::string_view user);
    // The user's own virtual directories.
    static std::optional<std::string> VirtualDirsSection(std::string_view user);
    // The instance's virtual directories.
    static const char* InstanceVirtualDirsSection() { return kVirtualDirectoriesKey; }

    // The stored password hash, empty when there is none.
    std::string Passwd(std::string_view user) const;
    // The user's own Home, the Home of "default", and the first non-empty of
    // the two.
    std::string OwnHome(std::string_view user) const;
    std::string DefaultHome() const;
    std::string Home(std::string_view user) const;
    // Missing: 1 for an anonymous name, else the Restricted of "default" (0
    // when that is missing too).
    bool Restricted(std::string_view user) const;
    // Missing: the ForceEFS of "default", else 0.
    bool ForceEFS(std::string_view user) const;
    bool RemoteAdmin(std::string_view user) const;    // missing: 0
    bool XeroxDocutech(std::string_view user) const;  // missing: 0
    bool Disabled(std::string_view user) const;       // missing: 0
    // Missing: the instance's own HideVDirs, else 0.
    bool HideVDirs(std::string_view user) const;
    // AddSuffix, "*" (none) when missing. A value longer than
    // kMaxSuffixLength is logged under conn and counts as empty; an empty
    // suffix is no suffix.
    NameSuffix AddSuffix(std::string_view user, int conn = -1) const;

    // Writers; false for an unusable name or a failed write. The key is
    // created when missing. An empty Home or Passwd removes the value (the
    // user then falls back to the default home, or cannot log in with the
    // own password store); Restricted nullopt removes the value so that the
    // fallback applies.
    bool SetHome(std::string_view user, std::string_view home);
    bool SetPasswd(std::string_view user, std::string_view hash);
    bool SetRestricted(std::string_view user, std::optional<bool> restricted);
    bool SetDisabled(std::string_view user, bool disabled);

    // Deletes the user's key with all its subkeys (rights, virtual
    // directories). A domain key left without accounts and values goes too.
    bool DeleteUser(std::string_view user);

    // The users with a key, in store order: every subkey of Users except
    // "DefaultRights"; a subkey holding further keys other than "Rights" and
    // "Virtual Directories" is a domain, whose accounts are listed as
    // "domain\account" (the domain itself too when it holds values).
    std::vector<std::string> ListUsers() const;

private:
    long ReadUserInt(std::string_view user, const char* name, long def) const;
    std::string ReadUserString(std::string_view user, const char* name, std::string_view def) const;
    bool WriteUserString(std::string_view user, const char* name, std::string_view text);

    CServerRegistry& registry_;
    ILogSink* log_;
};

}  // namespace orvyn
