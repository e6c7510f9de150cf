// Where an active data connection goes: the PORT and EPRT arguments, parsed
// and checked against the low-port and back-port rules, plus the address
// helpers the data connection needs (comparison with the control peer,
// adapting an IPv4 target to an IPv6 socket, address text for log lines).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <string_view>

namespace orvyn {

// Replies (without CR LF).
inline constexpr const char* kReplyPortOkay = "200 PORT command okay";
inline constexpr const char* kReplyPortIllegal = "501 Syntax error - illegal parameters to PORT command.";
inline constexpr const char* kReplyEprtProtocol = "522 Network protocol not supported, use (1,2)";

// Log lines, printf formats. Category in brackets.
inline constexpr const char* kLogBadPortParameters = "Bad port parameters";  // [C]
// [!] with the whole PORT or EPRT argument
inline constexpr const char* kLogPortOtherAddress =
    "Client attempted transfer to different IP address, with command PORT %s";
inline constexpr const char* kLogPortSet = "PORT set to %s:%d (%d,%d)";          // [C] address, port, p1, p2
inline constexpr const char* kLogEprtSet = "PORT set to %s:%d";                  // [C] address, port
inline constexpr const char* kLogEprtBadProtocol = "Bad protocol %d in EPRT parameters";  // [C]

// The instance's rules for active targets (Security\DisableLowPorts and
// Security\RequireBackPort).
struct DataTargetRules {
    bool disableLowPorts = true;   // refuse ports below 1024
    bool requireBackPort = false;  // refuse addresses other than the control peer's
};

enum class DataTargetOutcome {
    Accepted,     // 200; log kLogPortSet / kLogEprtSet
    BadSyntax,    // 501; log kLogBadPortParameters
    Refused,      // 501; log kLogBadPortParameters and kLogPortOtherAddress
    BadProtocol,  // EPRT only: 522; log kLogEprtBadProtocol with `protocol`
};

struct DataTarget {
    DataTargetOutcome outcome = DataTargetOutcome::BadSyntax;
    sockaddr_storage address{};  // the data address (valid when Accepted)
    socklen_t length = 0;
    std::string addressText;     // numeric address text, for the log line
    int port = 0;
    int p1 = 0, p2 = 0;          // PORT only: the two port bytes as given
    int protocol = 0;            // EPRT only: the network protocol number

    // The reply for the outcome (without CR LF).
    const char* reply() const;
};

// PORT h1,h2,h3,h4,p1,p2. Numbers are read as "%d" reads them (leading blanks
// and a sign allowed, text after the sixth number ignored); every number
// must lie in 0..255, and a number too long to read is out of range.
// controlPeer is the client side of the control connection (for the
// back-port rule); it may be null when that rule is off.
DataTarget ParsePortArgument(std::string_view arg, const sockaddr* controlPeer, const DataTargetRules& rules);

// EPRT <d><proto><d><address><d><port><d>. The delimiter is a printable
// character other than a digit, '.', ':' or a hexadecimal letter; the
// protocol number is at most 33 (1 = IPv4, 2 = IPv6, others get 522); the
// address is numeric, at most 64 characters; the port is 1 to 5 digits up to
// 65535; the last delimiter ends the argument. Addresses are never looked up
// by name, so a hostile argument cannot stall the event loop in a lookup.
DataTarget ParseEprtArgument(std::string_view arg, const sockaddr* controlPeer, const DataTargetRules& rules);

// Same host: same family and equal address bytes, ports ignored. An IPv4
// address and the same address mapped into IPv6 (::ffff:a.b.c.d) are the
// same host, so dual-stack listeners judge IPv4 clients correctly.
bool SameHostAddress(const sockaddr* a, const sockaddr* b);

// Makes addr usable from a socket of `family`: an IPv4 address becomes its
// IPv4-mapped IPv6 form for an AF_INET6 socket, and a mapped IPv6 address
// becomes plain IPv4 for an AF_INET socket. False when that is impossible
// (a real IPv6 address for an IPv4 socket).
bool AdaptToFamily(sockaddr_storage& addr, socklen_t& len, int family);

// Numeric text of the address part ("10.0.0.1", "::1"); empty for other
// families.
std::string AddressText(const sockaddr* addr);
// Port of an IPv4 or IPv6 socket address, host order; 0 for other families.
int AddressPort(const sockaddr* addr);

}  // namespace orvyn
