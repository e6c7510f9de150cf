#include "service/transfer/data/OwnEndpoints.h"

#include <netinet/in.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "platform/eventloop/SocketAddress.h"

namespace orvyn::own_endpoints {
namespace {

// Several data sockets may share one local end (they bind the control port
// less one, each connecting somewhere else): each noting counts.
std::map<std::string, int>& Table() {
    static std::map<std::string, int> table;
    return table;
}

// Family, address and port; an IPv4 address seen through an IPv6 socket is
// keyed as plain IPv4.
std::string Key(const sockaddr* a, socklen_t length) {
    uint16_t port = 0;
    if (a->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        port = reinterpret_cast<const sockaddr_in*>(a)->sin_port;
    } else if (a->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        port = reinterpret_cast<const sockaddr_in6*>(a)->sin6_port;
    } else {
        return {};
    }
    std::string key;
    if (const uint8_t* v4 = eventloop::IPv4Bytes(a)) {
        key.assign("4").append(reinterpret_cast<const char*>(v4), 4);
    } else {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr;
        key.assign("6").append(reinterpret_cast<const char*>(&v6), sizeof v6);
    }
    return key.append(reinterpret_cast<const char*>(&port), sizeof port);
}

}  // namespace

bool Add(int fd, sockaddr_storage& noted) {
    socklen_t length = sizeof noted;
    std::memset(&noted, 0, sizeof noted);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&noted), &length) != 0) return false;
    const std::string key = Key(reinterpret_cast<const sockaddr*>(&noted), length);
    if (key.empty()) return false;
    ++Table()[key];
    return true;
}

void Remove(const sockaddr_storage& noted) {
    const std::string key = Key(reinterpret_cast<const sockaddr*>(&noted), sizeof noted);
    const auto it = Table().find(key);
    if (it == Table().end()) return;
    if (--it->second <= 0) Table().erase(it);
}

bool Contains(const sockaddr* peer, socklen_t length) {
    if (Table().empty()) return false;
    const std::string key = Key(peer, length);
    return !key.empty() && Table().count(key) != 0;
}

}  // namespace orvyn::own_endpoints
