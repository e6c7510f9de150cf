// The main object: starting, refreshing and stopping the configured
// instances, the instance timer and the pid file.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "service/core/server/TimerWnd.h"
#include "service/base/settings/ServerRegistry.h"
#include "spine_support.h"

namespace orvyn::test {
namespace {

class TimerWndTest : public SpineTest {
protected:
    void SetUp() override {
        SpineTest::SetUp();
        // The fixture's own instance has no port (it would take the "ftp"
        // service port): keep it out of these tests.
        SetDword(nullptr, "Enabled", 0);
    }
    std::string Key(const std::string& name, const char* section = nullptr) {
        std::string k = std::string(kServersKey) + "\\" + name;
        if (section != nullptr) k += std::string("\\") + section;
        return k;
    }
    void Put(const std::string& key, const char* name, uint32_t type, const std::vector<uint8_t>& data) {
        ASSERT_TRUE(store_->SetValue(key, name, type, data.data(), data.size()).ok());
    }
    // An instance on a port the system chooses (Port "0").
    void AddInstance(const std::string& name) {
        Put(Key(name), "Address", reg::REG_SZ, reg::StringData("127.0.0.1"));
        Put(Key(name), "Port", reg::REG_DWORD, reg::DwordData(0));
    }
    long StoredInt(const std::string& name, const char* value) {
        CServerRegistry r(*store_, name, nullptr);
        return r.ReadInt(nullptr, value, -1);
    }
};

TEST_F(TimerWndTest, MissingProductKeyStartsNothing) {
    reg::Store empty(dir_.path() + "/empty.db");
    CTimerWnd main(empty, loop_);
    EXPECT_FALSE(main.StartAllInstances());
    EXPECT_EQ(main.RunningCount(), 0u);
}

TEST_F(TimerWndTest, StartsEnabledInstancesOnly) {
    AddInstance("One");
    AddInstance("Two");
    Put(Key("Two"), "Enabled", reg::REG_SZ, reg::StringData("yes"));
    AddInstance("Off");
    Put(Key("Off"), "Enabled", reg::REG_DWORD, reg::DwordData(0));
    AddInstance("OffText");
    Put(Key("OffText"), "Enabled", reg::REG_SZ, reg::StringData("No"));
    CTimerWnd main(*store_, loop_);
    ASSERT_TRUE(main.StartAllInstances());
    EXPECT_EQ(main.RunningCount(), 2u);
    ASSERT_NE(main.FindInstance("one"), nullptr);
    EXPECT_NE(main.FindInstance("TWO"), nullptr);
    EXPECT_EQ(main.FindInstance("Off"), nullptr);
    EXPECT_EQ(StoredInt("One", "Started"), 1);
    EXPECT_EQ(StoredInt("One", "NumPort"), main.FindInstance("One")->port());
    EXPECT_EQ(StoredInt("Off", "Started"), -1);
}

TEST_F(TimerWndTest, RescanStartsStopsAndRefreshes) {
    AddInstance("Stay");
    AddInstance("Go");
    AddInstance("Come");
    Put(Key("Come"), "Enabled", reg::REG_SZ, reg::StringData("0"));
    CTimerWnd main(*store_, loop_);
    ASSERT_TRUE(main.StartAllInstances());
    ASSERT_EQ(main.RunningCount(), 2u);
    CFtpServer* stay = main.FindInstance("Stay");
    const int stayPort = stay->port();

    Put(Key("Go"), "Enabled", reg::REG_DWORD, reg::DwordData(0));
    Put(Key("Come"), "Enabled", reg::REG_DWORD, reg::DwordData(5));
    Put(Key("Stay", "Security"), "MaxUsers", reg::REG_SZ, reg::StringData("7"));
    Put(Key("Stay"), "Port", reg::REG_DWORD, reg::DwordData(1));  // ignored while running
    ASSERT_TRUE(main.StartAllInstances());
    EXPECT_EQ(main.RunningCount(), 2u);
    EXPECT_EQ(main.FindInstance("Go"), nullptr);
    EXPECT_NE(main.FindInstance("Come"), nullptr);
    EXPECT_EQ(main.FindInstance("Stay"), stay);
    EXPECT_EQ(stay->port(), stayPort);
    EXPECT_EQ(stay->settings().maxUsers, 7);

    // A deleted key leaves its instance running.
    ASSERT_TRUE(store_->DeleteTree(Key("Come")).ok());
    ASSERT_TRUE(main.StartAllInstances());
    EXPECT_NE(main.FindInstance("Come"), nullptr);

    main.StopAllInstances();
    EXPECT_EQ(main.RunningCount(), 0u);
}

TEST_F(TimerWndTest, FailedInstanceDoesNotStopTheOthers) {
    CListener busy;
    ASSERT_EQ(busy.Create(AF_INET), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(busy.Bind(reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(busy.Listen(), 0);

    AddInstance("Bad");
    Put(Key("Bad"), "Port", reg::REG_DWORD, reg::DwordData(static_cast<uint32_t>(busy.LocalPort())));
    AddInstance("BadAddress");
    Put(Key("BadAddress"), "Address", reg::REG_SZ, reg::StringData("not-an-address"));
    AddInstance("Good");
    CTimerWnd main(*store_, loop_);
    ASSERT_TRUE(main.StartAllInstances());
    EXPECT_EQ(main.RunningCount(), 1u);
    EXPECT_NE(main.FindInstance("Good"), nullptr);
    EXPECT_EQ(StoredInt("Bad", "Started"), 0);
    EXPECT_EQ(StoredInt("BadAddress", "Started"), 0);
    CServerRegistry bad(*store_, "Bad", nullptr);
    EXPECT_EQ(bad.ReadString(nullptr, "Fatal Error", ""),
              "Fatal error binding listening socket: WSAEADDRINUSE - Address already in use");
    CServerRegistry badAddress(*store_, "BadAddress", nullptr);
    EXPECT_FALSE(badAddress.ReadString(nullptr, "Fatal Error", "").empty());
}

TEST_F(TimerWndTest, TimerRunsTheIdleTimeOut) {
    ::setenv("ORVYN_TIMER_MS", "50", 1);
    AddInstance("Idle");
    Put(Key("Idle", "Security"), "TimeOut", reg::REG_DWORD, reg::DwordData(1));
    CTimerWnd main(*store_, loop_);
    ASSERT_TRUE(main.StartAllInstances());
    const int port = main.FindInstance("Idle")->port();
    ::unsetenv("ORVYN_TIMER_MS");
    WithClients([&] {
        Client c(port);
        ASSERT_EQ(c.ReadReply(), "220 ORVYN 1.0 service (by Brandmoor) ready for new user\r\n");
        EXPECT_EQ(c.ReadUntilClosed(4000), "421 Timeout (1 seconds): closing control connection.\r\n");
    });
}

TEST_F(TimerWndTest, TimerPeriodFromEnvironment) {
    ::setenv("ORVYN_TIMER_MS", "250", 1);
    EXPECT_EQ(CTimerWnd::TimerPeriodMs(), 250u);
    ::setenv("ORVYN_TIMER_MS", "fast", 1);
    EXPECT_EQ(CTimerWnd::TimerPeriodMs(), 5000u);
    ::setenv("ORVYN_TIMER_MS", "0", 1);
    EXPECT_EQ(CTimerWnd::TimerPeriodMs(), 5000u);
    ::unsetenv("ORVYN_TIMER_MS");
    EXPECT_EQ(CTimerWnd::TimerPeriodMs(), 5000u);
}

TEST_F(TimerWndTest, PidFileInRunFolder) {
    const std::string runDir = dir_.path() + "/nested/run";
    ::setenv("ORVYN_RUNDIR", runDir.c_str(), 1);
    CTimerWnd main(*store_, loop_);
    ASSERT_TRUE(main.WritePidFile());
    const std::string path = runDir + "/ORVYN Service Control.pid";
    EXPECT_EQ(CTimerWnd::PidFilePath(), path);
    std::ifstream in(path);
    long pid = 0;
    in >> pid;
    EXPECT_EQ(pid, static_cast<long>(::getpid()));
    main.RemovePidFile();
    EXPECT_NE(::access(path.c_str(), F_OK), 0);

    // Another process's pid file is left alone.
    std::ofstream(path) << (::getpid() + 1) << "\n";
    main.RemovePidFile();
    EXPECT_EQ(::access(path.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace orvyn::test
