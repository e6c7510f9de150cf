#include "platform/service/ServiceController.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/service/ControlClient.h"
#include "platform/service/ControlProtocol.h"
#include "platform/service/Launcher.h"
#include "platform/service/ServicePaths.h"
#include "platform/service/ServicesTable.h"
#include "platform/service/Systemd.h"

extern char** environ;

namespace orvyn::service {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollStep = std::chrono::milliseconds(50);
// How long a start that finds the service running in another process waits
// for its own process to give up.
constexpr auto kLoserGrace = std::chrono::milliseconds(2000);

bool HasPrefix(const char* text, std::string_view prefix) {
    return std::strncmp(text, prefix.data(), prefix.size()) == 0;
}

// The environment of the started service: this process's environment without
// the variables of another manager, with the store, run and certificate
// folders made absolute (the service runs in "/") and the built-in marker.
std::vector<std::string> ServiceEnvironment(const std::string& storePath) {
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        if (HasPrefix(*e, "ORVYN_SERVICE_MANAGER=") || HasPrefix(*e, "NOTIFY_SOCKET=") ||
            HasPrefix(*e, "ORVYN_REGISTRY=") || HasPrefix(*e, "ORVYN_RUNDIR=") ||
            HasPrefix(*e, "ORVYN_CERTDIR=")) {
            continue;
        }
        env.emplace_back(*e);
    }
    env.push_back("ORVYN_REGISTRY=" + AbsolutePath(storePath));
    env.push_back("ORVYN_RUNDIR=" + AbsolutePath(RunDir()));
    if (const char* certs = std::getenv("ORVYN_CERTDIR"); certs != nullptr && *certs != '\0') {
        env.push_back(std::string("ORVYN_CERTDIR=") + AbsolutePath(certs));
    }
    env.push_back(std::string(kManagerEnv) + "=" + kManagerBuiltin);
    return env;
}

long ErrorFromErrno(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR: return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED;
        default: return ERROR_SERVICE_NO_THREAD;
    }
}

bool ManagedBySystemd(const std::string& name) { return SystemdIsRunning() && UnitInstalled(name); }

// True when the pid belongs to a server program: its command name is
// "orvyn" (or the single-session name), or its executable is called orvyn.
bool IsServerProcess(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (std::getline(comm, name)) {
        for (auto& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (name == "orvyn" || name == "vurerir") return true;
    }
    char target[4096];
    ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof(target) - 1);
    if (n <= 0) return false;
    std::string exe(target, static_cast<size_t>(n));
    auto slash = exe.rfind('/');
    return exe.substr(slash == std::string::npos ? 0 : slash + 1) == "orvyn";
}

}  // namespace

long ServiceController::OpenNamed(const std::string& serviceName) {
    ServicesTable table(store_);
    long err = table.Find(serviceName);
    if (err != ERROR_SUCCESS) return err;
    name_ = table.StoredName(serviceName);
    debug_ = name_ == kDebugServiceName;
    // Removed while it ran: gone once it has stopped (also when it ended
    // without taking its entry with it).
    if (table.MarkedForDelete(name_) && QueryState() == SERVICE_STOPPED) {
        table.Delete(name_);
        name_.clear();
        return ERROR_SERVICE_DOES_NOT_EXIST;
    }
    return ERROR_SUCCESS;
}

long ServiceController::Open() {
    long err = OpenNamed(kServiceName);
    if (err == ERROR_SERVICE_DOES_NOT_EXIST) err = OpenNamed(kDebugServiceName);
    return err;
}

std::string ServiceController::SocketPath() const { return ControlSocketPath(name_); }

long ServiceController::QueryStatus(ServiceStatus& status) const {
    if (!opened()) return ERROR_INVALID_HANDLE;
    long err = SendControlRequest(SocketPath(), FormatQuery(), status);
    if (err == ERROR_SERVICE_NOT_ACTIVE) {
        status = ServiceStatus{};
        status.currentState = SERVICE_STOPPED;
        status.controlsAccepted = 0;
        return ERROR_SUCCESS;
    }
    return err;
}

uint32_t ServiceController::QueryState() const {
    ServiceStatus status;
    if (QueryStatus(status) != ERROR_SUCCESS) return 0;
    return status.currentState >= SERVICE_STOPPED && status.currentState <= SERVICE_RUNNING ? status.currentState : 0;
}

