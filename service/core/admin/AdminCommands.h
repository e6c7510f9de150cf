// Remote administration through "SITE ADMN": the access rule, the monitor
// toggle and the 25 subcommands that read and change a running instance,
// its users, passwords, homes and rights.
//
// Instance settings changed here are written to the configuration store and
// the running instance re-reads them at once; user settings and logging
// switches live in the store only and are read where they are used. Paths
// in arguments resolve like the calling session's own paths: with its
// restriction root, current directory and maps, acting as its user. Every
// change is logged as a warning line naming the caller and its address.
#pragma once

#include <string_view>

namespace orvyn {

class CFtpSession;

// The text the placeholder password of a user created by ADDU is stored as.
// No hash equals it, so nobody logs in with it.
inline constexpr const char* kPlaceholderPasswd = "qz73019465";

// The ADMN access rule: the connection's local address equals its peer
// address (a client on the server's own machine; an IPv4-mapped IPv6
// address equals its IPv4 form), or the session's user is an administrator,
// or arg starts with "ADMN USER".
bool AdminAccessAllowed(CFtpSession& session, std::string_view arg);

// SITE ADMN with the whole argument of SITE ("ADMN SECU y").
void RunAdmin(CFtpSession& session, std::string_view arg);

}  // namespace orvyn
