// Socket set-up of data connections: buffer sizes raised to WindowSize, and
// the local port an active data connection leaves from.
#pragma once

#include <sys/socket.h>

#include <functional>

namespace orvyn {

// Raises the socket's SO_SNDBUF or SO_RCVBUF (option) to windowSize when it
// is smaller; a larger buffer is left alone. Returns 0 or a Winsock error.
int RaiseSocketBuffer(int fd, int option, int windowSize);
// The same for a TCP socket made just now: its buffers are the system's
// defaults, which are asked of the first such socket and remembered.
int RaiseFreshSocketBuffer(int fd, int option, int windowSize);

// The port an active data connection is bound to: the one below the control
// port (port 20 for a control port of 21). When that bind is refused for
// lack of privilege (a service not run as root cannot bind port 20) or
// because the port is taken, any free port is used instead: clients do not
// depend on the source port, and refusing would make active mode unusable.
// tryBind binds the socket to a port (0 = any) and returns 0 or a Winsock
// error; the result is that of the last attempt.
int BindActivePort(int controlPort, const std::function<int(int port)>& tryBind);

// BindActivePort on a real socket: sets SO_REUSEADDR to 1, then binds to
// `local` (the control connection's local address) with the port chosen as
// above. Returns 0 or a Winsock error.
int BindActiveDataSocket(int fd, const sockaddr* local, socklen_t localLen);

}  // namespace orvyn
