// Host rules: which callers an instance admits.
//
// An instance works in one of two modes. In deny mode (AllowAll 1) everybody
// is admitted except the hosts a rule of DenyThese matches; in allow mode
// (AllowAll 0) nobody is admitted except the hosts a rule of AllowThese
// matches. Every rule is tried in three ways, and the first way in which any
// rule matches decides:
//   1. as a wildcard pattern against the caller's host name, when it is known;
//   2. as an address rule (an exact address or a network with a prefix
//      length) against the caller's address;
//   3. as a wildcard pattern against the caller's address in text form.
#pragma once

#include <sys/socket.h>

#include <string>
#include <string_view>
#include <vector>

namespace orvyn {

// "*" matches any run of characters, including none; every other character
// must be equal (case significant); the pattern must cover the whole text.
// Runs in O(pattern * text) at worst, never exponentially.
bool WildcardMatch(std::string_view pattern, std::string_view text);

// Whether a rule is an address rule:
//  - IPv4: one to four dot-separated decimal numbers followed by "/" and a
//    decimal prefix length ("10/8", "192.168.0.0/16"), or exactly four
//    dot-separated decimal numbers ("10.1.2.3"). "10.0.0." and "10.0.0" are
//    not address rules.
//  - IPv6: a numeric IPv6 address, optionally followed by "/" and a decimal
//    prefix length ("fd00::/8", "::1").
bool IsAddressRule(std::string_view rule);

// Whether the peer address lies in the address rule. Missing IPv4 numbers
// before the prefix are zero ("10/8" is 10.0.0.0/8). A rule that names an
// impossible address (a number above 255, a prefix longer than the address)
// matches nothing. IPv4 callers seen through an IPv6 listener
// (::ffff:a.b.c.d) are compared as IPv4 addresses, and so are rules written in
// that mapped form (with a prefix of 96 or more); IPv6 rules never match IPv4
// callers.
bool AddressRuleMatches(std::string_view rule, const sockaddr* peer, socklen_t len);

struct HostDecision {
    bool allowed = false;
    bool matched = false;  // a rule matched (rule holds its text)
    std::string rule;
};

// allowAll true: deny mode (rules are DenyThese); false: allow mode (rules
// are AllowThese). hostName is empty when it is not known.
HostDecision CheckHost(bool allowAll, const std::vector<std::string>& rules, std::string_view hostName,
                       const sockaddr* peer, socklen_t len);

// Numeric text of an address without the port ("10.1.2.3", "fd00::1"); an
// IPv4-mapped IPv6 address is shown as the plain IPv4 address. Empty for an
// address of another family or a short length.
std::string AddressText(const sockaddr* addr, socklen_t len);

}  // namespace orvyn
