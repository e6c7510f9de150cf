// CORVYNService: the service "ORVYN Pro". Initialising starts every server
// instance, running is the event loop, stop ends the loop, and the user
// control codes 129, 131 and 137 make the loop re-scan the configuration.
#pragma once

#include <cstdint>

#include "service/core/host/NTService.h"

namespace orvyn {

// What the service needs of the application that owns the server instances.
class IServiceApp {
public:
    virtual ~IServiceApp() = default;
    // Starts (or refreshes) every instance; false when the configuration
    // cannot be read at all. Loop thread only.
    virtual bool StartAllInstances() = 0;
    // Error number of the last failed StartAllInstances.
    virtual long LastStartError() const = 0;
    // True (and said to the administrator) when another process already
    // serves this configuration: a second copy could bind none of its ports
    // and would only mark its instances as failed.
    virtual bool OtherCopyRuns() const { return false; }
    // Runs the event loop until it is told to quit, then stops every
    // instance; returns the quit code.
    virtual int RunMessageLoop() = 0;
    // Thread-safe: ends the event loop with the code.
    virtual void PostQuit(int code) = 0;
    // Thread-safe: StartAllInstances on the loop's thread.
    virtual void PostRefresh() = 0;
    // Stops a sound that may be playing.
    virtual void StopSound() {}
};

class CORVYNService : public CNTService {
public:
    CORVYNService(IServiceApp& app, reg::Store& store);

    void Run() override;
    bool OnInit() override;
    void OnStop() override;
    void OnShutdown() override;
    bool OnUserControl(uint32_t code) override;

    // The code the event loop ended with (0 after a stop).
    int loopExitCode() const { return loopExitCode_; }

    static constexpr uint32_t kStopWaitHintMs = 500;

private:
    IServiceApp& app_;
    int loopExitCode_ = 0;
};

}  // namespace orvyn
