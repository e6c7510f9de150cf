#include "service/core/host/NTService.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>

#include "platform/service/ControlServer.h"
#include "platform/service/ServiceController.h"
#include "platform/service/ServicesTable.h"

namespace orvyn {

using namespace orvyn::service;
using eventlog::EventType;

namespace {

std::string Format(const char* fmt, const std::string& a) {
    char buf[512];
    std::snprintf(buf, sizeof(buf), fmt, a.c_str());
    return buf;
}

std::string Format(const char* fmt, const std::string& a, const std::string& b) {
    std::string out(a.size() + b.size() + 256, '\0');
    int n = std::snprintf(out.data(), out.size(), fmt, a.c_str(), b.c_str());
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

// The variables a service started by systemd needs to find what the
// installing process used.
std::map<std::string, std::string> UnitEnvironment(const reg::Store& store) {
    std::map<std::string, std::string> env;
    env["ORVYN_REGISTRY"] = AbsolutePath(store.path());
    for (const char* name : {"ORVYN_RUNDIR", "ORVYN_CERTDIR"}) {
        if (const char* v = std::getenv(name); v != nullptr && *v != '\0') env[name] = AbsolutePath(v);
    }
    return env;
}

}  // namespace

std::string ProgramPath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<size_t>(n));
}

CNTService::CNTService(std::string serviceName, reg::Store& store)
    : store_(store),
      name_(serviceName.substr(0, kMaxServiceName)),
      imagePath_(ProgramPath()),
      events_(name_) {
    status_.serviceType = SERVICE_WIN32_OWN_PROCESS;
    status_.currentState = SERVICE_STOPPED;
    status_.controlsAccepted = SERVICE_ACCEPT_STOP;
}

CNTService::~CNTService() = default;

void CNTService::Run() {
    while (running_) std::this_thread::sleep_for(std::chrono::milliseconds(5000));
}

bool CNTService::OnInit() { return true; }
void CNTService::OnStop() {}
void CNTService::OnInterrogate() {}
void CNTService::OnPause() {}
void CNTService::OnContinue() {}
void CNTService::OnShutdown() {}
bool CNTService::OnUserControl(uint32_t) { return false; }

// ---- install and remove ----------------------------------------------------

bool CNTService::ParseStandardArgs(const StandardArgs& args, HostMessage& message, int& exitCode) {
    message = {};
    if (args.action == ServiceAction::None) return false;

    if (args.action == ServiceAction::Install) {
        if (IsInstalled()) {
            if (ServicesTable(store_).MarkedForDelete(name_)) {
                message = {true, InstallErrorText(ERROR_SERVICE_MARKED_FOR_DELETE)};
                exitCode = 1;
                return true;
            }
            // Nothing to do: the service is there, which is what was asked.
            message = {false, Format("%s is already installed\n", name_)};
            exitCode = 0;
            return true;
        }
        long err = Install();
        if (err == ERROR_SUCCESS) {
            if (!args.quiet) message = {false, Format("%s installed\n", name_)};
            exitCode = 0;
        } else {
            message = {true, InstallErrorText(err)};
            exitCode = 1;
        }
        return true;
    }

    if (!IsInstalled()) {
        message = {true, Format("%s is not installed in the services table.\n", name_)};
        exitCode = 1;
        return true;
    }
    long err = Uninstall();
    if (err == ERROR_SUCCESS) {
        if (!args.quiet) {
            message = {false, Format("%s removed. (You must delete the file (%s) yourself.)\n", name_, imagePath_)};
        }
        exitCode = 0;
    } else {
        message = {true, RemoveErrorText(err)};
        exitCode = 1;
    }
    return true;
}

bool CNTService::IsInstalled() {
    ServicesTable table(store_);
    if (!table.Exists(name_)) return false;
    if (!table.MarkedForDelete(name_)) return true;
    // Removed while it ran: gone once it no longer runs, also when it ended
    // without taking its entry with it (opening it then takes it away).
    return ServiceController(store_).OpenNamed(name_) == ERROR_SUCCESS;
}

