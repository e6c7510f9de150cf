#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "host_support.h"
#include "platform/eventlog/EventLog.h"
#include "platform/service/ControlClient.h"
#include "platform/service/ControlProtocol.h"
#include "platform/service/ServicePaths.h"
#include "platform/service/ServicesTable.h"
#include "service/core/host/NTService.h"
#include "service/core/host/ORVYNService.h"

namespace orvyn {
namespace {

using namespace orvyn::service;
using test::TestEnvironment;

uint32_t Dword(reg::Store& store, const std::string& key, const char* name) {
    reg::Value v;
    EXPECT_TRUE(store.QueryValue(key, name, v)) << name;
    EXPECT_EQ(v.type, reg::REG_DWORD) << name;
    if (v.data.size() != 4) return 0xffffffff;
    return v.data[0] | v.data[1] << 8 | v.data[2] << 16 | static_cast<uint32_t>(v.data[3]) << 24;
}

std::string String(reg::Store& store, const std::string& key, const char* name, uint32_t type) {
    reg::Value v;
    EXPECT_TRUE(store.QueryValue(key, name, v)) << name;
    EXPECT_EQ(v.type, type) << name;
    EXPECT_FALSE(v.data.empty());
    EXPECT_EQ(v.data.back(), 0) << "strings are stored with their NUL";
    return std::string(v.data.begin(), v.data.end() - (v.data.empty() ? 0 : 1));
}

TEST(ServicesTable, EntryValuesAndLifecycle) {
    TestEnvironment env;
    reg::Store store(env.storePath());
    ServicesTable table(store);
    EXPECT_EQ(table.Find("ORVYN Pro"), ERROR_SERVICE_DOES_NOT_EXIST);

    ServiceConfig config;
    config.displayName = "ORVYN Pro";
    config.imagePath = "/opt/orvyn/bin/orvyn";
    ASSERT_EQ(table.Create("ORVYN Pro", config), ERROR_SUCCESS);
    EXPECT_EQ(table.Create("orvyn pro", config), ERROR_SERVICE_EXISTS) << "names compare without case";

    const std::string key = "SYSTEM\\CurrentControlSet\\Services\\ORVYN Pro";
    EXPECT_EQ(Dword(store, key, "Type"), 0x10u);
    EXPECT_EQ(Dword(store, key, "Start"), 3u);
    EXPECT_EQ(Dword(store, key, "ErrorControl"), 1u);
    EXPECT_EQ(String(store, key, "ImagePath", reg::REG_EXPAND_SZ), "/opt/orvyn/bin/orvyn");
    EXPECT_EQ(String(store, key, "DisplayName", reg::REG_SZ), "ORVYN Pro");
    EXPECT_EQ(String(store, key, "ObjectName", reg::REG_SZ), "LocalSystem");

    ServiceConfig read;
    ASSERT_EQ(table.Read("ORVYN Pro", read), ERROR_SUCCESS);
    EXPECT_EQ(read.imagePath, "/opt/orvyn/bin/orvyn");
    EXPECT_EQ(read.start, 3u);

    ASSERT_EQ(table.Delete("ORVYN Pro"), ERROR_SUCCESS);
    EXPECT_EQ(table.Delete("ORVYN Pro"), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(store.KeyExists(key).code, reg::kNotFound);
}

TEST(ServicesTable, BadNamesAndPathsAreRefused) {
    TestEnvironment env;
    reg::Store store(env.storePath());
    ServicesTable table(store);
    ServiceConfig config;
    config.imagePath = "/bin/true";
    for (const std::string& name : {std::string(), std::string("a\\b"), std::string("a/b"), std::string(64, 'x'),
                                   std::string("tab\there")}) {
        EXPECT_EQ(table.Create(name, config), ERROR_INVALID_NAME) << name;
    }
    config.imagePath = "relative/orvyn";
    EXPECT_EQ(table.Create("ORVYN Pro", config), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(table.Exists("ORVYN Pro"));

    // An entry without a usable ImagePath cannot be started.
    auto rel = reg::StringData("bin/orvyn");
    ASSERT_TRUE(store.SetValue(ServicesTable::KeyPath("Broken"), "ImagePath", reg::REG_SZ, rel.data(), rel.size()));
    ServiceConfig read;
    EXPECT_EQ(table.Read("Broken", read), ERROR_FILE_NOT_FOUND);
}

TEST(ServicesTable, ReadOnlyStoreIsAccessDenied) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    TestEnvironment env;
    const std::string locked = env.dir() / "locked";
    ASSERT_EQ(::mkdir(locked.c_str(), 0500), 0);
    reg::Store store(locked + "/registry.db");
    ServiceConfig config;
    config.imagePath = "/bin/true";
    EXPECT_EQ(ServicesTable(store).Create("ORVYN Pro", config), ERROR_ACCESS_DENIED);
}

// ---- CNTService: install and remove -------------------------------------------

TEST(ServiceInstall, InstallTwiceThenRemoveTwice) {
    TestEnvironment env;
    reg::Store store(env.storePath());
    CNTService svc("ORVYN Pro", store);
    svc.setImagePath("/usr/sbin/orvyn");
    HostMessage msg;
    int exitCode = -1;

    ASSERT_TRUE(svc.ParseStandardArgs({ServiceAction::Install, false}, msg, exitCode));
    EXPECT_EQ(msg.text, "ORVYN Pro installed\n");
    EXPECT_FALSE(msg.failure);
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(svc.IsInstalled());

    const std::string source = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ORVYN Pro";
    EXPECT_EQ(String(store, source, "EventMessageFile", reg::REG_EXPAND_SZ), "/usr/sbin/orvyn");
    EXPECT_EQ(Dword(store, source, "TypesSupported"), 7u);

    ASSERT_TRUE(svc.ParseStandardArgs({ServiceAction::Install, true}, msg, exitCode));
    EXPECT_EQ(msg.text, "ORVYN Pro is already installed\n");
    EXPECT_EQ(exitCode, 0);

    ASSERT_TRUE(svc.ParseStandardArgs({ServiceAction::Remove, false}, msg, exitCode));
    EXPECT_EQ(msg.text, "ORVYN Pro removed. (You must delete the file (/usr/sbin/orvyn) yourself.)\n");
    EXPECT_EQ(exitCode, 0);
    EXPECT_FALSE(svc.IsInstalled());
    EXPECT_TRUE(store.KeyExists(source)) << "the event source stays registered";

    ASSERT_TRUE(svc.ParseStandardArgs({ServiceAction::Remove, true}, msg, exitCode));
    EXPECT_EQ(msg.text, "ORVYN Pro is not installed in the services table.\n");
    EXPECT_TRUE(msg.failure);
    EXPECT_EQ(exitCode, 1);

    auto events = env.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], "ORVYN Pro: information 100: The ORVYN Pro service was installed.");
    EXPECT_EQ(events[1], "ORVYN Pro: information 101: The ORVYN Pro service was removed.");
}

TEST(ServiceInstall, QuietSwitchesShowNothingOnSuccess) {
    TestEnvironment env;
    reg::Store store(env.storePath());
    CNTService svc("ORVYN Pro", store);
    HostMessage msg;
    int exitCode = -1;
    ASSERT_TRUE(svc.ParseStandardArgs({ServiceAction::Install, true}, msg, exitCode));
    EXPECT_EQ(msg.text, "");
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(String(store, ServicesTable::KeyPath("ORVYN Pro"), "ImagePath", reg::REG_EXPAND_SZ), ProgramPath());
    ASSERT_TRUE(svc.ParseStandardArgs({ServiceAction::Remove, true}, msg, exitCode));
    EXPECT_EQ(msg.text, "");
    EXPECT_EQ(exitCode, 0);
    EXPECT_FALSE(svc.ParseStandardArgs({ServiceAction::None, false}, msg, exitCode));
}

TEST(ServiceInstall, FailureTextsAndNoHalfEntry) {
    EXPECT_EQ(CNTService::InstallErrorText(ERROR_ACCESS_DENIED),
              "Access denied in installing the service\nLog back in as an administrator and run \"orvyn -install\"");
    EXPECT_EQ(CNTService::InstallErrorText(ERROR_SERVICE_EXISTS), "Unable to install - Service already exists");
    EXPECT_EQ(CNTService::InstallErrorText(1015), "Unable to install - unknown error 1015");
    EXPECT_EQ(CNTService::RemoveErrorText(ERROR_SERVICE_MARKED_FOR_DELETE),
              "Unable to remove - already marked for deletion.");
    EXPECT_EQ(CNTService::RemoveErrorText(ERROR_ACCESS_DENIED),
              "Access denied in removing the service\nLog back in as an administrator and run \"orvyn -install\"");
    EXPECT_EQ(CNTService::RemoveErrorText(42), "Unable to remove - unknown error 42");

    TestEnvironment env;
    reg::Store store(env.storePath());
    CNTService svc("ORVYN Pro", store);
    svc.setImagePath("not/absolute");
    HostMessage msg;
    int exitCode = 0;
    ASSERT_TRUE(svc.ParseStandardArgs({ServiceAction::Install, true}, msg, exitCode));
    EXPECT_TRUE(msg.failure);
    EXPECT_EQ(msg.text, "Unable to install - Invalid parameter - please inform the programmer.");
    EXPECT_EQ(exitCode, 1);
    EXPECT_FALSE(svc.IsInstalled());
}

// ---- CNTService: the control handler --------------------------------------------

class RecordingService : public CNTService {
public:
    explicit RecordingService(reg::Store& store) : CNTService("ORVYN Pro", store) {}
    void OnStop() override { calls += "stop "; }
    void OnPause() override { calls += "pause "; }
    void OnContinue() override { calls += "continue "; }
    void OnInterrogate() override { calls += "interrogate "; }
    void OnShutdown() override { calls += "shutdown "; }
    bool OnUserControl(uint32_t code) override {
        calls += "user" + std::to_string(code) + " ";
        return code == 200;
    }
    std::string calls;
};

TEST(ServiceHandler, EveryCodeReachesItsOperation) {
    TestEnvironment env;
    reg::Store store(env.storePath());
    RecordingService svc(store);
    for (uint32_t code : {1u, 2u, 3u, 4u, 5u, 200u}) svc.Handler(code);
    EXPECT_EQ(svc.calls, "stop pause continue interrogate shutdown user200 ");
    EXPECT_TRUE(env.Events().empty());
}

TEST(ServiceHandler, UnsupportedCodesReportEvent106AndKeepTheStatus) {
    TestEnvironment env;
    reg::Store store(env.storePath());
    RecordingService svc(store);
    ServiceStatus before = svc.Status();
    for (uint32_t code : {6u, 64u, 127u, 128u, 130u, 255u}) {
        EXPECT_EQ(svc.Handler(code), before) << code;
    }
    EXPECT_EQ(svc.calls, "user128 user130 user255 ");
    auto events = env.Events();
    ASSERT_EQ(events.size(), 6u);
    for (const auto& line : events) {
        EXPECT_EQ(line, "ORVYN Pro: error 106: The service received an unsupported request.");
    }
}

// ---- CORVYNService on a fake application ----------------------------------------

class FakeApp : public IServiceApp {
public:
    bool StartAllInstances() override {
        ++starts;
        return startOk;
    }
    long LastStartError() const override { return 2; }
    int RunMessageLoop() override {
        std::unique_lock lock(mutex);
        running = true;
        cv.notify_all();
        cv.wait(lock, [this] { return quitCode.has_value(); });
        running = false;
        ++instancesStopped;
        return *quitCode;
    }
    void PostQuit(int code) override {
        std::lock_guard lock(mutex);
        quitCode = code;
        cv.notify_all();
    }
    void PostRefresh() override { ++refreshes; }
    void StopSound() override { ++soundStops; }

