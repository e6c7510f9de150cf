// A server instance: accept path, counts, connection numbers, timer step,
// stop state, disconnects and sockets of ended sessions.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "service/transfer/listing/ListingJob.h"
#include "spine_support.h"

namespace orvyn::test {
namespace {

const std::string kGreeting = "220 ORVYN 1.0 service (by Brandmoor) ready for new user\r\n";
const std::string kGoodbye = "221 Windows FTP Server (ORVYN, by Brandmoor) says goodbye\r\n";

class ServerTest : public SpineTest {
protected:
    // Makes the first session look idle for ms milliseconds.
    void AgeFirstSession(uint32_t ms) {
        OnLoop([&] {
            FirstSession()->record().lastActivity = eventloop::EventLoop::TickCount() - ms;
            return 0;
        });
    }
    void Tick() {
        OnLoop([&] {
            server_->TimerStep();
            return 0;
        });
    }
    long ReadStoredInt(const char* section, const char* name) {
        reg::Value v;
        if (!store_->QueryValue(InstanceKey(section), name, v).ok() || v.data.size() != 4) return -1;
        return static_cast<long>(v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (v.data[3] << 24));
    }
};

TEST_F(ServerTest, StartRecordsPortAndState) {
    StartServer();
    EXPECT_EQ(ReadStoredInt(nullptr, "Started"), 1);
    EXPECT_EQ(ReadStoredInt(nullptr, "NumPort"), port_);
    EXPECT_EQ(server_->openSockets(), 1);
}

TEST_F(ServerTest, ConnectionNumbersWrapAfter9999AndAreStoredAhead) {
    SetDword("Logging", "ConnectNum", 9999);
    StartServer();
    WithClients([&] {
        Client a(port_);
        ASSERT_EQ(a.ReadReply(), kGreeting);
        EXPECT_EQ(OnLoop([&] { return FirstSession()->connectionNumber(); }), 9999);
        // While connections come the store holds the end of a block, so a
        // service killed now never gives a number out twice; the first tick
        // without a new connection stores the exact next number.
        EXPECT_EQ(ReadStoredInt("Logging", "ConnectNum"), 100);
        OnLoop([&] { server_->TimerStep(); });
        EXPECT_EQ(ReadStoredInt("Logging", "ConnectNum"), 100);
        OnLoop([&] { server_->TimerStep(); });
        EXPECT_EQ(ReadStoredInt("Logging", "ConnectNum"), 1);
        // A number set in the store meanwhile is taken over at the tick,
        // also while connections come.
        Client b(port_);
        ASSERT_EQ(b.ReadReply(), kGreeting);
        SetDword("Logging", "ConnectNum", 500);
        OnLoop([&] { server_->TimerStep(); });
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        EXPECT_EQ(OnLoop([&] { return SessionOf(c)->connectionNumber(); }), 500);
        EXPECT_EQ(ReadStoredInt("Logging", "ConnectNum"), 600);
    });
}

TEST_F(ServerTest, CountsFollowSessions) {
    StartServer();
    WithClients([&] {
        {
            Client a(port_);
            Client b(port_);
            ASSERT_EQ(a.ReadReply(), kGreeting);
            ASSERT_EQ(b.ReadReply(), kGreeting);
            EXPECT_EQ(OnLoop([&] { return server_->userCount(); }), 2);
            EXPECT_EQ(OnLoop([&] { return server_->openSockets(); }), 3);
            int nodelay = OnLoop([&] {
                int v = 0;
                socklen_t len = sizeof v;
                ::getsockopt(FirstSession()->controlSocket(), IPPROTO_TCP, TCP_NODELAY, &v, &len);
                return v;
            });
            EXPECT_NE(nodelay, 0);
            EXPECT_EQ(a.Cmd("QUIT"), kGoodbye);
        }
        // Both clients have closed: every socket but the listener is gone.
        for (int i = 0; i < 50 && OnLoop([&] { return server_->openSockets(); }) != 1; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(OnLoop([&] { return server_->openSockets(); }), 1);
        EXPECT_EQ(OnLoop([&] { return server_->userCount(); }), 0);
        EXPECT_EQ(OnLoop([&] { return SessionCount(); }), 0u);
    });
}

TEST_F(ServerTest, DataAfterQuitGetsTheSocketClosed) {
    StartServer();
    WithClients([&] {
        Client a(port_);
        ASSERT_EQ(a.ReadReply(), kGreeting);
        EXPECT_EQ(a.Cmd("QUIT"), kGoodbye);
        // The session is gone but the client keeps its end open and talks on.
        EXPECT_EQ(OnLoop([&] { return server_->openSockets(); }), 2);
        a.Send("NOOP");
        for (int i = 0; i < 100 && OnLoop([&] { return server_->openSockets(); }) != 1; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(OnLoop([&] { return server_->openSockets(); }), 1);
    });
}

TEST_F(ServerTest, AllowLoginsZeroRefusesWithoutCountingUsers) {
    SetDword(nullptr, "AllowLogins", 0);
    StartServer();
    WithClients([&] {
        Client a(port_);
        EXPECT_EQ(a.ReadReply(), "421 Service not available, closing TELNET connection\r\n");
        EXPECT_EQ(OnLoop([&] { return server_->userCount(); }), 0);
        EXPECT_EQ(OnLoop([&] { return SessionCount(); }), 1u);
        // A command with its own closing gate gets one 421, then the end.
        a.Send("TYPE I");
        EXPECT_EQ(a.ReadUntilClosed(), "421 Service not available, closing TELNET connection\r\n");
        EXPECT_EQ(OnLoop([&] { return SessionCount(); }), 0u);
    });
}

TEST_F(ServerTest, IdleSessionTimesOut) {
    SetDword("Security", "TimeOut", 2);
    StartServer();
    WithClients([&] {
        Client a(port_);
        ASSERT_EQ(a.ReadReply(), kGreeting);
        AgeFirstSession(1500);
        Tick();
        EXPECT_FALSE(a.DataArrives(100));
        AgeFirstSession(2000);
        Tick();
        EXPECT_EQ(a.ReadUntilClosed(), "421 Timeout (2 seconds): closing control connection.\r\n");
        EXPECT_EQ(OnLoop([&] { return SessionCount(); }), 0u);
        EXPECT_EQ(OnLoop([&] { return server_->openSockets(); }), 1);
        EXPECT_EQ(OnLoop([&] { return server_->userCount(); }), 0);
    });
    EXPECT_TRUE(LogContains("Connection timed out."));
}

// A listing whose worker runs until it is told to stop, as a listing of a
// huge folder would; it reports when the stop flag reached it.
struct EndlessListing {
    std::shared_ptr<std::atomic<bool>> stopSeen = std::make_shared<std::atomic<bool>>(false);

    std::unique_ptr<ListingJob> Start() const {
        auto seen = stopSeen;
        auto job = std::make_unique<ListingJob>(
            nullptr, SpoolFile::InMemory(),
            [seen](SpoolFile&, const std::atomic<bool>& stop) {
                while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
                seen->store(true);
                return ListingOutcome::Stopped;
            },
            [](ListingOutcome) {});
        EXPECT_TRUE(job->Start());
        return job;
    }
    bool StopSeenWithin(int ms) const {
        for (int i = 0; i < ms / 10 && !stopSeen->load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return stopSeen->load();
    }
};

TEST_F(ServerTest, IdleTimeOutDuringAStatListingStopsTheWorker) {
    SetDword("Security", "TimeOut", 2);
    StartServer();
    EndlessListing listing;
    WithClients([&] {
        Client a(port_);
        ASSERT_EQ(a.ReadReply(), kGreeting);
        OnLoop([&] {
            FirstSession()->files().statJob = listing.Start();
            return 0;
        });
        EXPECT_TRUE(OnLoop([&] { return FirstSession()->workerRunning(); }));
        // Nothing moves on the control connection: the session times out
        // and its worker is stopped, not left writing for a freed session.
        AgeFirstSession(3000);
        Tick();
        EXPECT_EQ(a.ReadUntilClosed(), "421 Timeout (2 seconds): closing control connection.\r\n");
        EXPECT_TRUE(listing.StopSeenWithin(2000));
        EXPECT_EQ(OnLoop([&] { return SessionCount(); }), 0u);
    });
}

TEST_F(ServerTest, DataConnectionWaitsForARunningListingWorker) {
    SetDword("Security", "TimeOut", 2);
    SetDword("Security", "Secure", 0);
    StartServer();
    EndlessListing listing;
    WithClients([&] {
        Client a(port_);
        ASSERT_EQ(a.ReadReply(), kGreeting);
        const std::string pasv = a.Cmd("PASV");
        ASSERT_EQ(pasv.substr(0, 4), "227 ") << pasv;
        OnLoop([&] {
            FirstSession()->files().dataJob = listing.Start();
            return 0;
        });
        // The listing is still being built: the data connection is not
        // timed out from under it and the session stays.
        AgeFirstSession(3000);
        Tick();
        EXPECT_FALSE(a.DataArrives(200));
        EXPECT_EQ(OnLoop([&] { return SessionCount(); }), 1u);
        EXPECT_NE(OnLoop([&] { return FirstSession()->dataSocket(); }), eventloop::INVALID_SOCKET);
        EXPECT_FALSE(listing.stopSeen->load());
        // Leaving ends the worker with the session.
        EXPECT_EQ(a.Cmd("QUIT"), kGoodbye);
        EXPECT_TRUE(listing.StopSeenWithin(2000));
    });
}

TEST_F(ServerTest, TimeOutZeroNeverTimesOut) {
    SetDword("Security", "TimeOut", 0);
    StartServer();
    WithClients([&] {
        Client a(port_);
        ASSERT_EQ(a.ReadReply(), kGreeting);
        AgeFirstSession(3600u * 1000u);
        Tick();
        EXPECT_EQ(a.Cmd("NOOP"), "200 No operation completed successfully\r\n");
    });
}

TEST_F(ServerTest, TimeWarningGoesOnlyToMonitors) {
    SetDword("Security", "TimeOut", 4);
    StartServer();
    WithClients([&] {
        Client monitor(port_);
        ASSERT_EQ(monitor.ReadReply(), kGreeting);
        Client plain(port_);
        ASSERT_EQ(plain.ReadReply(), kGreeting);
        OnLoop([&] {
            for (const auto& [s, rec] : server_->sessionMap()) {
                rec->lastActivity = eventloop::EventLoop::TickCount() - 3100;
            }
            SessionOf(monitor)->setMonitor(true);
            server_->TimerStep();
            return 0;
        });
        EXPECT_EQ(monitor.ReadReply(), "300 TIME - 75% of timeout reached - send NOOP to continue.\r\n");
        EXPECT_FALSE(plain.DataArrives(200));
    });
}

TEST_F(ServerTest, StopStateDisconnectsAndTurnsNewcomersAway) {
    SetDword("Security", "TimeOut", 300);
    StartServer();
    WithClients([&] {
        Client a(port_);
        ASSERT_EQ(a.ReadReply(), kGreeting);
        AgeFirstSession(10);
        OnLoop([&] {
            server_->SetStopState(0, 5);
            server_->TimerStep();
            return 0;
        });
        EXPECT_EQ(a.ReadUntilClosed(), "421 Timeout (300 seconds): closing control connection.\r\n");
        Client b(port_);
        // Whole minutes left, rounded down: 4 once any tick has passed since
        // the stop state was set, 5 on a clock too coarse to have moved yet.
        const std::string refusal = b.ReadReply();
        EXPECT_TRUE(refusal == "120 This server has stopped.  We expect it to be back up in 4 minutes\r\n" ||
                    refusal == "120 This server has stopped.  We expect it to be back up in 5 minutes\r\n")
            << refusal;
        EXPECT_FALSE(b.DataArrives(200));
    });
}

TEST_F(ServerTest, DisconnectSessionTellsTheClient) {
    StartServer();
    WithClients([&] {
        Client a(port_);
        ASSERT_EQ(a.ReadReply(), kGreeting);
        OnLoop([&] {
            server_->DisconnectSession(*FirstSession());
            return 0;
        });
        EXPECT_EQ(a.ReadUntilClosed(), "421 Sorry, but the server has disconnected you.\r\n");
        EXPECT_EQ(OnLoop([&] { return server_->openSockets(); }), 1);
    });
    EXPECT_TRUE(LogContains("Disconnected user "));
}

TEST_F(ServerTest, StopClosesSessionsAndListener) {
    StartServer();
    WithClients([&] {
        Client a(port_);
        ASSERT_EQ(a.ReadReply(), kGreeting);
        OnLoop([&] {
            server_->Stop();
            return 0;
        });
        EXPECT_EQ(a.ReadUntilClosed(), "421 Sorry, but the server has disconnected you.\r\n");
        EXPECT_EQ(OnLoop([&] { return server_->openSockets(); }), 0);
        Client refused(port_);
        EXPECT_TRUE(refused.closed());
    });
}

TEST_F(ServerTest, WaitForNameChecksHostAfterTheLookup) {
    SetDword("Hosts", "WaitForName", 1);
    SetDword("Hosts\\DenyThese", "127.0.0.2", 1);
    StartServer();
    WithClients([&] {
        // Commands sent before the check are not run for a refused host...
        Client a(port_, "127.0.0.2");
        a.Send("NOOP");
        EXPECT_EQ(a.ReadUntilClosed(5000), "421 Service not available, closing TELNET connection\r\n" + kGoodbye);
        // ...and wait for the greeting of an admitted one.
        Client b(port_, "127.0.0.3");
        b.Send("NOOP");
        EXPECT_EQ(b.ReadReply(), kGreeting);
        EXPECT_EQ(b.ReadReply(), "200 No operation completed successfully\r\n");
    });
    EXPECT_TRUE(LogContains("[127.0.0.2] not allowed to connect because of rule 127.0.0.2."));
}

TEST_F(ServerTest, DenyRuleByAddressRefusesOthersPass) {
    SetDword("Hosts\\DenyThese", "127.0.0.2", 1);
    StartServer();
    WithClients([&] {
        Client denied(port_, "127.0.0.2");
        EXPECT_EQ(denied.ReadUntilClosed(), "421 Service not available, closing TELNET connection\r\n" + kGoodbye);
        Client allowed(port_, "127.0.0.3");
        EXPECT_EQ(allowed.ReadReply(), kGreeting);
        EXPECT_EQ(OnLoop([&] { return server_->userCount(); }), 1);
    });
    EXPECT_TRUE(LogContains("User's host {unnamed} [127.0.0.2] not allowed to connect because of rule 127.0.0.2."));
}

TEST_F(ServerTest, BindFailureIsRecorded) {
    StartServer();
    CFtpServer second(*store_, loop_, "Unit");
    EXPECT_FALSE(second.Start("127.0.0.1:" + std::to_string(port_), ""));
    EXPECT_EQ(ReadStoredInt(nullptr, "Started"), 0);
    reg::Value v;
    ASSERT_TRUE(store_->QueryValue(InstanceKey(), "Fatal Error", v).ok());
    EXPECT_STREQ(reinterpret_cast<const char*>(v.data.data()),
                 "Fatal error binding listening socket: WSAEADDRINUSE - Address already in use");
    EXPECT_EQ(second.openSockets(), 0);
}

TEST_F(ServerTest, SecondListenerOnTlsPort) {
    server_ = std::make_unique<CFtpServer>(*store_, loop_, "Unit");
    int tlsPort = 0;
    {
        // A port that is free now.
        CListener probe;
        ASSERT_EQ(probe.Create(AF_INET), 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(probe.Bind(reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        tlsPort = probe.LocalPort();
    }
    ASSERT_TRUE(server_->Start("127.0.0.1:0", std::to_string(tlsPort)));
    EXPECT_EQ(server_->tlsPort(), tlsPort);
    EXPECT_EQ(server_->openSockets(), 2);
    WithClients([&] {
        // Without a certificate the implicit-TLS port greets nobody.
        Client c(tlsPort);
        EXPECT_EQ(c.ReadReply(), "");
    });
}

}  // namespace
}  // namespace orvyn::test
