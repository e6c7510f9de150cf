#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "host_support.h"
#include "platform/eventlog/EventLog.h"
#include "platform/service/Launcher.h"
#include "platform/service/ServiceController.h"
#include "platform/service/ServicePaths.h"
#include "platform/service/ServicesTable.h"
#include "platform/service/Systemd.h"
#include "service/core/host/ORVYNService.h"

namespace orvyn {
namespace {

using namespace orvyn::service;
using test::ReadFile;
using test::TempDir;
using test::TestEnvironment;
using test::WriteFile;

TEST(EventLog, MessageTextsAndInsertions) {
    EXPECT_STREQ(eventlog::MessageText(106), "The service received an unsupported request.\r\n");
    EXPECT_STREQ(eventlog::MessageText(108), "The service was stopped.\r\n");
    EXPECT_EQ(eventlog::MessageText(99), nullptr);
    EXPECT_EQ(eventlog::FormatEvent(100, {"ORVYN Pro"}), "The ORVYN Pro service was installed.\r\n");
    EXPECT_EQ(eventlog::FormatEvent(107, {"50%1 done"}), "Debug: 50%1 done\r\n") << "inserted text is not re-expanded";
    EXPECT_EQ(eventlog::FormatEvent(102, {}), "The %1 service could not be removed.\r\n");
    EXPECT_EQ(eventlog::FormatEvent(4711, {"a"}), "Event 4711 a\r\n");
}

TEST(EventLog, EmptyInsertionsAreSkipped) {
    TestEnvironment env;
    eventlog::EventSource source("ORVYN Pro");
    EXPECT_EQ(source.Report(eventlog::EventType::Information, 107, "", "second"), "Debug: second");
    EXPECT_EQ(source.Report(eventlog::EventType::Warning, 101, "x"), "The x service was removed.");
    auto events = env.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], "ORVYN Pro: information 107: Debug: second");
    EXPECT_EQ(events[1], "ORVYN Pro: warning 101: The x service was removed.");
}

TEST(Systemd, UnitNamesAndText) {
    EXPECT_EQ(UnitName("ORVYN Pro"), "orvyn-pro.service");
    EXPECT_EQ(UnitName("ORVYN Pro (Debug)"), "orvyn-pro-debug.service");
    EXPECT_EQ(UnitName("  --  "), "service.service");

    std::string text = UnitFileText("ORVYN Pro", "/opt/my orvyn/orvyn",
                                     {{"ORVYN_REGISTRY", "/var/lib/orvyn/100%.db"}, {"ORVYN_RUNDIR", "/run/o\"x"}});
    EXPECT_NE(text.find("Type=notify\n"), std::string::npos);
    EXPECT_NE(text.find("ExecStart=\"/opt/my orvyn/orvyn\"\n"), std::string::npos);
    EXPECT_NE(text.find("Environment=\"ORVYN_REGISTRY=/var/lib/orvyn/100%%.db\"\n"), std::string::npos);
    EXPECT_NE(text.find("Environment=\"ORVYN_RUNDIR=/run/o\\\"x\"\n"), std::string::npos);
    EXPECT_NE(text.find("WantedBy=multi-user.target"), std::string::npos);
}

TEST(Systemd, DisabledByEnvironment) {
    TestEnvironment env;  // sets ORVYN_SYSTEMD=0
    EXPECT_FALSE(SystemdIsRunning());
}

// A datagram socket standing in for systemd's notification socket.
class NotifySink {
public:
    explicit NotifySink(const std::string& address) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, address.data(), address.size());
        socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
        if (address[0] == '@') {
            addr.sun_path[0] = '\0';
        } else {
            ++len;
        }
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    }
    ~NotifySink() { ::close(fd_); }
    bool bound() const { return bound_; }
    std::string Receive(int timeoutMs = 2000) {
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, timeoutMs) <= 0) return "<nothing>";
        char buf[512];
        ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
        return n < 0 ? "<error>" : std::string(buf, static_cast<size_t>(n));
    }

private:
    int fd_;
    bool bound_ = false;
};

TEST(Systemd, NotifierPathAndAbstractAddresses) {
    TempDir dir;
    NotifySink sink(dir / "notify");
    ASSERT_TRUE(sink.bound());
    EXPECT_TRUE(SdNotifier(dir / "notify").Notify("READY=1"));
    EXPECT_EQ(sink.Receive(), "READY=1");

    const std::string abstractName = "@orvyn-test-" + std::to_string(::getpid());
    NotifySink abstractSink(abstractName);
    ASSERT_TRUE(abstractSink.bound());
    EXPECT_TRUE(SdNotifier(abstractName).Notify("STOPPING=1"));
    EXPECT_EQ(abstractSink.Receive(), "STOPPING=1");

    EXPECT_TRUE(SdNotifier().Notify("READY=1")) << "no socket: nothing to tell";
    EXPECT_FALSE(SdNotifier("relative/socket").Notify("READY=1"));
    EXPECT_FALSE(SdNotifier(dir / "nobody-listens").Notify("READY=1"));
}

class QuitAtOnceApp : public IServiceApp {
public:
    bool StartAllInstances() override { return true; }
    long LastStartError() const override { return 0; }
    int RunMessageLoop() override { return 0; }
    void PostQuit(int) override {}
    void PostRefresh() override {}
};

