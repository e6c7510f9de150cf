// The SITE command: a table of subcommands, each matched as the start of
// SITE's argument without regard to case and run behind its own gates. A new
// SITE subcommand is one more row in SiteCommandTable (SiteCommands.cpp) and
// a function of the SiteHandler shape.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace orvyn {

class CFtpSession;

// Runs a SITE subcommand with the whole argument of SITE ("CHPW old new").
using SiteHandler = void (*)(CFtpSession& session, std::string_view arg);

struct SiteCommand {
    const char* name;     // matched as the start of the argument, any case
    unsigned gates;       // CommandGate bits, applied before the handler
    SiteHandler handler;  // never null
};

// The subcommands in lookup order.
std::span<const SiteCommand> SiteCommandTable();

// The SITE handler: the first row whose name starts the argument runs;
// without one, 500 with "SITE " and the argument.
void RunSite(CFtpSession& session, std::string_view arg);

// The password change of the logged-in user (SITE CHPW old new).
void SiteChangePassword(CFtpSession& session, std::string_view arg);

// A command line as administrators see it (last command, command log line)
// when it carries a password: "SITE CHPW xxxx xxxx", "SITE ADMN USER bob
// xxxx", "SITE ADMN CHPW bob xxxx"; nullopt for any other line.
std::optional<std::string> MaskedSiteLine(std::string_view line);

// The login of USER and PASS for the session's user name with password,
// as PASS runs it (LoginCommands.cpp). True when logged in afterwards.
bool LoginWithPassword(CFtpSession& session, std::string_view password);

}  // namespace orvyn
