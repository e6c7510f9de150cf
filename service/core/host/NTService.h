// CNTService: the generic service wrapper. It installs and removes the
// service, runs the service main when a service manager started the
// program, answers control codes on the control socket's thread and reports
// states to the manager and events to the event log. A derived class fills
// in the virtual operations.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/eventlog/EventLog.h"
#include "platform/registry/Registry.h"
#include "platform/service/ServicePaths.h"
#include "platform/service/ServiceStatus.h"
#include "platform/service/Systemd.h"
#include "service/core/host/CommandLine.h"

namespace orvyn {

// A message for the user: printed on standard output (success) or standard
// error (failure) by the program.
struct HostMessage {
    bool failure = false;
    std::string text;  // empty: nothing to show
};

class CNTService {
public:
    // serviceName: at most 63 characters; also the display name and the event source.
    CNTService(std::string serviceName, reg::Store& store);
    virtual ~CNTService();
    CNTService(const CNTService&) = delete;
    CNTService& operator=(const CNTService&) = delete;

    // The operations a service fills in, in this order.
    virtual void Run();
    virtual bool OnInit();
    virtual void OnStop();
    virtual void OnInterrogate();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();
    virtual bool OnUserControl(uint32_t code);

    const std::string& name() const { return name_; }
    // The program registered as the service's executable; the running
    // program's own path unless set.
    const std::string& imagePath() const { return imagePath_; }
    void setImagePath(std::string path) { imagePath_ = std::move(path); }

    // The wrapper's part of the command line. Returns true when it took the
    // line (install or remove was done or failed); message and exitCode tell
    // what to show and how to end.
    bool ParseStandardArgs(const StandardArgs& args, HostMessage& message, int& exitCode);

    bool IsInstalled();
    // Install: the services-table entry (plus the systemd unit where systemd
    // runs the system), the event source's key, event 100. Returns 0 or the
    // error number; a failure leaves the services table as it was.
    long Install();
    // Remove: the unit and the services-table entry; event 101, or 102 on
    // failure. A running service's entry is marked instead and goes when the
    // service stops; a marked one is not removed again.
    long Uninstall();

    // Runs the service when a manager started the program (the dispatcher's
    // job); returns false at once for ManagerKind::None. exitCode is the
    // process's exit status afterwards.
    bool StartService(service::ManagerKind kind, const std::string& notifySocket, int& exitCode);

    // The control handler: runs the operation of a control code and returns
    // the status record afterwards. Any thread.
    service::ServiceStatus Handler(uint32_t code);

    service::ServiceStatus Status() const;
    bool running() const { return running_; }

    // Reports an event with up to three insertion strings.
    void LogEvent(eventlog::EventType type, uint32_t id, std::string_view s1 = {}, std::string_view s2 = {},
                  std::string_view s3 = {});

    // Texts of the install and remove results.
    static std::string InstallErrorText(long error);
    static std::string RemoveErrorText(long error);

protected:
    // Sets the current state and reports the record to the manager.
    void SetStatus(uint32_t state);
    // Sets exit code, check point and wait hint together with the state.
    void SetStatus(uint32_t state, uint32_t exitCode, uint32_t checkPoint, uint32_t waitHint);
    // The error number OnInit leaves for the exit code when it fails.
    void SetLastError(long error) { lastError_ = error; }

    reg::Store& store_;

private:
    bool ServiceMain();
    // The service stops: its entry goes if it was removed while it ran.
    void DeleteIfMarked();
    bool Initialize();
    void ReportStatus(const service::ServiceStatus& status);

    std::string name_;
    std::string imagePath_;
    mutable std::mutex statusMutex_;
    service::ServiceStatus status_;
    service::SdNotifier notifier_;
    eventlog::EventSource events_;
    std::atomic<bool> running_{false};
    std::atomic<long> lastError_{0};
};

// The running program's absolute path (/proc/self/exe).
std::string ProgramPath();

}  // namespace orvyn
