// The application object of the applet: the configuration store of the
// managed computer and the service opened there. One per loaded applet.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/registry/Registry.h"
#include "platform/service/ServiceController.h"

namespace orvyn::applet {

class CMainDlg;

// What the dialog needs of the service manager; tests may substitute it.
class IServiceControl {
public:
    virtual ~IServiceControl() = default;
    // True once a service was found ("ORVYN Pro", else its debug name).
    virtual bool Open() = 0;
    virtual void Close() = 0;
    virtual bool debug() const = 0;
    // 1 stopped, 2 start pending, 3 stop pending, 4 running; 0 unknown.
    virtual uint32_t QueryState() = 0;
    // 0 on success, else a system error number.
    virtual long Start() = 0;
    virtual long Stop() = 0;
    // Control 131; when it cannot be delivered, "ORVYN Service Refresh".
    virtual void AskToReread() = 0;
};

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

// The local service through platform/service.
class LocalServiceControl : public IServiceControl {
public:
    explicit LocalServiceControl(reg::Store& store) : controller_(store) {}
    bool Open() override;
    void Close() override;
    bool debug() const override { return opened_ && controller_.debug(); }
    uint32_t QueryState() override;
    long Start() override;
    long Stop() override;
    void AskToReread() override;

private:
    service::ServiceController controller_;
    bool opened_ = false;
};

class COrvynCplApp {
public:
    // The applet's own object, on the local store ($ORVYN_REGISTRY).
    static COrvynCplApp& Instance();

    explicit COrvynCplApp(std::string storePath = {});
    // With another service control (tests).
    COrvynCplApp(std::string storePath, std::unique_ptr<IServiceControl> service);

    reg::Store& store() { return *store_; }
    IServiceControl& service() { return *service_; }
    // Empty while the local computer is managed.
    const std::string& remoteComputer() const { return remote_; }

    // Opens the service; the previous one is kept when none is found.
    bool OpenService() { return service_->Open(); }
    void CloseService() { service_->Close(); }
    bool debugService() const { return service_->debug(); }

    CMainDlg* mainDialog() const { return mainDialog_; }
    void setMainDialog(CMainDlg* dlg) { mainDialog_ = dlg; }

private:
    std::unique_ptr<reg::Store> store_;
    std::unique_ptr<IServiceControl> service_;
    std::string remote_;
    CMainDlg* mainDialog_ = nullptr;
};

}  // namespace orvyn::applet
