// One ADMN subcommand being run (AdminCommands.cpp looks it up and runs
// it): the caller, the argument of SITE and its words, and what the
// subcommands share: argument rules, the syntax error, the audit line, the
// store and the caller's view of paths. The subcommands on the instance and
// its sessions are in AdminInstance.cpp, those on users and rights in
// AdminUsers.cpp.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "service/accounts/login/SessionAccount.h"
#include "service/accounts/paths/PathResolver.h"
#include "service/accounts/users/UserSettings.h"
#include "service/base/replies/SiteCatalogue.h"
#include "service/base/text/NoCase.h"
#include "service/core/admin/SiteWords.h"
#include "service/core/server/FtpServer.h"
#include "service/core/session/FtpSession.h"

namespace orvyn::admin {

// Longest number of minutes STOP takes (a year).
inline constexpr long kMaxStopMinutes = 525600;
// Longest text of an audit line's command.
inline constexpr size_t kMaxAuditText = 200;

enum class YesNo { Missing, Yes, No, Invalid };

inline YesNo ParseYesNo(std::string_view word) {
    if (word.empty()) return YesNo::Missing;
    if (EqualsNoCase(word, "y")) return YesNo::Yes;
    if (EqualsNoCase(word, "n")) return YesNo::No;
    return YesNo::Invalid;
}

inline const char* YN(bool on) { return on ? "Y" : "N"; }

// A count: one to nine decimal digits, nothing else.
inline std::optional<long> ParseCount(std::string_view word) {
    if (word.empty() || word.size() > 9) return std::nullopt;
    long v = 0;
    for (char c : word) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

// A number of minutes as atol reads it (0 when there is no number), kept
// within a year either way.
inline long ParseMinutes(std::string_view word) {
    const std::string text(word.substr(0, 16));
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v > kMaxStopMinutes) v = kMaxStopMinutes;
    if (v < -kMaxStopMinutes) v = -kMaxStopMinutes;
    return v;
}

// A connection id: the leading decimal digits (at most nine).
inline std::optional<long> ParseConnectionId(std::string_view word) {
    size_t n = 0;
    while (n < word.size() && word[n] >= '0' && word[n] <= '9') ++n;
    if (n == 0 || n > 9) return std::nullopt;
    return ParseCount(word.substr(0, n));
}

inline std::string WithSlash(std::string path) {
    if (!path.empty() && path.back() != '/') path += '/';
    return path;
}

// One ADMN subcommand being run: the caller, the argument of SITE and its
// words after "ADMN".
class AdminCall {
public:
    AdminCall(CFtpSession& session, std::string_view arg)
        : s_(session),
          arg_(arg),
          words_(arg.substr(4)),
          server_(session.server()),
          registry_(server_.registry()),
          users_(registry_, &server_.log()) {}

    std::string_view name() const { return words_.word(0); }
    void Run(void (AdminCall::*handler)()) { (this->*handler)(); }

    void User();
    void Stop();
    void Secu() { InstanceFlag("Secure", MSG_ADMN_SECU, false, &CServerSettings::secure); }
    void Alow();
    void Prxy() { InstanceFlag("RequireBackPort", MSG_ADMN_PRXY, true, &CServerSettings::requireBackPort); }
    void Lopt() { InstanceFlag("DisableLowPorts", MSG_ADMN_LOPT, true, &CServerSettings::disableLowPorts); }
    void Maxu() { InstanceCount("MaxUsers", MSG_ADMN_MAXU, &CServerSettings::maxUsers); }
    void Idle() { InstanceCount("TimeOut", MSG_ADMN_IDLE, &CServerSettings::timeOut); }
    void Elog();
    void Flog();
    void Mess();
    void Disc();
    void Addu();
    void Delu();
    void Chpw();
    void Setu();
    void Sthm();
    void Strt();
    void Lsrt();
    void Rmrt();
    void Usrs();
    void NotImplemented();
    void Resu();
    void Disa();

private:
    std::string_view a(size_t i) const { return words_.word(i); }
    std::string_view restFrom(size_t i) const { return words_.rest(i); }

