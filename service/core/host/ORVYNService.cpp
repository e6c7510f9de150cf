#include "service/core/host/ORVYNService.h"

namespace orvyn {

using namespace orvyn::service;

CORVYNService::CORVYNService(IServiceApp& app, reg::Store& store) : CNTService(kServiceName, store), app_(app) {}

void CORVYNService::Run() { loopExitCode_ = app_.RunMessageLoop(); }

bool CORVYNService::OnInit() {
    if (app_.OtherCopyRuns()) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return false;
    }
    if (app_.StartAllInstances()) return true;
    SetLastError(app_.LastStartError());
    return false;
}

void CORVYNService::OnStop() {
    app_.StopSound();
    // The state goes to stop pending before the loop is told to end, so the
    // stopped state the loop's end reports can never be overwritten.
    SetStatus(SERVICE_STOP_PENDING, 0, 0, kStopWaitHintMs);
    app_.PostQuit(0);
}

void CORVYNService::OnShutdown() { OnStop(); }

bool CORVYNService::OnUserControl(uint32_t code) {
    switch (code) {
        case 129:
        case 131:
        case 137:
            app_.PostRefresh();
            return true;
        default:
            return false;
    }
}

}  // namespace orvyn
