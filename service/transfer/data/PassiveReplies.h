// Passive mode: the 227 reply of PASV (with the optional static address an
// instance behind address translation advertises), and EPSV: its argument
// and its 229 reply.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace orvyn {

// Replies (without CR LF) and log lines.
inline constexpr const char* kReplyPasvNoSocket = "426 Could not get a new socket";
inline constexpr const char* kReplyPasvNoBind = "426 Could not bind new socket";
inline constexpr const char* kLogPasvNoSocket = "No sockets left to open PASV connection";  // [!]
inline constexpr const char* kLogPasv = "Entering Passive Mode (%d,%d,%d,%d,%d,%d)";        // [C]
inline constexpr const char* kReplyEpsvAll = "200 EPSV ALL command successful.";
// After EPSV ALL the client has promised to use EPSV only: other ways of
// setting up a data connection are refused.
inline constexpr const char* kReplyOnlyEpsv = "503 Only EPSV is accepted after EPSV ALL.";
inline constexpr const char* kReplyEpsvIllegal = "501 Syntax error - illegal parameters to EPSV command.";
inline constexpr const char* kLogEpsv = "Entering Extended Passive Mode (|||%d|)";  // [C]
// [!] with the address of a connection to the passive port that did not come
// from the client (closed; the listener waits on for the client).
inline constexpr const char* kLogForeignDataPeer =
    "Refused data connection from %s - not the address of the client";

// The six numbers of the 227 reply: four address bytes and the port's high
// and low byte. For an IPv4 socket (also one mapped into IPv6) the address
// is staticIp when given, else the bound address; an IPv6 socket has zeros.
std::array<int, 6> PasvNumbers(const sockaddr* bound, const std::optional<in_addr>& staticIp);

// "227 Entering Passive Mode (%d,%d,%d,%d,%d,%d)"
std::string PasvReplyText(const std::array<int, 6>& numbers);

// Security\PASVStaticIP: a numeric IPv4 address, surrounding blanks allowed.
// Empty or anything else means none (names are not looked up: that would
// block the event loop).
std::optional<in_addr> ParseStaticIp(std::string_view text);

enum class EpsvKind {
    Open,         // no argument, or a protocol the connection can serve: open a passive socket
    All,          // "EPSV ALL": from now on only EPSV sets up data connections
    BadProtocol,  // a protocol number this connection cannot serve: 522
    BadSyntax,    // anything else: 501
};

struct EpsvRequest {
    EpsvKind kind = EpsvKind::BadSyntax;
    int protocol = 0;  // the number given, 0 when none
};

// The EPSV argument. Passive sockets have the family of the control
// connection's local address, so protocol 1 is served on IPv4 (plain, or
// mapped into IPv6 on a dual-stack socket) and protocol 2 on real IPv6.
EpsvRequest ParseEpsvArgument(std::string_view arg, const sockaddr* local);

// Network protocol number (1 or 2) a passive socket on `local` serves.
int EpsvProtocolFor(const sockaddr* local);

// "229 Entering Extended Passive Mode (|||%d|)"
std::string EpsvReplyText(int port);
// "522 Network protocol not supported, use (%d)" with EpsvProtocolFor(local)
std::string EpsvUnsupportedText(const sockaddr* local);

}  // namespace orvyn
