// COrvynApp: the orvyn program. It owns the configuration store, the event
// loop, the main object with the running server instances, and the service
// object; Main reads the command line and runs the program in one of its
// modes: install/remove, application (s), or service.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/eventloop/EventLoop.h"
#include "platform/registry/Registry.h"
#include "service/core/host/ORVYNService.h"

namespace orvyn {

class CTimerWnd;

class COrvynApp : public IServiceApp {
public:
    COrvynApp();
    ~COrvynApp() override;

    // argv[0] is the program's name; returns the process's exit status.
    int Main(const std::vector<std::string>& argv);

    // IServiceApp
    bool StartAllInstances() override;
    long LastStartError() const override { return lastStartError_; }
    bool OtherCopyRuns() const override;
    int RunMessageLoop() override;
    void PostQuit(int code) override;
    void PostRefresh() override;
    void StopSound() override;

private:
    // How long a write of the loop's thread waits for another program that
    // holds the store: every session waits with it.
    static constexpr int kLoopWriteWaitMs = 250;
    int RunAsApplication();
    int RunAsService();
    void WatchSignals(bool serviceMode);
    CTimerWnd& MainWnd();
    void ShowMessage(bool failure, const std::string& text) const;
    void InstallPamService(bool quiet) const;
    std::string MissingProductKeyText() const;
    // Takes the lock that one running copy holds on its configuration store
    // for as long as it runs; false when another copy holds it.
    bool TakeStoreLock() const;

    reg::Store store_;
    eventloop::EventLoop loop_;
    std::unique_ptr<CTimerWnd> mainWnd_;
    CORVYNService service_;
    bool singleSession_ = false;
    bool startupFlag_ = true;  // cleared by h and single-session mode; nothing else reads it
    std::string profilePath_;
    long lastStartError_ = 0;
    bool pidFileWritten_ = false;
    mutable int storeLock_ = -1;  // the store file, locked while this copy runs
};

// True when a program name (argv[0], any folder) is the single-session name
// "VURERIR", in any case.
bool IsSingleSessionName(const std::string& argv0);

}  // namespace orvyn
