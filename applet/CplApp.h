// The application object of the applet: the configuration store of the
// managed computer and the service opened there. One per loaded applet.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "applet/computer/Computer.h"
#include "platform/registry/Registry.h"

namespace orvyn::applet {

class CMainDlg;

// A service that always runs and ignores every request: for pictures of the
// dialog and for instances served by something other than the service.
class RunningService : public IServiceControl {
public:
    bool Open() override { return true; }
    void Close() override {}
    bool debug() const override { return false; }
    uint32_t QueryState() override { return 4; }
    long Start() override { return 0; }
    long Stop() override { return 0; }
    void AskToReread() override {}
};

class COrvynCplApp {
public:
    // The applet's own object, on the local store ($ORVYN_REGISTRY).
    static COrvynCplApp& Instance();

    explicit COrvynCplApp(std::string storePath = {});
    // With another service control (tests).
    COrvynCplApp(std::string storePath, std::unique_ptr<IServiceControl> service);
    // With this computer's parts given (tests and pictures).
    explicit COrvynCplApp(ManagedComputer local) : computer_(std::move(local)) {}

    reg::IStore& store() { return *computer_.store; }
    IServiceControl& service() { return *computer_.service; }
    IComputerFiles& files() { return *computer_.files; }
    // Empty while the local computer is managed.
    const std::string& remoteComputer() const { return computer_.name; }

    // Manages another computer from now on, reached through the remote
    // shell; this computer's objects are kept for the way back. False, with
    // the reason, when it cannot be reached (nothing changes then).
    bool ConnectTo(const std::string& computer, std::string& why);
    // Manages this computer again.
    void ManageLocal();
    // Why the connection to the computer managed ended; empty while it works.
    std::string LostConnection() const { return computer_.lost ? computer_.lost() : std::string(); }

    // Opens the service; the previous one is kept when none is found.
    bool OpenService() { return service().Open(); }
    void CloseService() { service().Close(); }
    bool debugService() const { return computer_.service->debug(); }

    CMainDlg* mainDialog() const { return mainDialog_; }
    void setMainDialog(CMainDlg* dlg) { mainDialog_ = dlg; }

private:
    ManagedComputer computer_;
    ManagedComputer local_;  // this computer's, while another one is managed
    CMainDlg* mainDialog_ = nullptr;
};

}  // namespace orvyn::applet
