// Which account holds the other end of a TCP connection made on this machine.
//
// The kernel's socket table knows the owner of every socket; the client's
// socket of a loopback connection is found by its exact address pair
// (NETLINK_SOCK_DIAG), so the answer costs one round trip to the kernel and
// reads no table of all connections. The query never waits on the network.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <optional>

namespace orvyn::accounts {

// The owner (uid) of the client socket of a TCP connection whose server end
// has the address `local` and whose client end has the address `peer`, both
// on this machine; nullopt when the socket cannot be found (the client has
// gone, another machine, or the kernel refuses the query).
std::optional<uid_t> LocalPeerOwner(const sockaddr_storage& local, const sockaddr_storage& peer);

}  // namespace orvyn::accounts
