#include "service/transfer/data/PassiveReplies.h"

#include <arpa/inet.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/eventloop/SocketAddress.h"
#include "service/base/text/NoCase.h"
#include "service/transfer/data/DataAddress.h"

namespace orvyn {
namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// "(h1,h2,h3,h4,p1,p2)" after prefix.
std::string SixNumbers(std::string_view prefix, const std::array<int, 6>& n) {
    char buf[96];
    char* at = buf;
    std::memcpy(at, prefix.data(), prefix.size());
    at += prefix.size();
    *at++ = '(';
    for (size_t i = 0; i < n.size(); ++i) {
        if (i != 0) *at++ = ',';
        at = std::to_chars(at, buf + sizeof buf, n[i]).ptr;
    }
    *at++ = ')';
    return std::string(buf, at);
}

}  // namespace

std::array<int, 6> PasvNumbers(const sockaddr* bound, const std::optional<in_addr>& staticIp) {
    std::array<int, 6> n{};
    const int port = AddressPort(bound);
    n[4] = (port >> 8) & 0xff;
    n[5] = port & 0xff;
    // The static address stands for an IPv4 socket only: a client of an
    // IPv6 one could never reach the socket there.
    const uint8_t* bytes = eventloop::IPv4Bytes(bound);
    if (bytes != nullptr && staticIp) bytes = reinterpret_cast<const uint8_t*>(&*staticIp);
    if (bytes != nullptr) {
        for (int i = 0; i < 4; ++i) n[i] = bytes[i];
    }
    return n;
}

std::string PasvReplyText(const std::array<int, 6>& numbers) {
    return SixNumbers("227 Entering Passive Mode ", numbers);
}

std::optional<in_addr> ParseStaticIp(std::string_view text) {
    text = Trim(text);
    if (text.empty() || text.size() > 15) return std::nullopt;
    const std::string s(text);
    in_addr a{};
    if (inet_pton(AF_INET, s.c_str(), &a) != 1) return std::nullopt;
    return a;
}

int EpsvProtocolFor(const sockaddr* local) {
    return eventloop::IPv4Bytes(local) != nullptr ? 1 : 2;
}

EpsvRequest ParseEpsvArgument(std::string_view arg, const sockaddr* local) {
    EpsvRequest r;
    arg = Trim(arg);
    if (arg.empty()) {
        r.kind = EpsvKind::Open;
        return r;
    }
    if (EqualsNoCase(arg, "ALL")) {
        r.kind = EpsvKind::All;
        return r;
    }
    if (arg.size() > 5) return r;  // no network protocol number is that long
    int protocol = 0;
    for (char c : arg) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return r;
        protocol = protocol * 10 + (c - '0');
    }
    r.protocol = protocol;
    r.kind = protocol == EpsvProtocolFor(local) ? EpsvKind::Open : EpsvKind::BadProtocol;
    return r;
}

std::string EpsvReplyText(int port) {
    return "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)";
}

std::string EpsvUnsupportedText(const sockaddr* local) {
    return "522 Network protocol not supported, use (" + std::to_string(EpsvProtocolFor(local)) + ")";
}

}  // namespace orvyn
