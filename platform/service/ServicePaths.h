// Where a running service keeps its control socket and its pid file, and how
// a process learns which service manager started it.
#pragma once

#include <string>

namespace orvyn::service {

// $ORVYN_RUNDIR, or /run/orvyn when it is unset or empty.
std::string RunDir();
// "<run dir>/<service name>.ctl"
std::string ControlSocketPath(const std::string& serviceName);
// "<run dir>/ORVYN Service Control.pid": the pid of the process that owns the
// main object, which "ORVYN Service Refresh" (SIGHUP) is sent to.
std::string RefreshPidFilePath();

// The environment variable the built-in manager sets in the service process.
inline constexpr const char* kManagerEnv = "ORVYN_SERVICE_MANAGER";
inline constexpr const char* kManagerBuiltin = "builtin";

enum class ManagerKind {
    None,     // started by hand
    Systemd,  // a notify unit: NOTIFY_SOCKET is set
    Builtin,  // spawned by the built-in manager
};

// Reads the environment. When takeEnvironment is true the variables are
// removed afterwards so that child processes do not inherit them; call it
// before any other thread starts.
ManagerKind DetectManager(bool takeEnvironment, std::string* notifySocket = nullptr);

// True when systemd is the system's service manager (/run/systemd/system
// exists). ORVYN_SYSTEMD=0 makes it false: install, remove, start and stop
// then leave systemd alone and use the built-in manager (containers, tests).
bool SystemdIsRunning();

// Absolute form of a path (relative ones against the current directory);
// the path itself need not exist.
std::string AbsolutePath(const std::string& path);

}  // namespace orvyn::service
