#include "service/core/admin/SiteCommands.h"

#include <algorithm>

#include "service/accounts/hash/PasswordHash.h"
#include "service/accounts/users/UserSettings.h"
#include "service/base/replies/Catalogue.h"
#include "service/base/replies/SiteCatalogue.h"
#include "service/base/text/NoCase.h"
#include "service/core/admin/AdminCommands.h"
#include "service/core/admin/SiteWords.h"
#include "service/core/server/FtpServer.h"
#include "service/core/session/CommandTable.h"
#include "service/core/session/FtpSession.h"

namespace orvyn {
namespace {

void SiteUnknown(CFtpSession& session, std::string_view arg) {
    session.Reply(MSG_UNIDENTIFIED, ("SITE " + std::string(arg)).c_str());
    session.setStatusText("Fail");
}

// What follows the subcommand's name and its blanks.
std::string_view SubcommandArguments(std::string_view arg, size_t nameLength) {
    std::string_view rest = arg.substr(std::min(nameLength, arg.size()));
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    return rest;
}

void SiteChmod(CFtpSession& session, std::string_view arg) { session.SiteChmod(SubcommandArguments(arg, 5)); }
void SiteUtime(CFtpSession& session, std::string_view arg) { session.SiteUtime(SubcommandArguments(arg, 5)); }
void SiteHelp(CFtpSession& session, std::string_view arg);

constexpr SiteCommand kSiteCommands[] = {
    {"ADMN", kGateNone, &RunAdmin},
    {"CHPW", kGateClosing | kGateLogin, &SiteChangePassword},
    {"CHMOD", kGateClosing | kGateLogin, &SiteChmod},
    {"UTIME", kGateClosing | kGateLogin, &SiteUtime},
    {"HELP", kGateClosing, &SiteHelp},
    // Known, and refused like any other text once the gates have passed.
    {"LINK", kGateClosing | kGateLogin, &SiteUnknown},
};

void SiteHelp(CFtpSession& session, std::string_view) {
    std::string names;
    for (const SiteCommand& command : kSiteCommands) {
        // LINK is only known to be refused: it is no subcommand to offer.
        if (command.handler == &SiteUnknown) continue;
        names += ' ';
        names += command.name;
    }
    session.WriteText("214-The following SITE commands are recognized:\r\n" + names + "\r\n214 End of SITE help.\r\n",
                      false);
    session.setStatusText("Success");
}

constexpr std::string_view kMask = "xxxx";

}  // namespace

std::span<const SiteCommand> SiteCommandTable() { return kSiteCommands; }

void CFtpSession::OnSite(std::string_view arg) { RunSite(*this, arg); }

void RunSite(CFtpSession& session, std::string_view arg) {
    for (const SiteCommand& command : kSiteCommands) {
        if (!StartsWithNoCase(arg, command.name)) continue;
        if ((command.gates & kGateClosing) != 0 && session.ClosingGate()) return;
        if ((command.gates & kGateLogin) != 0 && session.LoginGate()) return;
        command.handler(session, arg);
        return;
    }
    SiteUnknown(session, arg);
}

void SiteChangePassword(CFtpSession& session, std::string_view arg) {
    const SiteWords words(arg);
    const std::string_view oldPassword = words.word(1);
    const std::string_view newPassword = words.word(2);
    auto log = [&session](const char* text) {
        session.server().log().Log(session.connectionNumber(), 'C', "%s", text);
    };
    if (oldPassword.empty() || newPassword.empty()) {
        session.ReplyText(MSG_CHPW_PARAMETERS);
        session.setStatusText("Fail");
        return;
    }
    if (session.server().settings().ntsam) {
        session.ReplyText(MSG_CHPW_SYSTEM);
        session.setStatusText("Fail");
        log("SITE CHPW refused - passwords of system accounts are not changed here");
        return;
    }
    CUserSettings users(session.server().registry(), &session.server().log());
    const std::string& user = session.userName();
    if (!PasswordMatches(oldPassword, users.Passwd(user))) {
        session.ReplyText(MSG_CHPW_OLD_WRONG);
        session.setStatusText("Fail");
        log("SITE CHPW refused - old password incorrect");
        return;
    }
    if (!users.SetPasswd(user, PasswordHash(newPassword, NewSalt()))) {
        // The store could not be written: nothing changed.
        session.ReplyText(MSG_CHPW_NOT_STORED);
        session.setStatusText("Fail");
        session.server().log().Log(session.connectionNumber(), '!', "SITE CHPW - password of %s could not be stored",
                                   user.c_str());
        return;
    }
    session.ReplyText(MSG_CHPW_DONE);
    session.setStatusText("Success");
    session.server().log().Log(session.connectionNumber(), 'C', "SITE CHPW - user %s changed the password",
                               user.c_str());
}

std::optional<std::string> MaskedSiteLine(std::string_view line) {
    const CommandEntry& e = LookupCommand(line);
    if (e.number != CMD_SITE) return std::nullopt;
    const std::string_view arg = CommandArgument(e, line);
    const size_t argStart = static_cast<size_t>(arg.data() - line.data());
    if (StartsWithNoCase(arg, "CHPW")) {
        // Everything after the subcommand name is secret.
        return std::string(line.substr(0, argStart + 4)) + " " + std::string(kMask) + " " + std::string(kMask);
    }
    if (!StartsWithNoCase(arg, "ADMN") || arg.size() < 5 || arg[4] != ' ') return std::nullopt;
    const SiteWords words(arg.substr(4));
    const std::string_view name = words.word(0);
    if (!EqualsNoCase(name, "USER") && !EqualsNoCase(name, "CHPW")) return std::nullopt;
    const std::string_view user = words.word(1);
    if (user.empty() || words.word(2).empty()) return std::nullopt;
    const size_t keep = static_cast<size_t>(user.data() + user.size() - line.data());
    return std::string(line.substr(0, keep)) + " " + std::string(kMask);
}

}  // namespace orvyn