long ServiceController::Start(int waitMs) {
    if (!opened()) return ERROR_INVALID_HANDLE;
    ServicesTable table(store_);
    ServiceConfig config;
    long err = table.Read(name_, config);
    if (err != ERROR_SUCCESS) return err;

    ServiceStatus status;
    err = QueryStatus(status);
    if (err != ERROR_SUCCESS) return err;
    if (status.currentState != SERVICE_STOPPED) return ERROR_SERVICE_ALREADY_RUNNING;

    if (ManagedBySystemd(name_)) {
        return RunSystemctl({"start", UnitName(name_)}) == 0 ? ERROR_SUCCESS : ERROR_SERVICE_REQUEST_TIMEOUT;
    }

    pid_t pid = 0;
    int spawnErr = SpawnDetached(config.imagePath, ServiceEnvironment(store_.path()), pid);
    if (spawnErr != 0) return ErrorFromErrno(spawnErr);

    if (waitMs <= 0) return ERROR_SUCCESS;

    // Wait for the outcome: running, or the service gave up (it reports
    // stopped and ends) or never answered.
    bool answered = false;
    auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        ServiceStatus now;
        long q = SendControlRequest(SocketPath(), FormatQuery(), now, 2000);
        if (q == ERROR_SUCCESS) {
            answered = true;
            if (now.currentState == SERVICE_RUNNING) {
                // Another start that came at the same moment may have won:
                // the service then runs in its process, and ours ends
                // because the control socket is taken.
                const pid_t runner = static_cast<pid_t>(now.processId);
                if (runner == 0 || DescendsFrom(runner, pid)) return ERROR_SUCCESS;
                const auto grace = Clock::now() + kLoserGrace;
                while (ProcessAlive(pid) && Clock::now() < grace) std::this_thread::sleep_for(kPollStep);
                // One that is still on its way must not take over the
                // service later, when the running one stops.
                if (ProcessAlive(pid)) ::kill(pid, SIGTERM);
                return ERROR_SERVICE_ALREADY_RUNNING;
            }
            if (now.currentState == SERVICE_STOPPED) return ERROR_PROCESS_ABORTED;
        } else if (q != ERROR_SERVICE_NOT_ACTIVE) {
            return q;
        } else if (answered || !ProcessAlive(pid)) {
            return ERROR_PROCESS_ABORTED;
        }
        if (Clock::now() >= deadline) return ERROR_SERVICE_REQUEST_TIMEOUT;
        std::this_thread::sleep_for(kPollStep);
    }
}

long ServiceController::Stop(int waitMs) {
    if (!opened()) return ERROR_INVALID_HANDLE;
    if (ManagedBySystemd(name_)) {
        return RunSystemctl({"stop", UnitName(name_)}) == 0 ? ERROR_SUCCESS : ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    ServiceStatus status;
    long err = Control(SERVICE_CONTROL_STOP, status);
    if (err != ERROR_SUCCESS) return err;
    if (waitMs <= 0) return ERROR_SUCCESS;

    const pid_t pid = static_cast<pid_t>(status.processId);
    auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        ServiceStatus now;
        long q = SendControlRequest(SocketPath(), FormatQuery(), now, 2000);
        bool socketGone = q == ERROR_SERVICE_NOT_ACTIVE;
        if (socketGone && (pid == 0 || !ProcessAlive(pid))) return ERROR_SUCCESS;
        if (Clock::now() >= deadline) return ERROR_SERVICE_REQUEST_TIMEOUT;
        std::this_thread::sleep_for(kPollStep);
    }
}

long ServiceController::Control(uint32_t code, ServiceStatus& status) {
    if (!opened()) return ERROR_INVALID_HANDLE;
    if (code < 1 || code > SERVICE_CONTROL_LAST) return ERROR_INVALID_PARAMETER;
    return SendControlRequest(SocketPath(), FormatControl(code), status);
}

namespace {

// Reads the pid the refresh pid file names. ERROR_SUCCESS with pid set, or
// why there is none to signal.
long ReadRefreshPid(pid_t& pid) {
    const std::string path = RefreshPidFilePath();
    // Not blocking: a FIFO put in the file's place must not hold the caller.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    struct stat st{};
    char buf[32];
    ssize_t n = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_uid == 0 || st.st_uid == ::geteuid())) {
        n = ::read(fd, buf, sizeof(buf) - 1);
    } else {
        ::close(fd);
        return ERROR_ACCESS_DENIED;
    }
    ::close(fd);
    if (n <= 0) return ERROR_INVALID_WINDOW_HANDLE;
    size_t len = static_cast<size_t>(n);
    while (len > 0 && (buf[len - 1] == '\n' || buf[len - 1] == '\r' || buf[len - 1] == ' ')) --len;
    long value = 0;
    auto [ptr, ec] = std::from_chars(buf, buf + len, value);
    if (ec != std::errc() || ptr != buf + len || value <= 1 || value > 0x3fffffff) return ERROR_INVALID_WINDOW_HANDLE;
    if (!ProcessAlive(static_cast<pid_t>(value)) || !IsServerProcess(static_cast<pid_t>(value))) {
        return ERROR_INVALID_WINDOW_HANDLE;
    }
    pid = static_cast<pid_t>(value);
    return ERROR_SUCCESS;
}

}  // namespace

pid_t RefreshTargetPid() {
    pid_t pid = 0;
    return ReadRefreshPid(pid) == ERROR_SUCCESS ? pid : 0;
}

long PostServiceRefresh() {
    pid_t pid = 0;
    if (const long err = ReadRefreshPid(pid); err != ERROR_SUCCESS) return err;
    if (::kill(pid, SIGHUP) != 0) {
        return errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE;
    }
    return ERROR_SUCCESS;
}

}  // namespace orvyn::service
