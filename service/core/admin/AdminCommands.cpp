#include "service/core/admin/AdminCommands.h"

#include <sys/socket.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "service/accounts/hash/PasswordHash.h"
#include "service/accounts/paths/PathResolver.h"
#include "service/accounts/users/UserSettings.h"
#include "service/base/replies/Catalogue.h"
#include "service/base/replies/SiteCatalogue.h"
#include "service/base/text/NoCase.h"
#include "service/core/admin/MonitorFeed.h"
#include "service/core/admin/SiteCommands.h"
#include "service/core/admin/SiteWords.h"
#include "service/core/server/FtpServer.h"
#include "service/core/server/HostRules.h"
#include "service/core/session/FtpSession.h"

namespace orvyn {
namespace {

// Longest number of minutes STOP takes (a year).
constexpr long kMaxStopMinutes = 525600;
// Longest text of an audit line's command.
constexpr size_t kMaxAuditText = 200;

enum class YesNo { Missing, Yes, No, Invalid };

YesNo ParseYesNo(std::string_view word) {
    if (word.empty()) return YesNo::Missing;
    if (EqualsNoCase(word, "y")) return YesNo::Yes;
    if (EqualsNoCase(word, "n")) return YesNo::No;
    return YesNo::Invalid;
}

const char* YN(bool on) { return on ? "Y" : "N"; }

// A count: one to nine decimal digits, nothing else.
std::optional<long> ParseCount(std::string_view word) {
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
long ParseMinutes(std::string_view word) {
    const std::string text(word.substr(0, 16));
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v > kMaxStopMinutes) v = kMaxStopMinutes;
    if (v < -kMaxStopMinutes) v = -kMaxStopMinutes;
    return v;
}

std::string WithSlash(std::string path) {
    if (!path.empty() && path.back() != '/') path += '/';
    return path;
}

// The logging categories ELOG switches, with their defaults.
struct LogCategory {
    const char* word;
    const char* value;
    bool def;
};
constexpr LogCategory kLogCategories[] = {
    {"ANON", "Anonymous", false}, {"COMM", "Commands", false}, {"GETS", "Gets", false},
    {"PUTS", "Puts", false},      {"SOCK", "Winsock", false},  {"USER", "Logins", false},
    {"WARN", "Warnings", true},
};

class AdminCall;
using AdminHandler = void (AdminCall::*)();

struct AdminCommand {
    char name[8];  // four letters, NUL-padded
    int number;
    AdminHandler handler;
};

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
    void Run(AdminHandler handler) { (this->*handler)(); }

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
    void Persist(const char* section, const char* name, long value) {
        if (!registry_.WriteInt(section, name, value)) {
            server_.log().Log(s_.connectionNumber(), '!', "Could not store %s - the setting is unchanged", name);
        }
        server_.RefreshSettings();
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

void AdminCall::User() {
    const std::string_view name = a(1);
    const std::string_view password = a(2);
    if (name.empty() || password.empty()) {
        Syntax();
        return;
    }
    s_.setLoggedIn(false);
    s_.account().Reset();
    s_.setUserDetail(std::string());
    s_.setUserName(std::string(name.substr(0, kMaxUserName)));
    const bool anonymous = name == "anonymous" || name == "ftp" || IsAnonymousName(name);
    if (!anonymous && users_.RemoteAdmin(s_.userName())) {
        LoginWithPassword(s_, password);
    } else {
        s_.ReplyText(MSG_PASSWORD_INCORRECT);
        s_.setStatusText("Fail");
        server_.log().Log(s_.connectionNumber(), 'C', "Non admin user %s tried to log in as admin.",
                          s_.userName().c_str());
    }
}

void AdminCall::Stop() {
    const long m = a(1).empty() ? 0 : ParseMinutes(a(1));
    const long r = a(2).empty() ? -1 : ParseMinutes(a(2));
    std::string text;
    if (m == 0) {
        text = "Stop immediately, ";
    } else if (m < 0) {
        text = "Stop when everyone logs out, ";
    } else {
        text = "Stop in " + std::to_string(m) + " minutes, ";
    }
    text += r < 1 ? std::string("no expected restart time.")
                  : "expected restart in " + std::to_string(r) + " minutes.";
    s_.Reply(MSG_ADMN_STOP, static_cast<int>(m), static_cast<int>(r), text.c_str());
    server_.SetStopState(m < 0 ? -1 : static_cast<int>(m), r < 0 ? 0 : static_cast<int>(r));
    Audit("ADMN STOP - " + text);
}

void AdminCall::InstanceFlag(const char* value, int reply, bool inverted, bool CServerSettings::*field) {
    const YesNo u = ParseYesNo(a(1));
    if (u == YesNo::Invalid) {
        Syntax();
        return;
    }
    if (u != YesNo::Missing) {
        const bool on = u == YesNo::Yes;
        Persist("Security", value, (inverted ? !on : on) ? 1 : 0);
        AuditArg();
    }
    const bool state = server_.settings().*field;
    s_.Reply(reply, YN(inverted ? !state : state));
}

void AdminCall::InstanceCount(const char* value, int reply, long CServerSettings::*field) {
    if (!a(1).empty()) {
        const std::optional<long> n = ParseCount(a(1));
        if (!n) {
            Syntax();
            return;
        }
        Persist("Security", value, *n);
        AuditArg();
    }
    s_.Reply(reply, static_cast<int>(server_.settings().*field));
}

void AdminCall::Alow() {
    struct Switch {
        const char* word;
        const char* value;
        int reply;
        bool CServerSettings::*field;
    };
    static constexpr Switch kSwitches[] = {
        {"STOR", "Allow_Puts", MSG_ADMN_ALOW_STOR, &CServerSettings::allowPuts},
        {"ANON", "Allow_Anon", MSG_ADMN_ALOW_ANON, &CServerSettings::allowAnon},
        {"ANST", "Allow_Anon_Puts", MSG_ADMN_ALOW_ANST, &CServerSettings::allowAnonPuts},
    };
    const YesNo u = ParseYesNo(a(2));
    const Switch* chosen = nullptr;
    for (const Switch& sw : kSwitches) {
        if (EqualsNoCase(a(1), sw.word)) chosen = &sw;
    }
    if (chosen == nullptr || u == YesNo::Invalid) {
        Syntax();
        return;
    }
    if (u != YesNo::Missing) {
        Persist("Security", chosen->value, u == YesNo::Yes ? 1 : 0);
        AuditArg();
    }
    s_.Reply(chosen->reply, YN(server_.settings().*(chosen->field)));
}

void AdminCall::Elog() {
    const YesNo u = ParseYesNo(a(1));
    if (u == YesNo::Missing || u == YesNo::Yes || u == YesNo::No) {
        if (u != YesNo::Missing) {
            registry_.WriteInt("Logging", "Enable", u == YesNo::Yes ? 1 : 0);
            AuditArg();
        }
        s_.Reply(MSG_ADMN_ELOG, YN(registry_.ReadFlag("Logging", "Enable", false)));
        return;
    }
    const LogCategory* category = nullptr;
    for (const LogCategory& c : kLogCategories) {
        if (EqualsNoCase(a(1), c.word)) category = &c;
    }
    const YesNo v = ParseYesNo(a(2));
    if (category == nullptr || v == YesNo::Invalid) {
        Syntax();
        return;
    }
    if (v != YesNo::Missing) {
        registry_.WriteInt("Logging", category->value, v == YesNo::Yes ? 1 : 0);
        AuditArg();
    }
    s_.Reply(MSG_ADMN_ELOG_CATEGORY, category->word, YN(registry_.ReadFlag("Logging", category->value, category->def)));
}

void AdminCall::Flog() {
    const std::string_view path = restFrom(1);
    if (!path.empty()) {
        std::string disk;
        if (Resolve(path, disk)) {
            registry_.WriteString("Logging", "LogFile", disk.c_str());
            Audit("ADMN FLOG " + disk);
        }
    }
    const std::string shown = ShownPath(registry_.ReadString("Logging", "LogFile", ""));
    if (shown.empty()) {
        s_.ReplyText(MSG_ADMN_FLOG_ELSEWHERE);
    } else {
        s_.Reply(MSG_ADMN_FLOG, shown.c_str());
    }
}

void AdminCall::Mess() {
    if (EqualsNoCase(a(1), "HELO")) {
        // The greeting exactly as a new connection gets it.
        for (const std::string& line : server_.greetingLines()) {
            s_.Reply(MSG_GREET_LINE, ExpandMacros(line, s_).c_str());
        }
        s_.Reply(MSG_GREET, kProductVersion);
        return;
    }
    if (EqualsNoCase(a(1), "BBYE")) {
        s_.SayGoodbye();
        return;
    }
    const YesNo u = ParseYesNo(a(2));
    if (!EqualsNoCase(a(1), "MCWD") || u == YesNo::Invalid) {
        Syntax();
        return;
    }
    if (u != YesNo::Missing) {
        Persist("Messages", "MESSAGE.FTP", u == YesNo::Yes ? 1 : 0);
        AuditArg();
    }
    s_.Reply(MSG_ADMN_MCWD, YN(server_.settings().messageFtp));
}

void AdminCall::Disc() {
    const std::string_view id = a(1);
    if (id.empty() || id[0] < '0' || id[0] > '9') {
        Syntax();
        return;
    }
    const long socket = ParseMinutes(id);  // the leading digits
    CSessionRecord* rec = server_.FindSession(static_cast<eventloop::Socket>(socket));
    if (rec == nullptr || rec->session.get() == &s_ || socket > 0x7fffffff) {
        s_.setStatusText("Fail");
        s_.ReplyText(MSG_ADMN_DISC_FAILED);
        return;
    }
    const std::string user = rec->session->userName();
    server_.DisconnectSession(*rec->session);
    s_.ReplyText(MSG_ADMN_DISCONNECTED);
    Audit("ADMN DISC " + std::to_string(socket) + " (user " + user + ")");
}

void AdminCall::Addu() {
    const std::string_view user = a(1);
    if (user.empty() || !CUserSettings::UserSection(user) || KnownUser(user, true)) {
        Syntax();
        return;
    }
    if (!users_.SetPasswd(user, kPlaceholderPasswd)) {
        Syntax();
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
    if (users_.DeleteUser(user)) {
        s_.Reply(MSG_ADMN_DELU, user.c_str());
        AuditArg();
    } else {
        s_.Reply(MSG_ADMN_DELU_FAILED, user.c_str());
    }
}

void AdminCall::Chpw() {
    const std::string user(a(1));
    const std::string_view password = restFrom(2);
    if (user.empty() || password.empty() || !HasPasswd(user)) {
        Syntax();
        return;
    }
    if (!users_.SetPasswd(user, PasswordHash(password, NewSalt()))) {
        Syntax();
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
    if (u == YesNo::Missing) {
        users_.SetRestricted(user, std::nullopt);
        s_.Reply(MSG_ADMN_SETU, user.c_str(), "");
    } else {
        users_.SetRestricted(user, u == YesNo::Yes);
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
            users_.SetHome(user, WithSlash(disk));
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
    if (!section || !registry_.store()
                         .SetValue(registry_.KeyPath(section->c_str()), entry, reg::REG_SZ, data.data(), data.size())
                         .ok()) {
        Syntax();
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
        registry_.WriteString(section->c_str(), entry.c_str(), nullptr);
        ReloadRights(user);
        Audit("ADMN RMRT " + user + " " + entry);
    }
    s_.Reply(MSG_ADMN_RMRT, user.c_str(), ShownPath(entry).c_str());
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

void AdminCall::NotImplemented() {
    s_.setStatusText("Fail");
    s_.Reply(MSG_NOT_IMPLEMENTED, ("SITE " + std::string(arg_)).c_str());
}

void AdminCall::Resu() {
    server_.ClearStopState();
    s_.ReplyText(MSG_ADMN_RESU);
    AuditArg();
}

void AdminCall::Disa() {
    const std::string user(a(1));
    if (user.empty() || !CUserSettings::UserSection(user)) {
        Syntax();
        return;
    }
    users_.SetDisabled(user, !EqualsNoCase(a(2), "y"));
    s_.ReplyText(MSG_ADMN_DISA_DONE);
    AuditArg();
    for (eventloop::Socket sock : server_.sessionMap().Sockets()) {
        CSessionRecord* rec = server_.FindSession(sock);
        if (rec == nullptr || !EqualsNoCase(rec->session->userName(), user)) continue;
        CFtpSession& other = *rec->session;
        other.setAcceptingCommands(false);
        // An idle session is told and closed now; one in a transfer (and the
        // caller itself) ends after it, like any session that stops accepting
        // commands.
        if (&other == &s_ || other.TransferBusy()) continue;
        other.ClosingGate();
        other.CloseSession();
    }
}

// Searched from the last entry to the first.
constexpr AdminCommand kAdminCommands[] = {
    {"USER", 0, &AdminCall::User}, {"STOP", 1, &AdminCall::Stop},  {"SECU", 2, &AdminCall::Secu},
    {"ALOW", 3, &AdminCall::Alow}, {"PRXY", 4, &AdminCall::Prxy},  {"LOPT", 5, &AdminCall::Lopt},
    {"MAXU", 6, &AdminCall::Maxu}, {"IDLE", 7, &AdminCall::Idle},  {"ELOG", 8, &AdminCall::Elog},
    {"FLOG", 9, &AdminCall::Flog}, {"MESS", 10, &AdminCall::Mess}, {"DISC", 11, &AdminCall::Disc},
    {"ADDU", 12, &AdminCall::Addu}, {"DELU", 13, &AdminCall::Delu}, {"CHPW", 14, &AdminCall::Chpw},
    {"SETU", 15, &AdminCall::Setu}, {"STHM", 16, &AdminCall::Sthm}, {"STRT", 17, &AdminCall::Strt},
    {"LSRT", 18, &AdminCall::Lsrt}, {"RMRT", 19, &AdminCall::Rmrt}, {"USRS", 20, &AdminCall::Usrs},
    {"IPPT", 21, &AdminCall::NotImplemented}, {"NTWK", 22, &AdminCall::NotImplemented},
    {"RESU", 23, &AdminCall::Resu}, {"DISA", 24, &AdminCall::Disa},
};
static_assert(std::size(kAdminCommands) == 25);

const AdminCommand* FindAdminCommand(std::string_view name) {
    if (name.empty()) return nullptr;
    for (size_t i = std::size(kAdminCommands); i-- > 0;) {
        if (EqualsNoCase(name, kAdminCommands[i].name)) return &kAdminCommands[i];
    }
    return nullptr;
}

}  // namespace

bool AdminAccessAllowed(CFtpSession& session, std::string_view arg) {
    sockaddr_storage local{};
    socklen_t localLen = sizeof local;
    if (::getsockname(session.controlSocket(), reinterpret_cast<sockaddr*>(&local), &localLen) == 0) {
        const std::string here = AddressText(reinterpret_cast<const sockaddr*>(&local), localLen);
        const std::string peer =
            AddressText(reinterpret_cast<const sockaddr*>(&session.peerAddress()), session.peerLength());
        if (!here.empty() && here == peer) return true;
    }
    if (session.account().administrator()) return true;
    return StartsWithNoCase(arg, "ADMN USER");
}

void RunAdmin(CFtpSession& session, std::string_view arg) {
    if (!AdminAccessAllowed(session, arg)) {
        session.ReplyText(MSG_ADMN_REFUSED);
        return;
    }
    if (arg.size() == 4 || arg[4] != ' ') {
        // The monitor toggle.
        const bool on = !session.monitor();
        session.setMonitor(on);
        if (on) session.server().monitors().SendSessionList(session);
        session.setStatusText("Success");
        return;
    }
    AdminCall call(session, arg);
    const AdminCommand* command = FindAdminCommand(call.name());
    if (command == nullptr) {
        session.Reply(MSG_UNIDENTIFIED, ("SITE " + std::string(arg)).c_str());
        session.setStatusText("Fail");
        return;
    }
    session.setStatusText("Success");
    call.Run(command->handler);
}

}  // namespace orvyn
