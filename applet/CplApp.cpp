#include "applet/CplApp.h"

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

void COrvynCplApp::Manage(ManagedComputer computer) {
    computer_.service->Close();
    // The old computer goes as a whole at the end, its service before its
    // store (the service control may refer to the store).
    ManagedComputer old = std::move(computer_);
    computer_ = std::move(computer);
}

}  // namespace orvyn::applet
