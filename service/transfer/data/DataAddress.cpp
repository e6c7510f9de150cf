#include "service/transfer/data/DataAddress.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstring>
#include <optional>

#include "platform/eventloop/SocketAddress.h"

namespace orvyn {
namespace {

constexpr size_t kMaxEprtAddress = 64;
constexpr size_t kMaxEprtPort = 5;
constexpr int kMaxEprtProtocol = 33;
constexpr int kLowestUnprivilegedPort = 1024;

// One "%d" conversion: leading white space, an optional sign, at least one
// digit. A value that does not fit is reported as out of range (LONG_MAX
// stand-in) instead of overflowing.
bool ScanNumber(std::string_view s, size_t& pos, long& value) {
    while (pos < s.size() && std::isspace(static_cast<unsigned char>(s[pos]))) ++pos;
    bool negative = false;
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
        negative = s[pos] == '-';
        ++pos;
    }
    const size_t digitsStart = pos;
    long v = 0;
    bool huge = false;
    while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) {
        if (v > 100000) {
            huge = true;  // far outside any valid number; keep scanning the digits
        } else {
            v = v * 10 + (s[pos] - '0');
        }
        ++pos;
    }
    if (pos == digitsStart) return false;
    value = huge ? 1000000 : v;
    if (negative) value = -value;
    return true;
}

void FillIpv4(DataTarget& t, const in_addr& a, int port) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr = a;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    std::memcpy(&t.address, &sin, sizeof sin);
    t.length = sizeof sin;
}

void FillIpv6(DataTarget& t, const in6_addr& a, int port) {
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_addr = a;
    sin6.sin6_port = htons(static_cast<uint16_t>(port));
    std::memcpy(&t.address, &sin6, sizeof sin6);
    t.length = sizeof sin6;
}

bool IsUnspecified(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET) return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr == htonl(INADDR_ANY);
    if (a.ss_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(a).sin6_addr;
        return IN6_IS_ADDR_UNSPECIFIED(&v6) != 0;
    }
    return false;
}

// The rules shared by PORT and EPRT once the target is known.
void ApplyRules(DataTarget& t, const sockaddr* controlPeer, const DataTargetRules& rules) {
    // Port 0 is no place to connect to, whatever the low-port rule says.
    if (t.port == 0) {
        t.outcome = DataTargetOutcome::BadSyntax;
        return;
    }
    // The unspecified address (0.0.0.0, ::) names no host: a client that
    // sends it (one whose data socket listens on every address) means
    // itself, the control connection's peer. Taken literally it would be
    // this host.
    if (controlPeer != nullptr && IsUnspecified(t.address)) {
        if (controlPeer->sa_family == AF_INET) {
            FillIpv4(t, reinterpret_cast<const sockaddr_in*>(controlPeer)->sin_addr, t.port);
        } else if (controlPeer->sa_family == AF_INET6) {
            const auto* peer6 = reinterpret_cast<const sockaddr_in6*>(controlPeer);
            FillIpv6(t, peer6->sin6_addr, t.port);
            reinterpret_cast<sockaddr_in6&>(t.address).sin6_scope_id = peer6->sin6_scope_id;
        }
        t.addressText = AddressText(reinterpret_cast<const sockaddr*>(&t.address));
    }
    const bool lowPort = rules.disableLowPorts && t.port < kLowestUnprivilegedPort;
    const bool otherHost = rules.requireBackPort &&
                           (controlPeer == nullptr ||
                            !SameHostAddress(reinterpret_cast<const sockaddr*>(&t.address), controlPeer));
    t.outcome = (lowPort || otherHost) ? DataTargetOutcome::Refused : DataTargetOutcome::Accepted;
}

bool IsEprtDelimiter(unsigned char c) {
    if (c < 33 || c > 126) return false;
    if (std::isdigit(c) || c == '.' || c == ':') return false;
    if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) return false;
    return true;
}

// The text from pos up to the next delimiter, at most maxLen characters;
// pos is left after the delimiter.
std::optional<std::string_view> UpToDelimiter(std::string_view s, size_t& pos, char delim, size_t maxLen) {
    const size_t end = s.find(delim, pos);
    if (end == std::string_view::npos || end - pos > maxLen) return std::nullopt;
    std::string_view field = s.substr(pos, end - pos);
    pos = end + 1;
    return field;
}

}  // namespace

const char* DataTarget::reply() const {
    switch (outcome) {
    case DataTargetOutcome::Accepted:
        return kReplyPortOkay;
    case DataTargetOutcome::BadProtocol:
        return kReplyEprtProtocol;
    case DataTargetOutcome::BadSyntax:
    case DataTargetOutcome::Refused:
        break;
    }
    return kReplyPortIllegal;
}