    bool startOk = true;
    std::atomic<int> starts{0};
    std::atomic<int> refreshes{0};
    std::atomic<int> soundStops{0};
    std::atomic<int> instancesStopped{0};
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<int> quitCode;
    bool running = false;
};

TEST(ORVYNService, UserCodesRefreshOthersAreRefused) {
    TestEnvironment env;
    reg::Store store(env.storePath());
    FakeApp app;
    CORVYNService svc(app, store);
    EXPECT_EQ(svc.name(), "ORVYN Pro");
    for (uint32_t code : {129u, 131u, 137u}) EXPECT_TRUE(svc.OnUserControl(code)) << code;
    EXPECT_EQ(app.refreshes, 3);
    for (uint32_t code : {128u, 130u, 132u, 136u, 138u, 255u}) EXPECT_FALSE(svc.OnUserControl(code)) << code;
    EXPECT_EQ(app.refreshes, 3);
    svc.Handler(130);
    EXPECT_EQ(env.Events().size(), 1u);
}

TEST(ORVYNService, StopAndShutdownEndTheLoopWithStopPending) {
    TestEnvironment env;
    reg::Store store(env.storePath());
    FakeApp app;
    CORVYNService svc(app, store);
    ServiceStatus after = svc.Handler(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(after.currentState, SERVICE_STOP_PENDING);
    EXPECT_EQ(after.waitHint, 500u);
    EXPECT_EQ(after.checkPoint, 0u);
    EXPECT_EQ(after.win32ExitCode, 0u);
    ASSERT_TRUE(app.quitCode.has_value());
    EXPECT_EQ(*app.quitCode, 0);
    EXPECT_EQ(app.soundStops, 1);
}

// Waits until the service's control socket answers with the wanted state.
bool WaitForState(const std::string& socket, uint32_t state, ServiceStatus& got) {
    for (int i = 0; i < 200; ++i) {
        if (SendControlRequest(socket, FormatQuery(), got) == ERROR_SUCCESS && got.currentState == state) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

TEST(ORVYNService, ServiceMainUnderTheBuiltInManager) {
    TestEnvironment env;
    reg::Store store(env.storePath());
    FakeApp app;
    CORVYNService svc(app, store);
    const std::string socket = ControlSocketPath("ORVYN Pro");
    int exitCode = -1;
    bool started = false;
    std::thread main([&] { started = svc.StartService(ManagerKind::Builtin, "", exitCode); });

    ServiceStatus got;
    ASSERT_TRUE(WaitForState(socket, SERVICE_RUNNING, got));
    EXPECT_EQ(got.processId, static_cast<uint32_t>(::getpid()));
    EXPECT_EQ(got.controlsAccepted, SERVICE_ACCEPT_STOP);
    EXPECT_EQ(app.starts, 1);

    ASSERT_EQ(SendControlRequest(socket, FormatControl(131), got), ERROR_SUCCESS);
    EXPECT_EQ(got.currentState, SERVICE_RUNNING);
    EXPECT_EQ(app.refreshes, 1);
    ASSERT_EQ(SendControlRequest(socket, FormatControl(130), got), ERROR_SUCCESS);
    EXPECT_EQ(got.currentState, SERVICE_RUNNING);

    ASSERT_EQ(SendControlRequest(socket, FormatControl(SERVICE_CONTROL_STOP), got), ERROR_SUCCESS);
    // The answer is the status when the request was handled: the service
    // may already have finished stopping by then.
    EXPECT_TRUE(got.currentState == SERVICE_STOP_PENDING || got.currentState == SERVICE_STOPPED)
        << got.currentState;
    main.join();
    EXPECT_TRUE(started);
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(app.instancesStopped, 1);
    EXPECT_EQ(svc.Status().currentState, SERVICE_STOPPED);
    EXPECT_EQ(SendControlRequest(socket, FormatQuery(), got), ERROR_SERVICE_NOT_ACTIVE);

    auto events = env.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], "ORVYN Pro: information 105: The service was started.");
    EXPECT_EQ(events[1], "ORVYN Pro: error 106: The service received an unsupported request.");
}

TEST(ORVYNService, FailedInitReportsEvent104AndStops) {
    TestEnvironment env;
    reg::Store store(env.storePath());
    FakeApp app;
    app.startOk = false;
    CORVYNService svc(app, store);
    int exitCode = 0;
    ASSERT_TRUE(svc.StartService(ManagerKind::Builtin, "", exitCode));
    EXPECT_EQ(exitCode, 1);
    EXPECT_FALSE(app.running);
    EXPECT_EQ(app.instancesStopped, 0);
    ServiceStatus st = svc.Status();
    EXPECT_EQ(st.currentState, SERVICE_STOPPED);
    EXPECT_EQ(st.win32ExitCode, 2u);
    auto events = env.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "ORVYN Pro: error 104: The initialization process failed.");
}

TEST(ORVYNService, SecondServiceCannotInstallItsHandler) {
    TestEnvironment env;
    reg::Store store(env.storePath());
    FakeApp first;
    CORVYNService running(first, store);
    int exitCode = -1;
    std::thread main([&] { running.StartService(ManagerKind::Builtin, "", exitCode); });
    ServiceStatus got;
    ASSERT_TRUE(WaitForState(ControlSocketPath("ORVYN Pro"), SERVICE_RUNNING, got));

    FakeApp second;
    CORVYNService other(second, store);
    int otherExit = 0;
    ASSERT_TRUE(other.StartService(ManagerKind::Builtin, "", otherExit));
    EXPECT_EQ(otherExit, 1);
    EXPECT_EQ(second.starts, 0) << "no instance may start without a control handler";

    running.Handler(SERVICE_CONTROL_STOP);
    main.join();
    EXPECT_EQ(exitCode, 0);
    auto events = env.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[1], "ORVYN Pro: error 103: The control handler could not be installed.");
}

TEST(ORVYNService, NoManagerMeansNoService) {
    TestEnvironment env;
    reg::Store store(env.storePath());
    FakeApp app;
    CORVYNService svc(app, store);
    int exitCode = 7;
    EXPECT_FALSE(svc.StartService(ManagerKind::None, "", exitCode));
    EXPECT_EQ(exitCode, 7);
    EXPECT_EQ(app.starts, 0);
}

}  // namespace
}  // namespace orvyn
