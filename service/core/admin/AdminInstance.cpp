// ADMN subcommands on the instance and its sessions: the administrator
// login, stop and resume, the instance settings, logging, messages and
// disconnecting a session.
#include "service/base/replies/Catalogue.h"
#include "service/core/admin/AdminCall.h"
#include "service/core/admin/SiteCommands.h"

namespace orvyn::admin {
namespace {

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

}  // namespace

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
        if (!Persist("Security", value, (inverted ? !on : on) ? 1 : 0)) return;
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
        if (!Persist("Security", value, *n)) return;
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
        if (!Persist("Security", chosen->value, u == YesNo::Yes ? 1 : 0)) return;
        AuditArg();
    }
    s_.Reply(chosen->reply, YN(server_.settings().*(chosen->field)));
}

void AdminCall::Elog() {
    const YesNo u = ParseYesNo(a(1));
    if (u == YesNo::Missing || u == YesNo::Yes || u == YesNo::No) {
        if (u != YesNo::Missing) {
            if (!registry_.WriteInt("Logging", "Enable", u == YesNo::Yes ? 1 : 0)) {
                NotStored();
                return;
            }
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
        if (!registry_.WriteInt("Logging", category->value, v == YesNo::Yes ? 1 : 0)) {
            NotStored();
            return;
        }
        AuditArg();
    }
    s_.Reply(MSG_ADMN_ELOG_CATEGORY, category->word, YN(registry_.ReadFlag("Logging", category->value, category->def)));
}

void AdminCall::Flog() {
    const std::string_view path = restFrom(1);
    if (!path.empty()) {
        std::string disk;
        if (Resolve(path, disk)) {
            if (!registry_.WriteString("Logging", "LogFile", disk.c_str())) {
                NotStored();
                return;
            }
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
        if (!Persist("Messages", "MESSAGE.FTP", u == YesNo::Yes ? 1 : 0)) return;
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
    const std::optional<long> socket = ParseConnectionId(id);
    CSessionRecord* rec = socket ? server_.FindSession(static_cast<eventloop::Socket>(*socket)) : nullptr;
    if (rec == nullptr || rec->session.get() == &s_) {
        s_.setStatusText("Fail");
        s_.ReplyText(MSG_ADMN_DISC_FAILED);
        return;
    }
    const std::string user = rec->session->userName();
    server_.DisconnectSession(*rec->session);
    s_.ReplyText(MSG_ADMN_DISCONNECTED);
    Audit("ADMN DISC " + std::to_string(*socket) + " (user " + user + ")");
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

}  // namespace orvyn::admin
