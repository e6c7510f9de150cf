#include "applet/CplApp.h"

#include "applet/computer/RemoteComputer.h"

namespace orvyn::applet {

COrvynCplApp& COrvynCplApp::Instance() {
    static COrvynCplApp app;
    return app;
}

COrvynCplApp::COrvynCplApp(std::string storePath) {
    auto store = std::make_unique<reg::Store>(std::move(storePath));
    computer_.service = std::make_unique<LocalServiceControl>(*store);
    computer_.store = std::move(store);
    computer_.files = std::make_unique<LocalComputerFiles>();
}

COrvynCplApp::COrvynCplApp(std::string storePath, std::unique_ptr<IServiceControl> service) {
    computer_.store = std::make_unique<reg::Store>(std::move(storePath));
    computer_.service = std::move(service);
    computer_.files = std::make_unique<LocalComputerFiles>();
}

bool COrvynCplApp::ConnectTo(const std::string& computer, std::string& why) {
    ManagedComputer remote;
    if (!ConnectComputer(computer, remote, why))
        return false;
    computer_.service->Close();
    // A computer goes as a whole, its service before its store (the service
    // control may refer to the store).
    ManagedComputer previous = std::move(computer_);
    computer_ = std::move(remote);
    if (previous.name.empty())
        local_ = std::move(previous);
    return true;
}

void COrvynCplApp::ManageLocal() {
    if (computer_.name.empty())
        return;
    ManagedComputer remote = std::move(computer_);
    computer_ = std::move(local_);
}

}  // namespace orvyn::applet
