// The FTP session driven over a real loopback connection: dispatch, gates,
// the small commands, the reply hold count and the end of a session.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <set>
#include <chrono>
#include <future>
#include <thread>
#include <string>
#include <vector>

#include "service/core/session/CommandTable.h"
#include "spine_support.h"

namespace orvyn::test {
namespace {

const std::string kGreeting = "220 ORVYN 1.0 service (by Brandmoor) ready for new user\r\n";
const std::string kGoodbye = "221 Windows FTP Server (ORVYN, by Brandmoor) says goodbye\r\n";
const std::string kNotLoggedIn = "530 Not logged in yet - need a USER and PASS command\r\n";

class SessionTest : public SpineTest {
protected:
    // From the client thread: the kernel buffers no megabytes of the first
    // session's replies on a client's behalf.
    void KeepKernelFromBufferingReplies() {
        OnLoop([&] {
            int size = 4096;
            return ::setsockopt(FirstSession()->controlSocket(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        });
    }
};

TEST_F(SessionTest, TypeAndSystAgree) {
    StartServer();
    WithClients([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        EXPECT_EQ(c.Cmd("SYST"), "215 WIN32 A N (ORVYN by Brandmoor)\r\n");
        EXPECT_EQ(c.Cmd("TYPE A T"), "200 Type is ASCII\r\n");
        EXPECT_EQ(c.Cmd("SYST"), "215 WIN32 A T (ORVYN by Brandmoor)\r\n");
        EXPECT_EQ(c.Cmd("type a c"), "200 Type is ASCII\r\n");
        EXPECT_EQ(c.Cmd("SYST"), "215 WIN32 A C (ORVYN by Brandmoor)\r\n");
        EXPECT_EQ(c.Cmd("TYPE L 8"), "200 Type is Local 8-bit representation (Binary)\r\n");
        EXPECT_EQ(c.Cmd("SYST"), "215 WIN32 L 8 (ORVYN by Brandmoor)\r\n");
        EXPECT_EQ(c.Cmd("TYPE A"), "200 Type is ASCII\r\n");
        EXPECT_EQ(OnLoop([&] { return FirstSession()->representationType(); }), kTypeAsciiNonPrint);
        // A refused type leaves the type as it was.
        EXPECT_EQ(c.Cmd("TYPE I"), "200 Type is Image (Binary)\r\n");
        EXPECT_EQ(c.Cmd("TYPE E"), "504 Only Image (Binary) and ASCII are supported\r\n");
        EXPECT_EQ(c.Cmd("SYST"), "215 WIN32 L 8 (ORVYN by Brandmoor)\r\n");
        EXPECT_EQ(OnLoop([&] { return FirstSession()->statusText(); }), "Success");
    });
    EXPECT_TRUE(LogContains("TYPE set to A T"));
    EXPECT_TRUE(LogContains("TYPE set to I N"));
    EXPECT_TRUE(LogContains("TYPE could not be set to the value requested"));
}

TEST_F(SessionTest, LoginGateRefusesModeAndStruWhileSecure) {
    StartServer();
    WithClients([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        EXPECT_EQ(c.Cmd("MODE B"), kNotLoggedIn);
        EXPECT_EQ(c.Cmd("STRU F"), kNotLoggedIn);
        EXPECT_EQ(OnLoop([&] { return FirstSession()->statusText(); }), "Fail");
        EXPECT_FALSE(OnLoop([&] { return FirstSession()->blockMode(); }));
        // Commands without the login gate still work.
        EXPECT_EQ(c.Cmd("NOOP"), "200 No operation completed successfully\r\n");
        EXPECT_EQ(c.Cmd("ALLO 100"), "200 No operation completed successfully\r\n");
        EXPECT_EQ(c.Cmd("ACCT x"), "202 ACCT command not used by this server.\r\n");
    });
    EXPECT_TRUE(LogContains("Command not accepted - user must be logged in"));
}

TEST_F(SessionTest, EveryCommandBeforeLoginMeetsTheGatesOfItsRow) {
    // The commands a client may send before it has logged in; any other row
    // must carry the login gate, so a new command cannot slip in without it.
    const std::set<std::string> open = {"USER", "PASS", "ACCT", "SMNT", "QUIT", "REIN", "TYPE", "ALLO", "ABOR", "SITE",
                                        "SYST", "HELP", "NOOP", "MACB", "FEAT", "HOST", "AUTH", "PBSZ", "PROT",
                                        "CLNT", "OPTS UTF8"};
    size_t refusals = 0;
    StartServer();
    WithClients([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        for (const CommandEntry& e : CommandTable()) {
            if (IsNotFound(e)) continue;
            EXPECT_EQ((e.gates & kGateLogin) == 0, open.count(e.name) == 1) << e.name;
            // QUIT ends the session; a wrong password holds its reply back.
            if (e.number == CMD_QUIT || e.number == CMD_PASS) continue;
            const std::string line = std::string(e.name) + (e.argRule == kArgNone ? "" : " x");
            const std::string reply = c.Cmd(line);
            if ((e.gates & kGateLogin) != 0) {
                EXPECT_EQ(reply, kNotLoggedIn) << line;
                ++refusals;
            } else {
                EXPECT_FALSE(reply.empty()) << line;
                EXPECT_NE(reply, kNotLoggedIn) << line;
            }
        }
        EXPECT_EQ(OnLoop([&] { return SessionCount(); }), 1u);
    });
    // One refusal per gated command, and no refused command reached its
    // handler (a listing would have been started).
    const std::vector<std::string> lines = LogMessages();
    EXPECT_EQ(static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
                  return l.find("Command not accepted - user must be logged in") != std::string::npos;
              })),
              refusals);
    EXPECT_FALSE(LogContains("started successfully"));
}

TEST_F(SessionTest, ModeAndStruWorkWithoutLoginWhenNotSecure) {
    SetDword("Security", "Secure", 0);
    StartServer();
    WithClients([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        EXPECT_EQ(c.Cmd("MODE b"), "200 Mode is 'Block'.\r\n");
        EXPECT_TRUE(OnLoop([&] { return FirstSession()->blockMode(); }));
        EXPECT_EQ(c.Cmd("MODE C"), "504 Only Stream mode is supported\r\n");
        EXPECT_TRUE(OnLoop([&] { return FirstSession()->blockMode(); }));
        EXPECT_EQ(c.Cmd("MODE S"), "200 Mode is Stream\r\n");
        EXPECT_FALSE(OnLoop([&] { return FirstSession()->blockMode(); }));
        EXPECT_EQ(c.Cmd("STRU f"), "200 Structure is File\r\n");
        EXPECT_EQ(c.Cmd("STRU R"), "504 Only structure allowed is File.\r\n");
        EXPECT_EQ(OnLoop([&] { return FirstSession()->statusText(); }), "Fail");
    });
    EXPECT_TRUE(LogContains("MODE set to b"));
    EXPECT_TRUE(LogContains("MODE could not be set to C"));
    EXPECT_TRUE(LogContains("STRUcture set to f"));
    EXPECT_TRUE(LogContains("STRUcture could not be set to R"));
}

TEST_F(SessionTest, ReinResetsParametersAndGreetsAgain) {
    SetDword("Security", "Secure", 0);
    StartServer();
    WithClients([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        c.Cmd("TYPE I");
        c.Cmd("MODE B");
        OnLoop([&] {
            FirstSession()->setMonitor(true);
            return 0;
        });
        const long usersBefore = OnLoop([&] { return server_->userCount(); });
        EXPECT_EQ(c.Cmd("REIN"), kGreeting);
        EXPECT_EQ(OnLoop([&] { return FirstSession()->representationType(); }), kTypeAsciiNonPrint);
        EXPECT_FALSE(OnLoop([&] { return FirstSession()->blockMode(); }));
        EXPECT_FALSE(OnLoop([&] { return FirstSession()->monitor(); }));
        EXPECT_EQ(OnLoop([&] { return FirstSession()->statusText(); }), "Success");
        EXPECT_EQ(OnLoop([&] { return server_->userCount(); }), usersBefore);
    });
    EXPECT_TRUE(LogContains("REINitialise successful - asking for user/password."));
}

TEST_F(SessionTest, ArgumentRulesAndUnknownCommands) {
    StartServer();
    WithClients([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        EXPECT_EQ(c.Cmd("NOOPING"), "501 Command NOOP does not take parameters!\r\n");
        // Prefix match: RETRIEVE runs RETR, which needs a login first.
        EXPECT_EQ(c.Cmd("RETRIEVE file"), "530 Not logged in yet - need a USER and PASS command\r\n");
        EXPECT_EQ(c.Cmd("TYPE"), "501 Command TYPE requires at least one parameter\r\n");
        EXPECT_EQ(c.Cmd("xyz"), "500 Unidentified command xyz\r\n");
        EXPECT_EQ(OnLoop([&] { return FirstSession()->statusText(); }), "Fail-nocommand");
        EXPECT_EQ(OnLoop([&] { return FirstSession()->lastCommand(); }), "xyz");
        EXPECT_EQ(c.Cmd("MACB on"), "502 Command MACB on not implemented yet on this server\r\n");
        EXPECT_EQ(c.Cmd("HOST example"), "502 Command HOST example not implemented yet on this server\r\n");
    });
    // The short line got the table sanity line.
    EXPECT_TRUE(LogContains("Command string \"xyz\" gives command ____, length 4 - commlocalbuff's length is 3"));
}

TEST_F(SessionTest, MachineListingsFollowTheMlstSetting) {
    SetDword(nullptr, "MLST", 0);
    StartServer();
    WithClients([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        EXPECT_EQ(c.Cmd("MLSD /x"), "502 Command MLSD /x not implemented yet on this server\r\n");
    });
}

TEST_F(SessionTest, PassLineIsMaskedAndNotLogged) {
    StartServer();
    WithClients([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        c.Send("PASS s3cr3t-word");
        EXPECT_FALSE(c.DataArrives(200));  // the refusal is held for two ticks
        EXPECT_EQ(OnLoop([&] { return FirstSession()->lastCommand(); }), "PASS xxxx");
        OnLoop([&] {
            server_->TimerStep();
            server_->TimerStep();
            return 0;
        });
        EXPECT_EQ(c.ReadReply(), "530 Not logged in - password incorrect\r\n");
        c.Cmd("NOOP");
        EXPECT_EQ(OnLoop([&] { return FirstSession()->lastCommand(); }), "NOOP");
    });
    for (const std::string& m : LogMessages()) EXPECT_EQ(m.find("s3cr3t"), std::string::npos) << m;
    EXPECT_TRUE(LogContains("Command \"NOOP\" received"));
}

TEST_F(SessionTest, CommandLogLineIsCutAt100Characters) {
    StartServer();
    const std::string arg(300, 'a');
    WithClients([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        c.Cmd("NOOP " + arg);
    });
    const std::string expected = "Command \"" + ("NOOP " + arg).substr(0, 100) + "\" received";
    bool found = false;
    for (const std::string& m : LogMessages()) found = found || m == expected;
    EXPECT_TRUE(found);
}

TEST_F(SessionTest, QuitIgnoresLaterLinesAndEndsSession) {
    StartServer();
    WithClients([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        c.SendRaw("NOOP\r\nQUIT\r\nHELP\r\nSYST\r\n");
        EXPECT_EQ(c.ReadUntilClosed(), "200 No operation completed successfully\r\n" + kGoodbye);
        EXPECT_EQ(OnLoop([&] { return SessionCount(); }), 0u);
        EXPECT_EQ(OnLoop([&] { return server_->userCount(); }), 0);
    });
    EXPECT_TRUE(LogContains("QUIT or close - no user name given."));
    EXPECT_FALSE(LogContains("Command \"HELP\" received"));
}

TEST_F(SessionTest, ReplyHoldCountDelaysRepliesUntilTimerTicks) {
    StartServer();
    WithClients([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        OnLoop([&] {
            FirstSession()->setReplyHoldCount(2);
            return 0;
        });
        c.Send("NOOP");
        c.Send("SYST");
        EXPECT_FALSE(c.DataArrives(200));
        OnLoop([&] {
            server_->TimerStep();
            return 0;
        });
        EXPECT_FALSE(c.DataArrives(200));
        OnLoop([&] {
            server_->TimerStep();
            return 0;
        });
        EXPECT_EQ(c.ReadReply(), "200 No operation completed successfully\r\n");
        EXPECT_EQ(c.ReadReply(), "215 WIN32 A N (ORVYN by Brandmoor)\r\n");
    });
}

// Commands that arrive during a hold wait for it and are then answered in
// order; nothing held is lost when one of them ends the session.
TEST_F(SessionTest, CommandsWaitForTheHoldAndHeldRepliesStillLeave) {
    StartServer();
    WithClients([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        c.SendRaw("PASS wrong\r\nNOOP\r\nQUIT\r\n");
        EXPECT_FALSE(c.DataArrives(200));
        EXPECT_EQ(OnLoop([&] { return FirstSession()->lastCommand(); }), "PASS xxxx");
        OnLoop([&] {
            server_->TimerStep();
            server_->TimerStep();
            return 0;
        });
        EXPECT_EQ(c.ReadUntilClosed(), "530 Not logged in - password incorrect\r\n"
                                       "200 No operation completed successfully\r\n" + kGoodbye);
    });
}

TEST_F(SessionTest, LineLimitClosesWithoutReply) {
    SetDword(nullptr, "MaxCmdLine", 600);
    StartServer();
    WithClients([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        // Complete lines longer than the limit are fine.
        EXPECT_EQ(c.Cmd("NOOP " + std::string(700, 'x')), "501 Command NOOP does not take parameters!\r\n");
        c.SendRaw(std::string(599, 'y'));
        EXPECT_FALSE(c.DataArrives(200));
        EXPECT_FALSE(c.closed());
        c.SendRaw("y");
        EXPECT_EQ(c.ReadUntilClosed(), "");
        EXPECT_TRUE(c.closed());
    });
}

TEST_F(SessionTest, ClientThatNeverReadsDoesNotGrowTheReplyBufferWithoutBound) {
    SetDword("Logging", "Enable", 0);
    SetDword("Logging", "Winsock", 0);
    StartServer();
    WithClients([&] {
        Client c(port_, nullptr, 4096);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        KeepKernelFromBufferingReplies();
        // Far more replies requested than any socket buffer holds, none read.
        std::string burst;
        for (int i = 0; i < 2000; ++i) burst += "HELP\r\n";
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
        size_t sent = 0;
        while (std::chrono::steady_clock::now() < until) sent += c.SendSome(burst);
        ASSERT_GT(sent, 20u * 6u * 1000u);
        size_t most = 0;
        for (int i = 0; i < 12; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            most = std::max(most, OnLoop([&] { return FirstSession()->pendingReplyBytes().size(); }));
        }
        EXPECT_GT(most, 64u * 1024u);  // the backlog really built up
        EXPECT_LT(most, 400u * 1024u);
    });
}

TEST_F(SessionTest, ReadingStoppedForTheBacklogGoesOnWithTheLinesAlreadyRead) {
    SetDword("Logging", "Enable", 0);
    StartServer();
    WithClients([&] {
        Client c(port_, nullptr, 4096);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        KeepKernelFromBufferingReplies();
        // Lines go in one read at a time until the replies nobody reads stop
        // the reading: lines of that read are still unrun, and nothing more
        // waits in the socket to announce itself.
        auto pending = [&] { return OnLoop([&] { return FirstSession()->pendingReplyBytes().size(); }); };
        std::string chunk;
        for (int i = 0; i < 80; ++i) chunk += "HELP\r\n";
        int helps = 0;
        while (pending() < CFtpSession::kReplyBacklogLimit && helps < 40000) {
            c.SendRaw(chunk);
            helps += 80;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_LT(helps, 40000);
        int got = 0;
        for (std::string r = c.ReadReply(); !r.empty(); r = c.ReadReply()) {
            got += r.rfind("214", 0) == 0;
            if (got == helps) break;
        }
        EXPECT_EQ(got, helps);
    });
}

class CountingObserver : public ISessionObserver {
public:
    void SessionChanged(CFtpSession& s, bool ended) override {
        events.push_back(std::string(ended ? "end " : "cmd ") + s.lastCommand());
    }
    std::vector<std::string> events;
};

TEST_F(SessionTest, ObserverHearsEveryCommandAndTheEnd) {
    StartServer();
    CountingObserver observer;
    server_->SetSessionObserver(&observer);
    WithClients([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        c.Cmd("NOOP");
        c.Cmd("FOO");
        c.Send("QUIT");
        c.ReadUntilClosed();
    });
    ASSERT_EQ(observer.events.size(), 4u);
    EXPECT_EQ(observer.events[0], "cmd <<None>>");  // the new connection
    EXPECT_EQ(observer.events[1], "cmd NOOP");
    EXPECT_EQ(observer.events[2], "cmd FOO");
    EXPECT_EQ(observer.events[3], "end QUIT");
}

TEST_F(SessionTest, AFloodOfCommandsYieldsToTheOtherSessions) {
    StartServer();
    CountingObserver observer;
    server_->SetSessionObserver(&observer);
    WithClients([&] {
        Client flood(port_);
        Client other(port_);
        ASSERT_EQ(flood.ReadReply(), kGreeting);
        ASSERT_EQ(other.ReadReply(), kGreeting);
        // The loop is held while both send, so that it finds both waiting.
        std::promise<void> go;
        std::shared_future<void> held = go.get_future().share();
        loop_.Post([held] { held.wait(); });
        std::string burst;
        for (int i = 0; i < 400; ++i) burst += "NOOP\r\n";
        flood.SendRaw(burst);
        other.Send("SYST");
        go.set_value();
        EXPECT_EQ(other.ReadReply().substr(0, 4), "215 ");
        for (int i = 0; i < 400; ++i) ASSERT_EQ(flood.ReadReply().substr(0, 4), "200 ");
    });
    server_->SetSessionObserver(nullptr);  // the sessions end after the observer
    // The other session's command ran after a few of the flood's, not after
    // everything one read brought in.
    const auto syst = std::find(observer.events.begin(), observer.events.end(), "cmd SYST");
    ASSERT_NE(syst, observer.events.end());
    EXPECT_LT(std::count(observer.events.begin(), syst, "cmd NOOP"), 20);
}

TEST_F(SessionTest, CommandsSentBeforeTheClientsCloseStillRun) {
    StartServer();
    WithClients([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        std::string batch;
        for (int i = 0; i < 60; ++i) batch += "NOOP\r\n";
        c.SendRaw(batch);
        c.ShutdownSend();
        int replies = 0;
        for (std::string r = c.ReadReply(); !r.empty(); r = c.ReadReply()) replies += r.rfind("200 ", 0) == 0;
        EXPECT_EQ(replies, 60);
    });
}

TEST_F(SessionTest, SingleSessionModeEndsTheLoopWithTheSession) {
    server_ = std::make_unique<CFtpServer>(*store_, loop_, "Unit");
    server_->SetSingleSessionMode(true);
    ASSERT_TRUE(server_->Start("127.0.0.1:0", ""));
    port_ = server_->port();
    int code = RunUntilQuit([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
        // No login needed and Image type from the start.
        EXPECT_EQ(c.Cmd("SYST"), "215 WIN32 L 8 (ORVYN by Brandmoor)\r\n");
        EXPECT_EQ(c.Cmd("MODE S"), "200 Mode is Stream\r\n");
        EXPECT_EQ(c.Cmd("QUIT"), kGoodbye);
    });
    EXPECT_EQ(code, 0);
    code = RunUntilQuit([&] {
        Client c(port_);
        ASSERT_EQ(c.ReadReply(), kGreeting);
    });
    EXPECT_EQ(code, -1);
}

}  // namespace
}  // namespace orvyn::test
