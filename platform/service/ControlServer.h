// The service side of the control socket: a listening unix socket served by
// its own thread, the thread the service's control handler runs on. Each
// connection carries one request (see ControlProtocol.h).
//
// The socket is created with mode 0600, so only the service's own account and
// root can connect; peers of any other account are dropped as well.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "platform/service/ServiceStatus.h"

namespace orvyn::service {

class ControlServer {
public:
    using QueryFn = std::function<ServiceStatus()>;
    // Delivers a control code (1..255) and returns the status record afterwards.
    using ControlFn = std::function<ServiceStatus(uint32_t code)>;

    ControlServer(std::string socketPath, QueryFn query, ControlFn control);
    ~ControlServer();  // Stop()
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Creates the socket (and its folder) and starts the handler thread.
    // A stale socket left by a dead service is replaced; when another process
    // answers on it, ERROR_SERVICE_ALREADY_RUNNING. Other failures return an
    // error number (ERROR_FILENAME_EXCED_RANGE for a path too long for a unix
    // socket, ERROR_ACCESS_DENIED, ...). Call before other threads start:
    // the socket is bound under a restrictive umask.
    long Start();

    // Ends the thread, closes the socket and removes its file. Safe to call
    // twice and from the destructor; never from the handler thread itself.
    void Stop();

    bool running() const { return thread_.joinable(); }
    const std::string& path() const { return path_; }

private:
    void ThreadMain();
    void Serve(int client);

    std::string path_;
    QueryFn query_;
    ControlFn control_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    int lockFd_ = -1;  // the lock beside the socket, held while the server runs
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    std::thread thread_;
};

}  // namespace orvyn::service
