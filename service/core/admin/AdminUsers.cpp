// ADMN subcommands on users: creating, deleting and disabling them, their
// passwords, restriction, homes and rights entries, and the user list.
#include <vector>

#include "service/accounts/hash/PasswordHash.h"
#include "service/core/admin/AdminCall.h"
#include "service/core/admin/AdminCommands.h"

namespace orvyn::admin {

void AdminCall::Addu() {
    const std::string_view user = a(1);
    // USER keeps at most kMaxUserName characters: a longer name could never
    // log in.
    if (user.empty() || user.size() > kMaxUserName || !CUserSettings::UserSection(user) || KnownUser(user, true)) {
        Syntax();
        return;
    }
    if (!users_.SetPasswd(user, kPlaceholderPasswd)) {
        NotStored();
        return;
    }
    s_.Reply(MSG_ADMN_ADDU, std::string(user).c_str());
    AuditArg();
}

void AdminCall::Delu() {
    const std::string user(a(1));
    if (user.empty()) {
        Syntax();
        return;
    }
    const std::optional<std::string> section = CUserSettings::UserSection(user);
    if (!section || !registry_.store().KeyExists(registry_.KeyPath(section->c_str())).ok()) {
        s_.Reply(MSG_ADMN_DELU_FAILED, user.c_str());
        return;
    }
    if (!users_.DeleteUser(user)) {
        NotStored();
        return;
    }
    s_.Reply(MSG_ADMN_DELU, user.c_str());
    AuditArg();
}

void AdminCall::Chpw() {
    const std::string user(a(1));
    const std::string_view password = restFrom(2);
    if (user.empty() || password.empty() || !HasPasswd(user)) {
        Syntax();
        return;
    }
    if (!users_.SetPasswd(user, PasswordHash(password, NewSalt()))) {
        NotStored();
        return;
    }
    s_.Reply(MSG_ADMN_CHPW, user.c_str());
    Audit("ADMN CHPW " + user);
}

void AdminCall::Setu() {
    const std::string user(a(1));
    const YesNo u = ParseYesNo(a(3));
    if (!(HasPasswd(user) || (IsAnonymousName(user) && CUserSettings::UserSection(user))) ||
        !EqualsNoCase(a(2), "CHRT") || u == YesNo::Invalid) {
        Syntax();
        return;
    }
    if (!users_.SetRestricted(user, u == YesNo::Missing ? std::nullopt : std::optional<bool>(u == YesNo::Yes))) {
        NotStored();
        return;
    }
    if (u == YesNo::Missing) {
        s_.Reply(MSG_ADMN_SETU, user.c_str(), "");
    } else {
        s_.Reply(MSG_ADMN_SETU, user.c_str(), YN(users_.Restricted(user)));
    }
    AuditArg();
}

void AdminCall::Sthm() {
    const std::string user(a(1));
    if (!(HasPasswd(user) || (IsAnonymousName(user) && CUserSettings::UserSection(user)))) {
        Syntax();
        return;
    }
    const std::string_view path = restFrom(2);
    if (!path.empty()) {
        std::string disk;
        if (Resolve(path, disk)) {
            if (!users_.SetHome(user, WithSlash(disk))) {
                NotStored();
                return;
            }
            Audit("ADMN STHM " + user + " " + WithSlash(disk));
        }
    }
    s_.Reply(MSG_ADMN_STHM, user.c_str(), ShownPath(users_.OwnHome(user)).c_str());
}

void AdminCall::Strt() {
    const std::string user(a(1));
    const std::string_view path = a(2);
    if (path.empty() || !KnownUser(user, true)) {
        Syntax();
        return;
    }
    std::string entry = "*";
    if (path != "*") {
        // An entry without a name would be a prefix of every path: a path
        // that does not resolve stores nothing.
        if (!Resolve(path, entry) || entry.empty()) {
            Syntax();
            return;
        }
        entry = WithSlash(entry);
    }
    const std::string rights(a(3));
    const std::optional<std::string> section = CUserSettings::RightsSection(user);
    const auto data = reg::StringData(rights.c_str());
    if (!section) {
        Syntax();
        return;
    }
    const std::string key = registry_.KeyPath(section->c_str());
    if (ClashesInCase(key, entry)) return;
    // Into the instance key only while it exists, as the instance's own writes.
    if (!registry_.store().SetValueIn(registry_.KeyPath(nullptr), key, entry, reg::REG_SZ, data.data(), data.size())
             .ok()) {
        NotStored();
        return;
    }
    ReloadRights(user);
    s_.Reply(MSG_ADMN_STRT, user.c_str(), ShownPath(entry).c_str(), rights.c_str());
    Audit("ADMN STRT " + user + " " + entry + " " + rights);
}

void AdminCall::Lsrt() {
    const std::string user(a(1));
    if (!KnownUser(user, true)) {
        Syntax();
        return;
    }
    const std::optional<std::string> section = CUserSettings::RightsSection(user);
    const std::vector<std::string> names = registry_.ListNames(section->c_str());
    struct Shown {
        std::string path;
        std::string rights;
    };
    std::vector<Shown> lines;
    for (const std::string& name : names) {
        std::string shown = ShownPath(name);
        if (shown.empty()) continue;
        if (shown != "*" && shown.back() != '/') shown += '/';
        lines.push_back({std::move(shown), registry_.ReadString(section->c_str(), name.c_str(), "")});
    }
    if (lines.empty()) {
        s_.ReplyText(MSG_ADMN_STRT_NONE);
        return;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        s_.Reply(i + 1 == lines.size() ? MSG_ADMN_STRT : MSG_ADMN_STRT_MORE, user.c_str(), lines[i].path.c_str(),
                 lines[i].rights.c_str());
    }
}

void AdminCall::Rmrt() {
    const std::string user(a(1));
    const std::string_view path = restFrom(2);
    if (path.empty() || !KnownUser(user, true)) {
        Syntax();
        return;
    }
    std::string entry = "*";
    if (a(2) != "*") {
        if (!Resolve(path, entry)) entry.clear();
        entry = WithSlash(entry);
    }
    const std::optional<std::string> section = CUserSettings::RightsSection(user);
    if (!entry.empty() && section) {
        if (ClashesInCase(registry_.KeyPath(section->c_str()), entry)) return;
        if (!registry_.WriteString(section->c_str(), entry.c_str(), nullptr)) {
            NotStored();
            return;
        }
        ReloadRights(user);
        Audit("ADMN RMRT " + user + " " + entry);
    }
    s_.Reply(MSG_ADMN_RMRT, user.c_str(), ShownPath(entry).c_str());
}

bool AdminCall::ClashesInCase(const std::string& key, const std::string& entry) {
    reg::Value stored;
    if (!registry_.store().QueryValue(key, entry, stored).ok() || stored.name == entry) return false;
    const std::string word(name());
    server_.log().Log(s_.connectionNumber(), '!', "ADMN %s refused - rights entry %s differs only in case from %s",
                      word.c_str(), entry.c_str(), stored.name.c_str());
    s_.WriteText("550 ADMN " + word + " refused - " + ShownPath(entry) + " differs only in case from the entry " +
                     ShownPath(stored.name) + "; nothing changed.\r\n",
                 false);
    s_.setStatusText("Fail");
    return true;
}

void AdminCall::Usrs() {
    std::vector<std::string> names;
    for (const std::string& name : registry_.ListNames(kUsersSection)) {
        if (IsDefaultUser(name) || EqualsNoCase(name, kDefaultRightsKey)) continue;
        names.push_back(name);
    }
    if (names.empty()) {
        s_.ReplyText(MSG_ADMN_USRS_NONE);
        return;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        s_.Reply(i + 1 == names.size() ? MSG_ADMN_USRS : MSG_ADMN_USRS_MORE, names[i].c_str());
    }
}

void AdminCall::Disa() {
    const std::string user(a(1));
    if (user.empty() || !CUserSettings::UserSection(user)) {
        Syntax();
        return;
    }
    if (!users_.SetDisabled(user, !EqualsNoCase(a(2), "y"))) {
        NotStored();
        return;
    }
    s_.ReplyText(MSG_ADMN_DISA_DONE);
    AuditArg();
    for (eventloop::Socket sock : server_.sessionMap().Sockets()) {
        CSessionRecord* rec = server_.FindSession(sock);
        if (rec == nullptr || !EqualsNoCase(rec->session->userName(), user)) continue;
        CFtpSession& other = *rec->session;
        other.setAcceptingCommands(false);
        // The caller itself ends after this reply. Another session is told
        // and closed now; one in a transfer loses it, as with DISC: a user
        // who is disabled is disconnected, not left to finish.
        if (&other == &s_) continue;
        if (other.TransferBusy()) {
            server_.DisconnectSession(other);
            continue;
        }
        other.ClosingGate();
        other.CloseSession();
    }
}

}  // namespace orvyn::admin
