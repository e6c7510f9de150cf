#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <string>
#include <vector>

#include "service/core/server/HostRules.h"

namespace orvyn {
namespace {

// A peer address built from numeric text, IPv4 or IPv6.
struct Peer {
    sockaddr_storage ss{};
    socklen_t len = 0;
    explicit Peer(const char* text, int port = 40000) {
        auto* in = reinterpret_cast<sockaddr_in*>(&ss);
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
        if (inet_pton(AF_INET, text, &in->sin_addr) == 1) {
            in->sin_family = AF_INET;
            in->sin_port = htons(static_cast<uint16_t>(port));
            len = sizeof(sockaddr_in);
        } else if (inet_pton(AF_INET6, text, &in6->sin6_addr) == 1) {
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(static_cast<uint16_t>(port));
            len = sizeof(sockaddr_in6);
        } else {
            ADD_FAILURE() << "bad test address " << text;
        }
    }
    const sockaddr* sa() const { return reinterpret_cast<const sockaddr*>(&ss); }
};

bool Matches(const char* rule, const char* peer) {
    Peer p(peer);
    return AddressRuleMatches(rule, p.sa(), p.len);
}

TEST(Wildcard, StarsAndLiterals) {
    EXPECT_TRUE(WildcardMatch("*", ""));
    EXPECT_TRUE(WildcardMatch("*", "anything"));
    EXPECT_TRUE(WildcardMatch("", ""));
    EXPECT_FALSE(WildcardMatch("", "a"));
    EXPECT_FALSE(WildcardMatch("a", ""));
    EXPECT_TRUE(WildcardMatch("*.lan", "pc1.lan"));
    EXPECT_TRUE(WildcardMatch("*.lan", ".lan"));
    EXPECT_FALSE(WildcardMatch("*.lan", "pc1.lan.example"));
    EXPECT_FALSE(WildcardMatch("*.lan", "pc1xlan"));
    EXPECT_TRUE(WildcardMatch("pc*", "pc"));
    EXPECT_TRUE(WildcardMatch("a*b*c", "aXXbYYc"));
    EXPECT_TRUE(WildcardMatch("a*b*c", "abbbcbc"));
    EXPECT_FALSE(WildcardMatch("a*b*c", "abXcY"));
    EXPECT_TRUE(WildcardMatch("**a**", "xax"));
    EXPECT_TRUE(WildcardMatch("10.0.*.1", "10.0.200.1"));
    EXPECT_FALSE(WildcardMatch("10.0.*.1", "10.0.200.12"));
    // '?' and other characters are literals.
    EXPECT_FALSE(WildcardMatch("a?c", "abc"));
    EXPECT_TRUE(WildcardMatch("a?c", "a?c"));
}

TEST(Wildcard, CaseIsSignificant) {
    EXPECT_FALSE(WildcardMatch("*.LAN", "pc.lan"));
    EXPECT_FALSE(WildcardMatch("PC1", "pc1"));
    EXPECT_TRUE(WildcardMatch("PC1", "PC1"));
}

TEST(Wildcard, ManyStarsStayFast) {
    // Exponential backtracking would never finish this.
    const std::string pattern = std::string(40, '*') + std::string(40, 'a') + "*b";
    const std::string text(5000, 'a');
    EXPECT_FALSE(WildcardMatch(pattern, text));
    EXPECT_TRUE(WildcardMatch(pattern, text + "b"));
}

TEST(AddressRule, WhichRulesAreAddressRules) {
    EXPECT_TRUE(IsAddressRule("10.0.0.0/8"));
    EXPECT_TRUE(IsAddressRule("10/8"));
    EXPECT_TRUE(IsAddressRule("192.168/16"));
    EXPECT_TRUE(IsAddressRule("10.1.2.3"));
    EXPECT_TRUE(IsAddressRule("10.1.2.3/32"));
    EXPECT_TRUE(IsAddressRule("0.0.0.0/0"));
    EXPECT_FALSE(IsAddressRule("10.0.0."));
    EXPECT_FALSE(IsAddressRule("10.0.0"));
    EXPECT_FALSE(IsAddressRule("10"));
    EXPECT_FALSE(IsAddressRule("10.0.0.0.1"));
    EXPECT_FALSE(IsAddressRule("10..0.1"));
    EXPECT_FALSE(IsAddressRule("10.0.0.0/"));
    EXPECT_FALSE(IsAddressRule("10.0.0.0/x"));
    EXPECT_FALSE(IsAddressRule("10.0.*.0"));
    EXPECT_FALSE(IsAddressRule("*.lan"));
    EXPECT_FALSE(IsAddressRule(""));
    EXPECT_TRUE(IsAddressRule("::1"));
    EXPECT_TRUE(IsAddressRule("fd00::/8"));
    EXPECT_TRUE(IsAddressRule("2001:db8::1/128"));
    EXPECT_FALSE(IsAddressRule("fd00:*"));
    EXPECT_FALSE(IsAddressRule("fd00::/"));
}

TEST(AddressRule, Ipv4Networks) {
    EXPECT_TRUE(Matches("10.0.0.0/8", "10.1.2.3"));
    EXPECT_FALSE(Matches("10.0.0.0/8", "192.168.1.1"));
    EXPECT_FALSE(Matches("10.0.0.0/8", "11.0.0.0"));
    EXPECT_TRUE(Matches("10/8", "10.255.255.255"));
    EXPECT_TRUE(Matches("192.168/16", "192.168.7.9"));
    EXPECT_FALSE(Matches("192.168/16", "192.169.0.1"));
    EXPECT_TRUE(Matches("0.0.0.0/0", "203.0.113.5"));
    EXPECT_TRUE(Matches("10.1.2.3/32", "10.1.2.3"));
    EXPECT_FALSE(Matches("10.1.2.3/32", "10.1.2.4"));
    EXPECT_TRUE(Matches("10.1.2.3", "10.1.2.3"));
    EXPECT_FALSE(Matches("10.1.2.3", "10.1.2.30"));
    // Prefixes that do not fall on a byte boundary.
    EXPECT_TRUE(Matches("172.16.0.0/12", "172.31.255.1"));
    EXPECT_FALSE(Matches("172.16.0.0/12", "172.32.0.1"));
    EXPECT_TRUE(Matches("10.0.0.128/25", "10.0.0.200"));
    EXPECT_FALSE(Matches("10.0.0.128/25", "10.0.0.100"));
}

TEST(AddressRule, ImpossibleRulesMatchNothing) {
    EXPECT_TRUE(IsAddressRule("10.0.0.300"));
    EXPECT_FALSE(Matches("10.0.0.300", "10.0.0.44"));
    EXPECT_FALSE(Matches("10.0.0.0/33", "10.0.0.1"));
    EXPECT_FALSE(Matches("10.0.0.0/99999999999999999999", "10.0.0.1"));
    EXPECT_FALSE(Matches("fd00::/129", "fd00::1"));
    EXPECT_FALSE(Matches("not-a-rule", "10.0.0.1"));
}

TEST(AddressRule, Ipv6NetworksAndExact) {
    EXPECT_TRUE(Matches("fd00::/8", "fd12:3456::1"));
    EXPECT_FALSE(Matches("fd00::/8", "fe80::1"));
    EXPECT_TRUE(Matches("2001:db8::/32", "2001:db8:ffff::5"));
    EXPECT_FALSE(Matches("2001:db8::/32", "2001:db9::5"));
    EXPECT_TRUE(Matches("::1", "::1"));
    EXPECT_FALSE(Matches("::1", "::2"));
    EXPECT_TRUE(Matches("::/0", "2001:db8::1"));
    EXPECT_TRUE(Matches("2001:db8::1/127", "2001:db8::0"));
    EXPECT_FALSE(Matches("2001:db8::1/127", "2001:db8::2"));
}

TEST(AddressRule, FamiliesOnlyMatchTheirOwn) {
    EXPECT_FALSE(Matches("0.0.0.0/0", "2001:db8::1"));
    EXPECT_FALSE(Matches("::/0", "10.0.0.1"));
}

TEST(AddressRule, MappedIpv4PeersMatchIpv4Rules) {
    EXPECT_TRUE(Matches("10.0.0.0/8", "::ffff:10.1.2.3"));
    EXPECT_FALSE(Matches("10.0.0.0/8", "::ffff:192.168.1.1"));
    EXPECT_TRUE(Matches("127.0.0.1", "::ffff:127.0.0.1"));
    EXPECT_FALSE(Matches("::/0", "::ffff:10.1.2.3"));
    // A rule written in mapped form covers the IPv4 addresses it maps.
    EXPECT_TRUE(Matches("::ffff:10.0.0.0/104", "10.9.9.9"));
    EXPECT_TRUE(Matches("::ffff:10.0.0.0/104", "::ffff:10.9.9.9"));
    EXPECT_FALSE(Matches("::ffff:10.0.0.0/104", "11.0.0.1"));
    EXPECT_FALSE(Matches("::ffff:10.0.0.0/64", "10.0.0.1"));
}

TEST(AddressText, NumericAndMappedShownAsIpv4) {
    Peer v4("192.0.2.7"), v6("2001:db8::7"), mapped("::ffff:192.0.2.8");
    EXPECT_EQ(AddressText(v4.sa(), v4.len), "192.0.2.7");
    EXPECT_EQ(AddressText(v6.sa(), v6.len), "2001:db8::7");
    EXPECT_EQ(AddressText(mapped.sa(), mapped.len), "192.0.2.8");
    EXPECT_EQ(AddressText(v4.sa(), 4), "");  // too short to be an address
    EXPECT_EQ(AddressText(nullptr, 0), "");
}

TEST(CheckHost, AllowModeAdmitsOnlyMatches) {
    const std::vector<std::string> rules = {"10.0.0.0/8"};
    Peer in("10.1.2.3"), out("192.168.1.1");
    HostDecision d = CheckHost(false, rules, "", in.sa(), in.len);
    EXPECT_TRUE(d.allowed);
    EXPECT_TRUE(d.matched);
    EXPECT_EQ(d.rule, "10.0.0.0/8");
    d = CheckHost(false, rules, "", out.sa(), out.len);
    EXPECT_FALSE(d.allowed);
    EXPECT_FALSE(d.matched);
    EXPECT_EQ(d.rule, "");
    // No rules at all in allow mode: nobody.
    EXPECT_FALSE(CheckHost(false, {}, "", in.sa(), in.len).allowed);
}

TEST(CheckHost, DenyModeRefusesOnlyMatches) {
    const std::vector<std::string> rules = {"*.lan", "192.168.0.0/16"};
    Peer lanAddr("192.168.1.1"), other("203.0.113.9");
    HostDecision d = CheckHost(true, rules, "", lanAddr.sa(), lanAddr.len);
    EXPECT_FALSE(d.allowed);
    EXPECT_EQ(d.rule, "192.168.0.0/16");
    d = CheckHost(true, rules, "pc.lan", other.sa(), other.len);
    EXPECT_FALSE(d.allowed);
    EXPECT_EQ(d.rule, "*.lan");
    // Without the name the name rule cannot apply.
    d = CheckHost(true, rules, "", other.sa(), other.len);
    EXPECT_TRUE(d.allowed);
    EXPECT_FALSE(d.matched);
    EXPECT_TRUE(CheckHost(true, {}, "pc.lan", other.sa(), other.len).allowed);
}

TEST(CheckHost, KindsAreTriedInOrderAcrossAllRules) {
    Peer p("10.1.2.3");
    // The address rule comes first in the list, but a name match of a later
    // rule decides before any address rule is tried.
    HostDecision d = CheckHost(true, {"10.0.0.0/8", "*.example"}, "pc.example", p.sa(), p.len);
    EXPECT_EQ(d.rule, "*.example");
    // Address rules come before text wildcards on the address.
    d = CheckHost(true, {"10.1.*", "10.0.0.0/8"}, "", p.sa(), p.len);
    EXPECT_EQ(d.rule, "10.0.0.0/8");
    // A text wildcard on the address matches when nothing else does.
    d = CheckHost(false, {"*.other", "10.1.2.*"}, "pc.example", p.sa(), p.len);
    EXPECT_TRUE(d.allowed);
    EXPECT_EQ(d.rule, "10.1.2.*");
    // A rule can match the name as a pattern even when it looks like an address.
    d = CheckHost(false, {"10.1.2.3"}, "10.1.2.3", p.sa(), p.len);
    EXPECT_TRUE(d.matched);
}

TEST(CheckHost, MappedPeerIsCheckedAsIpv4) {
    Peer mapped("::ffff:10.1.2.3");
    HostDecision d = CheckHost(false, {"10.0.0.0/8"}, "", mapped.sa(), mapped.len);
    EXPECT_TRUE(d.allowed);
    d = CheckHost(false, {"10.1.2.*"}, "", mapped.sa(), mapped.len);
    EXPECT_TRUE(d.allowed);
    d = CheckHost(true, {"::ffff:*"}, "", mapped.sa(), mapped.len);
    EXPECT_TRUE(d.allowed);  // the text form is the plain IPv4 address
}

TEST(CheckHost, Ipv6PeerWithCidrAndText) {
    Peer p("fd00::42");
    EXPECT_TRUE(CheckHost(false, {"fd00::/16"}, "", p.sa(), p.len).allowed);
    EXPECT_FALSE(CheckHost(false, {"fe80::/10"}, "", p.sa(), p.len).allowed);
    EXPECT_TRUE(CheckHost(false, {"fd00::4*"}, "", p.sa(), p.len).allowed);
    EXPECT_FALSE(CheckHost(true, {"fd00::42"}, "", p.sa(), p.len).allowed);
}

}  // namespace
}  // namespace orvyn
