// Logon of system accounts: PAM for the password check and the account's
// standing, the password database for who the account is.
#pragma once

#include <string>
#include <string_view>

#include "platform/accounts/Token.h"

namespace orvyn::accounts {

// Logon failure numbers, the values the activity log reports.
enum LogonError : int {
    kLogonOk = 0,
    kLogonPrivilegeNotHeld = 1314,     // the service may not read the account data
    kLogonAccountRestriction = 1327,   // the account may not log on here (PAM account check)
    kLogonTimeRestriction = 1328,
    kLogonWorkstationRestriction = 1329,
    kLogonPasswordExpired = 1330,      // password expired or must be changed first
    kLogonAccountDisabled = 1331,
    kLogonNoLogonServers = 1311,       // the authentication source is unreachable
    kLogonNoneMapped = 1332,           // authenticated, but no passwd entry for the name
    kLogonInternalError = 1359,        // PAM failed for another reason
    kLogonWrongPassword = 1326,        // wrong name or password: refused without a log line
    kLogonTypeNotGranted = 1385,
    kLogonAccountExpired = 1793,
    kLogonAccountLockedOut = 1909,     // too many failed attempts
};

struct LogonResult {
    bool ok = false;
    int error = 0;           // 0 on success, else one of LogonError
    std::string errorText;   // the log text for `error`; empty on success
    TokenPtr token;          // the account's credentials on success
};

// The log text for a logon failure number (the texts the activity log uses).
std::string LogonErrorText(int error);

// Checks the password of a system account through the PAM service "orvyn" and
// the account's standing (expiry, access rules), then reads uid, gid, home and
// supplementary groups from the password and group databases.
//
// A non-empty domain is passed to PAM as "domain\account", the form the
// directory-service modules use; an empty one passes the account alone. The
// token's name is the name the password database gives for the account PAM
// finally authenticated (modules may rewrite it).
//
// The PAM conversation answers every hidden prompt with the password and
// refuses visible prompts (no one is there to type; the failure is logged as
// a conversation error), and PAM's delay after a failure is switched off: the
// session holds its own reply after a refusal. `remoteHost`, when given, is
// passed to PAM as the remote host for modules that restrict by origin.
// PAM modules that consult remote sources may still take their time, so this
// should not run on a thread that must never wait.
//
// Names and passwords that cannot be passed on faithfully (empty name, NUL or
// control characters, over 256 bytes of name or 512 bytes of password) are
// refused as a wrong name or password without asking PAM.
LogonResult LogonUser(std::string_view account, std::string_view domainOrEmpty, std::string_view password,
                      std::string_view remoteHost = {});

// The credentials of an account from the password and group databases, or
// null when the account is unknown.
TokenPtr AccountToken(std::string_view account);

// The home directory of an account from the password database, or empty when
// the account is unknown or has none.
std::string AccountHome(std::string_view account);

// The service's own identity (effective uid and gid, supplementary groups,
// name and home from the password database where it has an entry).
TokenPtr ServiceToken();

// The home of last resort: /var/lib/orvyn/users/default, or its nearest
// existing ancestor. Where the service's data folder (/var/lib/orvyn, which
// holds the store) exists, the home is first made there, empty, so that a
// user given it is never lent the data folder itself or one above it.
// `path` names another home of that shape (tests).
std::string LastResortHome(std::string_view path = "/var/lib/orvyn/users/default");

// The nearest existing directory at or above `path` (an absolute path); "/"
// when nothing else exists.
std::string NearestExistingDirectory(std::string_view path);

}  // namespace orvyn::accounts
