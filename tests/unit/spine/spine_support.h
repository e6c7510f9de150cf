// Test bed for the server core: a temporary store with one instance, a real
// event loop running on the test thread, and blocking clients on a second
// thread that talk to the instance over loopback.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <memory>
#include <string>
#include <type_traits>

#include "platform/eventloop/EventLoop.h"
#include "platform/registry/Registry.h"
#include "service/core/server/FtpServer.h"
#include "service/core/session/FtpSession.h"
#include "tests/support/TempDir.h"

namespace orvyn::test {



// A blocking client of one control connection.
class Client {
public:
    // source: local address to bind; receiveBuffer: SO_RCVBUF when not 0.
    explicit Client(int port, const char* source = nullptr, int receiveBuffer = 0);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void SendRaw(const std::string& bytes);
    // Sends what the socket takes without waiting; returns the byte count.
    size_t SendSome(const std::string& bytes);
    void Send(const std::string& line) { SendRaw(line + "\r\n"); }
    // Half-closes: the server reads the end after what was sent.
    void ShutdownSend();
    // One complete reply (every line of a multi-line reply); "" when nothing
    // complete arrives within timeoutMs or the connection ends first.
    std::string ReadReply(int timeoutMs = 3000);
    std::string Cmd(const std::string& line) {
        Send(line);
        return ReadReply();
    }
    // Everything until the server closes the connection (or timeoutMs passes).
    std::string ReadUntilClosed(int timeoutMs = 3000);
    // Whether anything arrives within timeoutMs (the bytes are kept).
    bool DataArrives(int timeoutMs);
    bool closed() const { return closed_; }
    // The client's own port.
    int LocalPort() const;

private:
    bool Fill(int timeoutMs);
    std::string TakeLine();

    int fd_ = -1;
    std::string buf_;
    bool closed_ = false;
};

class SpineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string InstanceKey(const char* section = nullptr) const;
    void SetDword(const char* section, const char* name, uint32_t value);
    void SetString(const char* section, const char* name, const std::string& value);

    // Starts the instance on 127.0.0.1 with a port the system chooses.
    void StartServer();

    // Runs the event loop on this thread while fn runs on a client thread;
    // returns when fn has returned.
    void WithClients(const std::function<void()>& fn);
    // Runs the loop until the loop itself is told to quit (or timeoutMs
    // passes, which fails the test) while fn runs on a client thread;
    // returns the loop's exit code.
    int RunUntilQuit(const std::function<void()>& fn, int timeoutMs = 5000);

    // From the client thread: runs f on the loop thread and waits for it.
    template <class F>
    auto OnLoop(F f) -> decltype(f()) {
        using R = decltype(f());
        auto task = std::make_shared<std::packaged_task<R()>>(std::move(f));
        std::future<R> result = task->get_future();
        loop_.Post([task] { (*task)(); });
        return result.get();
    }

    // The session of the only (or the first) connection; loop thread only.
    CFtpSession* FirstSession() const;
    // The session serving a client; loop thread only.
    CFtpSession* SessionOf(const Client& c) const;
    size_t SessionCount() const { return server_->sessionMap().GetCount(); }

    // Lines of the activity log, without the prefix up to the time.
    std::vector<std::string> LogMessages() const;
    bool LogContains(const std::string& text) const;

    TempDir dir_;
    std::unique_ptr<reg::Store> store_;
    eventloop::EventLoop loop_;
    std::unique_ptr<CFtpServer> server_;
    int port_ = 0;
    std::string logFile_;
};

}  // namespace orvyn::test
