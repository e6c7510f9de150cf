// The local ends of the service's own active data connections. A control
// connection that comes from one of them is the service talking to itself,
// sent there by a PORT or EPRT aimed at one of its own listeners: whatever
// a client uploaded would then be read as commands from this very machine,
// which the remote administration trusts. Such a connection is no client.
//
// Everything runs on the network thread (data channels and the instances'
// accepts), so the table needs no lock.
#pragma once

#include <sys/socket.h>

namespace orvyn::own_endpoints {

// Notes the local end of a data socket that connects out; false when it
// cannot be learnt (then nothing is noted).
bool Add(int fd, sockaddr_storage& noted);
// Forgets one noting of an end Add gave.
void Remove(const sockaddr_storage& noted);
// Whether a connection's peer is one of the noted ends.
bool Contains(const sockaddr* peer, socklen_t length);

}  // namespace orvyn::own_endpoints
