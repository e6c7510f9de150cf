// The controlling side of the service manager, as the administration applet
// and scripts use it: open the service, query its state, start it, stop it,
// send it a control code, and post "ORVYN Service Refresh".
//
// Where systemd runs the system and the service's unit is installed, start
// and stop go through systemctl. Elsewhere the built-in manager starts the
// ImagePath of the services table detached, with the environment variable
// ORVYN_SERVICE_MANAGER=builtin so that the program runs as the service.
// Query and control codes always go through the service's control socket;
// no socket means stopped.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/registry/Registry.h"
#include "platform/service/ServiceStatus.h"

namespace orvyn::service {

class ServiceController {
public:
    explicit ServiceController(reg::Store& store) : store_(store) {}

    // Opens "ORVYN Pro" or, when that is not in the services table,
    // "ORVYN Pro (Debug)" (debug() true then). ERROR_SERVICE_DOES_NOT_EXIST
    // when neither is installed.
    long Open();
    // Opens a service of the table by name.
    long OpenNamed(const std::string& serviceName);

    bool opened() const { return !name_.empty(); }
    const std::string& name() const { return name_; }
    bool debug() const { return debug_; }

    // The status record. A service without a control socket is stopped.
    long QueryStatus(ServiceStatus& status) const;
    // 1 stopped, 2 start pending, 3 stop pending, 4 running; 0 when unknown
    // (not opened, no answer, or a state this service never takes).
    uint32_t QueryState() const;

    // Starts the service. With waitMs > 0 it waits that long for the outcome:
    // ERROR_SUCCESS once the service runs, ERROR_PROCESS_ABORTED when it
    // stopped or ended before running (its initialisation failed),
    // ERROR_SERVICE_REQUEST_TIMEOUT when it was still starting or silent.
    // With waitMs 0 it returns once the program was executed. Either way
    // ERROR_SERVICE_ALREADY_RUNNING when it runs already, and
    // ERROR_FILE_NOT_FOUND / ERROR_ACCESS_DENIED when its program cannot be
    // executed.
    long Start(int waitMs = 10000);

    // Sends the stop control and waits up to waitMs for the service to reach
    // the stopped state (0: do not wait). ERROR_SERVICE_NOT_ACTIVE when it
    // is not running.
    long Stop(int waitMs = 10000);

    // Sends a control code (1..255) and returns the status record answered.
    long Control(uint32_t code, ServiceStatus& status);

private:
    std::string SocketPath() const;

    reg::Store& store_;
    std::string name_;
    bool debug_ = false;
};

// Posts "ORVYN Service Refresh": SIGHUP to the pid written in
// "<run dir>/ORVYN Service Control.pid". ERROR_FILE_NOT_FOUND without a pid
// file, ERROR_ACCESS_DENIED when the file is not owned by root or this
// account, ERROR_INVALID_WINDOW_HANDLE when the pid is not a running server.
long PostServiceRefresh();

// The pid the refresh pid file names when that process is alive and runs the
// server; 0 otherwise (no file, a stale pid, another program).
pid_t RefreshTargetPid();

}  // namespace orvyn::service
