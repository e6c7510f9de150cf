#include "platform/accounts/PeerAccount.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/eventloop/SocketAddress.h"

namespace orvyn::accounts {

namespace {

// One end as the socket table keys it: family, port and address (an IPv4
// address inside an IPv6 one is the IPv4 socket it really is).
struct End {
    int family = AF_UNSPEC;
    uint16_t port = 0;  // network order
    uint32_t address[4] = {};
};

bool ToEnd(const sockaddr_storage& in, End& out) {
    const auto* address = reinterpret_cast<const sockaddr*>(&in);
    if (in.ss_family == AF_INET) {
        out.port = reinterpret_cast<const sockaddr_in*>(&in)->sin_port;
    } else if (in.ss_family == AF_INET6) {
        out.port = reinterpret_cast<const sockaddr_in6*>(&in)->sin6_port;
    } else {
        return false;
    }
    if (const uint8_t* v4 = eventloop::IPv4Bytes(address)) {
        out.family = AF_INET;
        std::memcpy(out.address, v4, 4);
    } else {
        out.family = AF_INET6;
        std::memcpy(out.address, &reinterpret_cast<const sockaddr_in6*>(&in)->sin6_addr, 16);
    }
    return true;
}

// Asks the kernel on the netlink socket nl for the client's socket.
std::optional<uid_t> AskOwner(int nl, const End& client, const End& server) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } ask{};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST;
    ask.request.sdiag_family = static_cast<uint8_t>(client.family);
    ask.request.sdiag_protocol = IPPROTO_TCP;
    ask.request.idiag_states = ~0u;
    // The client's socket: its source is the peer, its destination is us.
    ask.request.id.idiag_sport = client.port;
    ask.request.id.idiag_dport = server.port;
    std::memcpy(ask.request.id.idiag_src, client.address, sizeof client.address);
    std::memcpy(ask.request.id.idiag_dst, server.address, sizeof server.address);
    ask.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    ask.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t n;
    do {
        n = ::sendto(nl, &ask, sizeof ask, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof ask)) return std::nullopt;

    alignas(nlmsghdr) char answer[4096];
    do {
        n = ::recv(nl, answer, sizeof answer, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return std::nullopt;
    const auto* h = reinterpret_cast<const nlmsghdr*>(answer);
    int left = static_cast<int>(n);
    for (; NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY) return std::nullopt;  // an error or the end
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return std::nullopt;
        const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
        if (found->id.idiag_sport != client.port || found->id.idiag_dport != server.port) continue;
        return static_cast<uid_t>(found->idiag_uid);
    }
    return std::nullopt;
}

}  // namespace

std::optional<uid_t> LocalPeerOwner(const sockaddr_storage& local, const sockaddr_storage& peer) {
    End server, client;
    if (!ToEnd(local, server) || !ToEnd(peer, client) || server.family != client.family) return std::nullopt;
    const int nl = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) return std::nullopt;
    const std::optional<uid_t> owner = AskOwner(nl, client, server);
    ::close(nl);
    return owner;
}

}  // namespace orvyn::accounts