    void Syntax() {
        s_.Reply(MSG_SITE_SYNTAX, std::string(arg_).c_str());
        s_.setStatusText("Fail");
    }
    // A warning line for a change: what was done, by whom, from where.
    void Audit(const std::string& what) {
        const std::string who = s_.userName().empty() ? std::string("{not-logged-in}") : s_.userName();
        server_.log().Log(s_.connectionNumber(), '!', "Remote administration: %.*s - by user %s from %s",
                          static_cast<int>(std::min(what.size(), kMaxAuditText)), what.c_str(), who.c_str(),
                          s_.PeerAddressText().c_str());
    }
    void AuditArg() { Audit("ADMN " + std::string(arg_.substr(5))); }
    // Writes an instance value and lets the running instance take it up.
    // Stores an instance setting and takes it into use; false (and said to
    // the caller) when it could not be stored.
    bool Persist(const char* section, const char* name, long value) {
        if (!registry_.WriteInt(section, name, value)) {
            NotStored();
            return false;
        }
        server_.RefreshSettings();
        return true;
    }
    // True (and the refusal answered) when a rights entry of this spelling
    // would land on a stored entry whose name differs only in case: entries
    // are paths, which compare with case, but the store keeps one value per
    // name whatever its case, so the other folder's entry would change.
    bool ClashesInCase(const std::string& key, const std::string& entry);
    // The store refused the change (full, read-only, held by another
    // program): nothing changed, and no audit line claims otherwise.
    void NotStored() {
        const std::string word(name());
        server_.log().Log(s_.connectionNumber(), '!', "ADMN %s could not be stored - nothing changed", word.c_str());
        s_.Reply(MSG_ADMN_NOT_STORED, word.c_str());
        s_.setStatusText("Fail");
    }
    void InstanceFlag(const char* value, int reply, bool inverted, bool CServerSettings::*field);
    void InstanceCount(const char* value, int reply, long CServerSettings::*field);

    // A user the subcommands may work on: one with a password, an
    // anonymous name or (where allowed) "default".
    bool HasPasswd(std::string_view user) const {
        return CUserSettings::UserSection(user).has_value() && !users_.Passwd(user).empty();
    }
    bool KnownUser(std::string_view user, bool orDefault) const {
        if (!CUserSettings::UserSection(user)) return false;
        return HasPasswd(user) || IsAnonymousName(user) || (orDefault && IsDefaultUser(user));
    }

    // The caller's view of paths.
    bool Resolve(std::string_view ftpPath, std::string& disk) {
        CSessionAccount& account = s_.account();
        UserIdentity identity(account.rights());
        if (!identity.ok()) return false;
        // A caller that is not logged in (a local administrator) has no
        // current directory: its paths count from the top of the tree.
        const std::string& current = account.currentDirectory();
        return s_.Resolver().Resolve(ftpPath, account.restrictionRoot(), current.empty() ? "/" : current,
                                     account.docutech(), account.maps(), disk);
    }
    std::string ShownPath(std::string disk) const {
        if (disk == "*") return disk;
        if (!DiskToFtpPath(disk, s_.account().restrictionRoot(), s_.account().maps())) return {};
        return disk;
    }
    // Rights of the sessions logged in as user are read again, so that an
    // entry added or removed counts at once.
    void ReloadRights(std::string_view user) {
        for (const auto& [sock, rec] : server_.sessionMap()) {
            CFtpSession* other = rec->session.get();
            if (other != nullptr && other->loggedIn() && EqualsNoCase(other->userName(), user)) {
                other->account().rights().Reload();
            }
        }
    }

    CFtpSession& s_;
    std::string_view arg_;
    SiteWords words_;
    CFtpServer& server_;
    CServerRegistry& registry_;
    CUserSettings users_;
};

}  // namespace orvyn::admin
