#include "service/core/server/HostRules.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

#include "platform/eventloop/SocketAddress.h"

namespace orvyn {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A run of decimal digits as a number, or nullopt when it is empty or larger
// than max.
std::optional<unsigned> ParseDecimal(std::string_view s, unsigned max) {
    if (s.empty()) return std::nullopt;
    unsigned v = 0;
    for (char c : s) {
        if (!IsDigit(c)) return std::nullopt;
        v = v * 10 + static_cast<unsigned>(c - '0');
        if (v > max) return std::nullopt;
    }
    return v;
}

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!IsDigit(c)) return false;
    return true;
}

// An address to compare: 4 bytes for IPv4, 16 for IPv6, network order.
struct RawAddress {
    int family = AF_UNSPEC;
    std::array<uint8_t, 16> bytes{};
    unsigned bits() const { return family == AF_INET ? 32 : 128; }
};

// An IPv6 address to compare; an IPv4-mapped one (::ffff:a.b.c.d) compares
// as the IPv4 address.
RawAddress FromIPv6(const in6_addr& a) {
    RawAddress r;
    if (const uint8_t* v4 = eventloop::MappedIPv4Bytes(a)) {
        r.family = AF_INET;
        std::memcpy(r.bytes.data(), v4, 4);
    } else {
        r.family = AF_INET6;
        std::memcpy(r.bytes.data(), &a, 16);
    }
    return r;
}

std::optional<RawAddress> PeerAddress(const sockaddr* sa, socklen_t len) {
    if (sa == nullptr) return std::nullopt;
    RawAddress r;
    if (sa->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
        r.family = AF_INET;
        std::memcpy(r.bytes.data(), &in->sin_addr, 4);
        return r;
    }
    if (sa->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6)))
        return FromIPv6(reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr);
    return std::nullopt;
}

// The IPv4 part of a rule: one to four numbers, each 0..255 (missing
// numbers are zero on the right). nullopt when a number is out of range.
std::optional<RawAddress> ParseV4Rule(std::string_view text) {
    RawAddress r;
    r.family = AF_INET;
    size_t index = 0;
    size_t start = 0;
    while (true) {
        const size_t dot = text.find('.', start);
        const std::string_view part = text.substr(start, dot == std::string_view::npos ? text.npos : dot - start);
        if (index >= 4) return std::nullopt;
        const auto v = ParseDecimal(part, 255);
        if (!v) return std::nullopt;
        r.bytes[index++] = static_cast<uint8_t>(*v);
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return r;
}

bool IsV4Syntax(std::string_view addr, bool hasPrefix) {
    size_t count = 0;
    size_t start = 0;
    while (true) {
        const size_t dot = addr.find('.', start);
        const std::string_view part = addr.substr(start, dot == std::string_view::npos ? addr.npos : dot - start);
        if (!AllDigits(part)) return false;  // also rejects a trailing or doubled dot
        ++count;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return hasPrefix ? (count >= 1 && count <= 4) : count == 4;
}

std::optional<RawAddress> ParseV6(std::string_view addr) {
    if (addr.empty() || addr.size() >= INET6_ADDRSTRLEN || addr.find(':') == std::string_view::npos)
        return std::nullopt;
    char text[INET6_ADDRSTRLEN];
    std::memcpy(text, addr.data(), addr.size());
    text[addr.size()] = '\0';
    in6_addr a{};
    if (inet_pton(AF_INET6, text, &a) != 1) return std::nullopt;
    return FromIPv6(a);
}

struct ParsedRule {
    bool isAddressRule = false;
    bool valid = false;  // an address rule that can match something
    RawAddress net;
    unsigned prefix = 0;
};

ParsedRule ParseRule(std::string_view rule) {
    ParsedRule p;
    const size_t slash = rule.find('/');
    const bool hasPrefix = slash != std::string_view::npos;
    const std::string_view addr = rule.substr(0, slash);
    const std::string_view prefixText = hasPrefix ? rule.substr(slash + 1) : std::string_view{};
    if (hasPrefix && !AllDigits(prefixText)) return p;

    std::optional<RawAddress> net;
    bool mappedV6 = false;
    if (IsV4Syntax(addr, hasPrefix)) {
        p.isAddressRule = true;
        net = ParseV4Rule(addr);
    } else if (auto v6 = ParseV6(addr)) {
        p.isAddressRule = true;
        net = v6;
        mappedV6 = v6->family == AF_INET;  // written as ::ffff:a.b.c.d
    } else {
        return p;
    }
    if (!net) return p;

    unsigned prefix = net->bits();
    if (hasPrefix) {
        // A mapped rule counts its prefix over the 128-bit form.
        const unsigned maxPrefix = mappedV6 ? 128 : net->bits();
        const auto v = ParseDecimal(prefixText, maxPrefix);
        if (!v) return p;
        prefix = *v;
        if (mappedV6) {
            if (prefix < 96) return p;  // wider than the mapped range: not an IPv4 network
            prefix -= 96;
        }
    }
    p.net = *net;
    p.prefix = prefix;
    p.valid = true;
    return p;
}

bool PrefixEqual(const RawAddress& a, const RawAddress& b, unsigned prefix) {
    const unsigned whole = prefix / 8;
    if (std::memcmp(a.bytes.data(), b.bytes.data(), whole) != 0) return false;
    const unsigned rest = prefix % 8;
    if (rest == 0) return true;
    const uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
    return (a.bytes[whole] & mask) == (b.bytes[whole] & mask);
}

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view text) {
    size_t p = 0, t = 0;
    size_t starP = std::string_view::npos;  // position after the last '*'
    size_t starT = 0;                       // text position that '*' is retried from
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = ++p;
            starT = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (starP != std::string_view::npos) {
            // Let the last star take one more character and retry.
            p = starP;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool IsAddressRule(std::string_view rule) { return ParseRule(rule).isAddressRule; }

bool AddressRuleMatches(std::string_view rule, const sockaddr* peer, socklen_t len) {
    const ParsedRule r = ParseRule(rule);
    if (!r.isAddressRule || !r.valid) return false;
    const auto a = PeerAddress(peer, len);
    if (!a || a->family != r.net.family) return false;
    return PrefixEqual(*a, r.net, r.prefix);
}

HostDecision CheckHost(bool allowAll, const std::vector<std::string>& rules, std::string_view hostName,
                       const sockaddr* peer, socklen_t len) {
    const std::string* hit = nullptr;
    if (!hostName.empty()) {
        for (const auto& rule : rules)
            if (WildcardMatch(rule, hostName)) {
                hit = &rule;
                break;
            }
    }
    if (hit == nullptr) {
        for (const auto& rule : rules)
            if (AddressRuleMatches(rule, peer, len)) {
                hit = &rule;
                break;
            }
    }
    if (hit == nullptr) {
        const std::string text = AddressText(peer, len);
        if (!text.empty()) {
            for (const auto& rule : rules)
                if (WildcardMatch(rule, text)) {
                    hit = &rule;
                    break;
                }
        }
    }
    HostDecision d;
    d.matched = hit != nullptr;
    if (d.matched) d.rule = *hit;
    // Deny mode admits unless a rule matched; allow mode admits only then.
    d.allowed = allowAll ? !d.matched : d.matched;
    return d;
}

std::string AddressText(const sockaddr* addr, socklen_t len) {
    const auto a = PeerAddress(addr, len);
    if (!a) return {};
    char text[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(a->family, a->bytes.data(), text, sizeof text) == nullptr) return {};
    return text;
}

}  // namespace orvyn
