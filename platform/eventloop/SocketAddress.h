// IPv4 addresses inside socket addresses. A socket listening on IPv6 sees an
// IPv4 caller as the IPv4-mapped IPv6 address ::ffff:a.b.c.d; whoever compares,
// shows or looks up such a caller works with the IPv4 address a.b.c.d.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

namespace orvyn::eventloop {

// The four bytes a.b.c.d (network order) of ::ffff:a.b.c.d, pointing into a;
// nullptr for any other IPv6 address.
inline const uint8_t* MappedIPv4Bytes(const in6_addr& a) {
    return IN6_IS_ADDR_V4MAPPED(&a) ? a.s6_addr + 12 : nullptr;
}

// The four IPv4 bytes (network order) of an AF_INET address or of an
// IPv4-mapped AF_INET6 address, pointing into *addr; nullptr for a null
// address, any other IPv6 address and any other family. addr must be as long
// as its family's structure.
inline const uint8_t* IPv4Bytes(const sockaddr* addr) {
    if (addr == nullptr) return nullptr;
    if (addr->sa_family == AF_INET)
        return reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(addr)->sin_addr);
    if (addr->sa_family == AF_INET6) return MappedIPv4Bytes(reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr);
    return nullptr;
}

}  // namespace orvyn::eventloop