TEST(Systemd, ServiceStatesAreNotified) {
    TestEnvironment env;
    NotifySink sink(env.dir() / "notify");
    ASSERT_TRUE(sink.bound());
    reg::Store store(env.storePath());
    QuitAtOnceApp app;
    CORVYNService svc(app, store);
    int exitCode = -1;
    ASSERT_TRUE(svc.StartService(ManagerKind::Systemd, env.dir() / "notify", exitCode));
    EXPECT_EQ(exitCode, 0);
    std::vector<std::string> states;
    for (std::string s = sink.Receive(200); s != "<nothing>"; s = sink.Receive(200)) states.push_back(s);
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ(states.front(), "STATUS=Starting");
    EXPECT_NE(std::find(states.begin(), states.end(), "READY=1\nSTATUS=Running"), states.end());
    EXPECT_EQ(states.back(), "STATUS=Stopped");
}

TEST(ManagerDetection, MarkerAndNotifySocket) {
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv(kManagerEnv);
    EXPECT_EQ(DetectManager(false), ManagerKind::None);

    ::setenv("NOTIFY_SOCKET", "/run/systemd/notify", 1);
    std::string socket;
    EXPECT_EQ(DetectManager(false, &socket), ManagerKind::Systemd);
    EXPECT_EQ(socket, "/run/systemd/notify");

    ::setenv(kManagerEnv, "builtin", 1);
    EXPECT_EQ(DetectManager(true), ManagerKind::Builtin);
    EXPECT_EQ(std::getenv(kManagerEnv), nullptr) << "taken out of the environment";
    EXPECT_EQ(std::getenv("NOTIFY_SOCKET"), nullptr);

    ::setenv(kManagerEnv, "something-else", 1);
    EXPECT_EQ(DetectManager(true), ManagerKind::None);
}

TEST(Launcher, StartsDetachedWithTheGivenEnvironment) {
    TempDir dir;
    const std::string script = dir / "probe.sh";
    const std::string out = dir / "probe.out";
    WriteFile(script, "#!/bin/sh\necho \"$$ $(pwd) $PROBE $(ps -o sid= -p $$ | tr -d ' ')\" > " + out + ".tmp\nmv " +
                          out + ".tmp " + out + "\n");
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    pid_t pid = 0;
    ASSERT_EQ(SpawnDetached(script, {"PROBE=hello", "PATH=/usr/bin:/bin"}, pid), 0);
    EXPECT_GT(pid, 0);
    std::string text;
    for (int i = 0; i < 200 && text.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        text = ReadFile(out);
    }
    ASSERT_FALSE(text.empty());
    // pid, working folder "/", the variable, and a session of its own: not
    // the caller's, and not led by the program (it can never get a terminal).
    std::string prefix = std::to_string(pid) + " / hello ";
    ASSERT_EQ(text.substr(0, prefix.size()), prefix);
    long sid = std::stol(text.substr(prefix.size()));
    EXPECT_NE(sid, static_cast<long>(::getsid(0)));
    EXPECT_NE(sid, static_cast<long>(pid));
}

TEST(Launcher, ExecFailuresAreReported) {
    TempDir dir;
    pid_t pid = 0;
    EXPECT_EQ(SpawnDetached(dir / "missing", {}, pid), ENOENT);
    WriteFile(dir / "plain", "not executable");
    EXPECT_EQ(SpawnDetached(dir / "plain", {}, pid), EACCES);
    EXPECT_EQ(pid, 0);
    EXPECT_TRUE(ProcessAlive(::getpid()));
    EXPECT_FALSE(ProcessAlive(0));
}

TEST(ServiceController, StoppedWithoutSocketAndUnknownWhenNotInstalled) {
    TestEnvironment env;
    reg::Store store(env.storePath());
    ServiceController none(store);
    EXPECT_EQ(none.Open(), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(none.QueryState(), 0u);

    ServiceConfig config;
    config.imagePath = env.dir() / "no-such-program";
    ASSERT_EQ(ServicesTable(store).Create(kDebugServiceName, config), ERROR_SUCCESS);
    ServiceController svc(store);
    ASSERT_EQ(svc.Open(), ERROR_SUCCESS);
    EXPECT_TRUE(svc.debug());
    EXPECT_EQ(svc.name(), "ORVYN Pro (Debug)");
    EXPECT_EQ(svc.QueryState(), SERVICE_STOPPED);
    ServiceStatus st;
    EXPECT_EQ(svc.Control(131, st), ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(svc.Control(0, st), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(svc.Stop(), ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(svc.Start(), ERROR_FILE_NOT_FOUND);

    ASSERT_EQ(ServicesTable(store).Create(kServiceName, config), ERROR_SUCCESS);
    ServiceController release(store);
    ASSERT_EQ(release.Open(), ERROR_SUCCESS);
    EXPECT_FALSE(release.debug());
}

TEST(ServiceRefresh, OnlyARunningServerReceivesIt) {
    TestEnvironment env;
    EXPECT_EQ(PostServiceRefresh(), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(::mkdir(env.runDir().c_str(), 0755), 0);

    WriteFile(RefreshPidFilePath(), "garbage\n");
    EXPECT_EQ(PostServiceRefresh(), ERROR_INVALID_WINDOW_HANDLE);
    WriteFile(RefreshPidFilePath(), "1\n");
    EXPECT_EQ(PostServiceRefresh(), ERROR_INVALID_WINDOW_HANDLE) << "never signal init";

    // A live process that is not a server: this test program. SIGHUP would end it.
    WriteFile(RefreshPidFilePath(), std::to_string(::getpid()) + "\n");
    EXPECT_EQ(PostServiceRefresh(), ERROR_INVALID_WINDOW_HANDLE);
}

}  // namespace
}  // namespace orvyn
