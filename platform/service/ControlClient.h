// The client side of a service's control socket.
#pragma once

#include <string>

#include "platform/service/ServiceStatus.h"

namespace orvyn::service {

// Sends one request line to a control socket and reads the status record.
// Returns ERROR_SUCCESS with the record; ERROR_SERVICE_NOT_ACTIVE when no
// service listens there (no socket file, or one left by a dead service);
// ERROR_ACCESS_DENIED when the socket is not a socket owned by root or by
// this account, or its server runs under another account;
// ERROR_SERVICE_REQUEST_TIMEOUT when no answer came within timeoutMs; the
// number of an ERROR answer; ERROR_INVALID_PARAMETER for a malformed answer.
long SendControlRequest(const std::string& socketPath, const std::string& request,
                        ServiceStatus& status, int timeoutMs = 5000);

}  // namespace orvyn::service