long CNTService::Install() {
    if (imagePath_.empty()) return ERROR_FILE_NOT_FOUND;
    ServicesTable table(store_);
    ServiceConfig config;
    config.displayName = name_;
    config.imagePath = imagePath_;
    config.type = SERVICE_WIN32_OWN_PROCESS;
    config.start = SERVICE_DEMAND_START;
    config.errorControl = SERVICE_ERROR_NORMAL;
    config.objectName = "LocalSystem";
    long err = table.Create(name_, config);
    if (err != ERROR_SUCCESS) return err;

    if (SystemdIsRunning()) {
        err = InstallUnit(name_, UnitFileText(name_, imagePath_, UnitEnvironment(store_)));
        if (err != ERROR_SUCCESS) {
            table.Delete(name_);
            return err;
        }
    }

    // Where the event viewer finds the message texts of this source.
    eventlog::RegisterSource(store_, name_, imagePath_);
    LogEvent(EventType::Information, eventlog::EVMSG_INSTALLED, name_);
    return ERROR_SUCCESS;
}

long CNTService::Uninstall() {
    ServicesTable table(store_);
    long err = ERROR_SUCCESS;
    if (table.MarkedForDelete(name_)) err = ERROR_SERVICE_MARKED_FOR_DELETE;
    if (err == ERROR_SUCCESS && SystemdIsRunning()) err = RemoveUnit(name_);
    if (err == ERROR_SUCCESS) {
        // A running service keeps its entry, marked, until it stops, so that
        // it can still be stopped.
        ServiceController running(store_);
        const bool runs = running.OpenNamed(name_) == ERROR_SUCCESS && running.QueryState() != SERVICE_STOPPED;
        err = runs ? table.MarkForDelete(name_) : table.Delete(name_);
    }
    if (err == ERROR_SUCCESS) {
        LogEvent(EventType::Information, eventlog::EVMSG_REMOVED, name_);
    } else {
        LogEvent(EventType::Error, eventlog::EVMSG_NOTREMOVED, name_);
    }
    return err;
}

std::string CNTService::InstallErrorText(long error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
            return "Access denied in installing the service\nLog back in as an administrator and run \"orvyn -install\"";
        case ERROR_INVALID_HANDLE: return "Unable to install - invalid handle.";
        case ERROR_DUP_NAME:
            return "Unable to install - It says we're already here.  I checked for that earlier, though.";
        case ERROR_INVALID_PARAMETER: return "Unable to install - Invalid parameter - please inform the programmer.";
        case ERROR_INVALID_NAME: return "Unable to install - invalid name";
        case ERROR_INVALID_SERVICE_ACCOUNT: return "Unable to install - specified a non-existant user name";
        case ERROR_CIRCULAR_DEPENDENCY:
            return "Unable to install - Circular dependency - ORVYN depends on something that depends on it.";
        case ERROR_DATABASE_DOES_NOT_EXIST: return "Unable to install - Service database does not exist.  Peculiar.";
        case ERROR_SERVICE_EXISTS: return "Unable to install - Service already exists";
        case ERROR_SERVICE_MARKED_FOR_DELETE:
            return "Unable to install - the service was removed while it runs; it goes when it stops.";
        default: return "Unable to install - unknown error " + std::to_string(error);
    }
}

std::string CNTService::RemoveErrorText(long error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
            return "Access denied in removing the service\nLog back in as an administrator and run \"orvyn -install\"";
        case ERROR_INVALID_HANDLE: return "Unable to remove - invalid handle.";
        case ERROR_INVALID_PARAMETER: return "Unable to remove - Invalid parameter - please inform the programmer.";
        case ERROR_INVALID_NAME: return "Unable to remove - invalid name";
        case ERROR_SERVICE_DOES_NOT_EXIST: return "Unable to remove - service does not exist.";
        case ERROR_DATABASE_DOES_NOT_EXIST: return "Unable to remove - Service database does not exist.  Peculiar.";
        case ERROR_SERVICE_MARKED_FOR_DELETE: return "Unable to remove - already marked for deletion.";
        default: return "Unable to remove - unknown error " + std::to_string(error);
    }
}

// ---- running as a service ----------------------------------------------------

bool CNTService::StartService(ManagerKind kind, const std::string& notifySocket, int& exitCode) {
    if (kind == ManagerKind::None) return false;
    notifier_ = SdNotifier(kind == ManagerKind::Systemd ? notifySocket : std::string());
    exitCode = ServiceMain() ? 0 : 1;
    return true;
}

