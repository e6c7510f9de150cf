// The main object of the service ("ORVYN Service Control"): the list of
// running server instances, the instance timer, starting every configured
// instance and re-scanning the configuration, and the pid file through which
// other programs ask for that re-scan (SIGHUP).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/eventloop/EventLoop.h"
#include "platform/registry/Registry.h"

namespace orvyn {

class CFtpServer;

class CTimerWnd {
public:
    static constexpr unsigned kDefaultTimerMs = 5000;

    CTimerWnd(reg::Store& store, eventloop::EventLoop& loop);
    ~CTimerWnd();  // stops every running instance
    CTimerWnd(const CTimerWnd&) = delete;
    CTimerWnd& operator=(const CTimerWnd&) = delete;

    // Starts every enabled instance under Servers, refreshes the running
    // ones and stops the disabled ones. False when the product key does not
    // exist (nothing is started then).
    bool StartAllInstances();
    // Stops every running instance: sessions closed, listeners closed.
    void StopAllInstances();
    // The service runs for one session only: see CFtpServer::SetSingleSessionMode.
    void EnableSingleSessionMode();
    size_t RunningCount() const { return running_.size(); }
    // The running instance of that name (names compare without regard to
    // case), or nullptr.
    CFtpServer* FindInstance(const std::string& name) const;

    // "$ORVYN_RUNDIR/ORVYN Service Control.pid" (default folder /run/orvyn);
    // the folder is created when missing.
    static std::string PidFilePath();
    bool WritePidFile();
    void RemovePidFile();

    // Period of the instance timer: ORVYN_TIMER_MS when set to a positive
    // number, else 5000 ms.
    static unsigned TimerPeriodMs();

private:
    void StartOneInstance(const std::string& name);
    void StopInstance(CFtpServer* server);
    void OnTimer();
    void UpdateTimer();

    reg::Store& store_;
    eventloop::EventLoop& loop_;
    std::vector<std::unique_ptr<CFtpServer>> running_;
    int timerId_ = 0;
    bool singleSession_ = false;
};

}  // namespace orvyn