DataTarget ParsePortArgument(std::string_view arg, const sockaddr* controlPeer, const DataTargetRules& rules) {
    DataTarget t;
    long n[6];
    size_t pos = 0;
    unsigned long all = 0;
    for (int i = 0; i < 6; ++i) {
        if (i > 0) {
            if (pos >= arg.size() || arg[pos] != ',') return t;
            ++pos;
        }
        if (!ScanNumber(arg, pos, n[i])) return t;
        all |= static_cast<unsigned long>(n[i]);  // a negative number sets high bits
    }
    if (all > 255) return t;

    in_addr a{};
    a.s_addr = htonl(static_cast<uint32_t>((n[0] << 24) | (n[1] << 16) | (n[2] << 8) | n[3]));
    t.p1 = static_cast<int>(n[4]);
    t.p2 = static_cast<int>(n[5]);
    t.port = t.p1 * 256 + t.p2;
    FillIpv4(t, a, t.port);
    t.addressText = AddressText(reinterpret_cast<const sockaddr*>(&t.address));
    ApplyRules(t, controlPeer, rules);
    return t;
}

DataTarget ParseEprtArgument(std::string_view arg, const sockaddr* controlPeer, const DataTargetRules& rules) {
    DataTarget t;
    if (arg.empty() || !IsEprtDelimiter(static_cast<unsigned char>(arg[0]))) return t;
    const char d = arg[0];
    size_t pos = 1;

    int protocol = 0;
    while (pos < arg.size() && arg[pos] != d) {
        if (!std::isdigit(static_cast<unsigned char>(arg[pos]))) return t;
        protocol = protocol * 10 + (arg[pos] - '0');
        if (protocol > kMaxEprtProtocol) return t;
        ++pos;
    }
    if (pos >= arg.size()) return t;
    ++pos;  // the delimiter after the protocol

    const auto address = UpToDelimiter(arg, pos, d, kMaxEprtAddress);
    if (!address) return t;
    const auto port = UpToDelimiter(arg, pos, d, kMaxEprtPort);
    if (!port) return t;
    if (pos != arg.size()) return t;  // the last delimiter must end the argument

    t.protocol = protocol;
    if (protocol != 1 && protocol != 2) {
        t.outcome = DataTargetOutcome::BadProtocol;
        return t;
    }

    if (port->empty()) return t;
    int portValue = 0;
    for (char c : *port) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return t;
        portValue = portValue * 10 + (c - '0');
    }
    if (portValue > 65535) return t;

    const std::string addressText(*address);
    if (protocol == 1) {
        in_addr a{};
        if (inet_pton(AF_INET, addressText.c_str(), &a) != 1) return t;
        FillIpv4(t, a, portValue);
    } else {
        in6_addr a{};
        if (inet_pton(AF_INET6, addressText.c_str(), &a) != 1) return t;
        FillIpv6(t, a, portValue);
    }
    t.port = portValue;
    t.addressText = AddressText(reinterpret_cast<const sockaddr*>(&t.address));
    ApplyRules(t, controlPeer, rules);
    return t;
}

bool SameHostAddress(const sockaddr* a, const sockaddr* b) {
    if (a == nullptr || b == nullptr) return false;
    // Reduce both to raw bytes: 4 for IPv4 (and mapped IPv6), 16 for IPv6.
    auto bytes = [](const sockaddr* s, const uint8_t*& p) -> size_t {
        if (const uint8_t* v4 = eventloop::IPv4Bytes(s)) {
            p = v4;
            return 4;
        }
        if (s->sa_family == AF_INET6) {
            p = reinterpret_cast<const sockaddr_in6*>(s)->sin6_addr.s6_addr;
            return 16;
        }
        return 0;
    };
    const uint8_t* pa = nullptr;
    const uint8_t* pb = nullptr;
    const size_t la = bytes(a, pa);
    const size_t lb = bytes(b, pb);
    return la != 0 && la == lb && std::memcmp(pa, pb, la) == 0;
}

bool AdaptToFamily(sockaddr_storage& addr, socklen_t& len, int family) {
    if (addr.ss_family == family) return true;
    if (addr.ss_family == AF_INET && family == AF_INET6) {
        sockaddr_in sin;
        std::memcpy(&sin, &addr, sizeof sin);
        sockaddr_in6 sin6{};
        sin6.sin6_family = AF_INET6;
        sin6.sin6_port = sin.sin_port;
        sin6.sin6_addr.s6_addr[10] = 0xff;
        sin6.sin6_addr.s6_addr[11] = 0xff;
        std::memcpy(sin6.sin6_addr.s6_addr + 12, &sin.sin_addr, 4);
        std::memset(&addr, 0, sizeof addr);
        std::memcpy(&addr, &sin6, sizeof sin6);
        len = sizeof sin6;
        return true;
    }
    if (addr.ss_family == AF_INET6 && family == AF_INET) {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, &addr, sizeof sin6);
        const uint8_t* v4 = eventloop::MappedIPv4Bytes(sin6.sin6_addr);
        if (v4 == nullptr) return false;
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = sin6.sin6_port;
        std::memcpy(&sin.sin_addr, v4, 4);
        std::memset(&addr, 0, sizeof addr);
        std::memcpy(&addr, &sin, sizeof sin);
        len = sizeof sin;
        return true;
    }
    return false;
}

std::string AddressText(const sockaddr* addr) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (addr == nullptr) return {};
    if (addr->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, buf, sizeof buf);
    } else if (addr->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr, buf, sizeof buf);
    }
    return buf;
}

int AddressPort(const sockaddr* addr) {
    if (addr == nullptr) return 0;
    if (addr->sa_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(addr)->sin_port);
    if (addr->sa_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(addr)->sin6_port);
    return 0;
}

}  // namespace orvyn
