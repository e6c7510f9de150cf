#include "applet/CplApp.h"

namespace orvyn::applet {

namespace {
constexpr uint32_t kControlReread = 131;
constexpr int kStopWaitMs = 30000;
}  // namespace

bool LocalServiceControl::Open() {
    if (controller_.Open() != 0)
        return opened_;
    opened_ = true;
    return true;
}

void LocalServiceControl::Close() { opened_ = false; }

uint32_t LocalServiceControl::QueryState() { return opened_ ? controller_.QueryState() : 0; }

long LocalServiceControl::Start() {
    // Returns once the program runs; the state watch follows its start.
    return opened_ ? controller_.Start(0) : 1060;  // ERROR_SERVICE_DOES_NOT_EXIST
}

long LocalServiceControl::Stop() { return opened_ ? controller_.Stop(kStopWaitMs) : 1060; }

void LocalServiceControl::AskToReread() {
    service::ServiceStatus status;
    if (!opened_ || controller_.Control(kControlReread, status) != 0)
        service::PostServiceRefresh();
}

COrvynCplApp& COrvynCplApp::Instance() {
    static COrvynCplApp app;
    return app;
}

COrvynCplApp::COrvynCplApp(std::string storePath)
    : store_(std::make_unique<reg::Store>(std::move(storePath))),
      service_(std::make_unique<LocalServiceControl>(*store_)) {}

COrvynCplApp::COrvynCplApp(std::string storePath, std::unique_ptr<IServiceControl> service)
    : store_(std::make_unique<reg::Store>(std::move(storePath))), service_(std::move(service)) {}

}  // namespace orvyn::applet