bool CNTService::ServiceMain() {
    {
        std::lock_guard lock(statusMutex_);
        status_.currentState = SERVICE_START_PENDING;
        status_.processId = static_cast<uint32_t>(::getpid());
    }
    // The control handler: every code arrives on the control socket's thread.
    ControlServer control(
        ControlSocketPath(name_), [this] { return Status(); }, [this](uint32_t code) { return Handler(code); });
    if (control.Start() != ERROR_SUCCESS) {
        LogEvent(EventType::Error, eventlog::EVMSG_CTRLHANDLERNOTINSTALLED);
        SetStatus(SERVICE_STOPPED, static_cast<uint32_t>(ERROR_SERVICE_ALREADY_RUNNING), 0, 0);
        return false;
    }

    if (!Initialize()) {
        control.Stop();
        DeleteIfMarked();
        return false;
    }
    running_ = true;
    SetStatus(SERVICE_RUNNING, 0, 0, 0);
    Run();
    running_ = false;
    SetStatus(SERVICE_STOPPED, 0, 0, 0);
    control.Stop();
    DeleteIfMarked();
    return true;
}

void CNTService::DeleteIfMarked() {
    ServicesTable table(store_);
    if (table.MarkedForDelete(name_)) table.Delete(name_);
}

bool CNTService::Initialize() {
    SetStatus(SERVICE_START_PENDING);
    lastError_ = 0;
    bool ok = OnInit();
    uint32_t exitCode = static_cast<uint32_t>(lastError_.load());
    if (!ok) {
        LogEvent(EventType::Error, eventlog::EVMSG_FAILEDINIT);
        SetStatus(SERVICE_STOPPED, exitCode != 0 ? exitCode : static_cast<uint32_t>(ERROR_SERVICE_NO_THREAD), 0, 0);
        return false;
    }
    LogEvent(EventType::Information, eventlog::EVMSG_STARTED);
    SetStatus(SERVICE_RUNNING, exitCode, 0, 0);
    return true;
}

ServiceStatus CNTService::Handler(uint32_t code) {
    switch (code) {
        case SERVICE_CONTROL_STOP: OnStop(); break;
        case SERVICE_CONTROL_PAUSE: OnPause(); break;
        case SERVICE_CONTROL_CONTINUE: OnContinue(); break;
        case SERVICE_CONTROL_INTERROGATE: OnInterrogate(); break;
        case SERVICE_CONTROL_SHUTDOWN: OnShutdown(); break;
        default:
            if (code >= SERVICE_USER_CONTROL_FIRST) {
                if (!OnUserControl(code)) LogEvent(EventType::Error, eventlog::EVMSG_BADREQUEST);
            } else {
                LogEvent(EventType::Error, eventlog::EVMSG_BADREQUEST);
            }
            break;
    }
    ServiceStatus now = Status();
    ReportStatus(now);
    return now;
}

ServiceStatus CNTService::Status() const {
    std::lock_guard lock(statusMutex_);
    return status_;
}

void CNTService::SetStatus(uint32_t state) {
    ServiceStatus now;
    {
        std::lock_guard lock(statusMutex_);
        status_.currentState = state;
        now = status_;
    }
    ReportStatus(now);
}

void CNTService::SetStatus(uint32_t state, uint32_t exitCode, uint32_t checkPoint, uint32_t waitHint) {
    ServiceStatus now;
    {
        std::lock_guard lock(statusMutex_);
        status_.currentState = state;
        status_.win32ExitCode = exitCode;
        status_.checkPoint = checkPoint;
        status_.waitHint = waitHint;
        now = status_;
    }
    ReportStatus(now);
}

void CNTService::ReportStatus(const ServiceStatus& s) {
    // The control socket answers from the record itself; systemd is told.
    if (!notifier_.enabled()) return;
    switch (s.currentState) {
        case SERVICE_START_PENDING: notifier_.Notify("STATUS=Starting"); break;
        case SERVICE_RUNNING: notifier_.Notify("READY=1\nSTATUS=Running"); break;
        case SERVICE_STOP_PENDING: notifier_.Notify("STOPPING=1\nSTATUS=Stopping"); break;
        case SERVICE_STOPPED:
            notifier_.Notify(s.win32ExitCode == 0 ? std::string("STATUS=Stopped")
                                                  : "STATUS=Stopped\nERRNO=" + std::to_string(s.win32ExitCode));
            break;
        default: break;
    }
}

void CNTService::LogEvent(EventType type, uint32_t id, std::string_view s1, std::string_view s2,
                          std::string_view s3) {
    events_.Report(type, id, s1, s2, s3);
}

}  // namespace orvyn
