// The data side on its own: CDataTransfer driven through a fake session on a
// real event loop, with real loopback connections to a client thread.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/Registry.h"
#include "service/accounts/login/SessionAccount.h"
#include "service/accounts/paths/DeviceNames.h"
#include "service/base/settings/ServerRegistry.h"
#include "service/transfer/connection/DataSession.h"
#include "service/transfer/connection/DataTransfer.h"
#include "service/transfer/conversions/ChildReaper.h"
#include "service/transfer/data/PasvPortSearch.h"
#include "tests/unit/settings/TempStore.h"

namespace orvyn::test {
namespace {

using eventloop::Message;

// A session that records replies, log lines and status, and hands the data
// events of the sockets it routes back to the data side.
class FakeSession final : public IDataSession, public eventloop::IEventTarget {
public:
    explicit FakeSession(reg::Store& store) : registry_(store, "Test", &log_) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::memcpy(&addr_, &a, sizeof a);
    }

    std::vector<std::string> replies;
    std::string status;
    bool block = false;
    std::set<eventloop::Socket> routed;
    int openSockets = 0;
    RecordingLog log_;

    bool Logged(const std::string& text) const {
        for (const LoggedLine& l : log_.lines) {
            if (l.text.find(text) != std::string::npos) return true;
        }
        return false;
    }

    // IDataSession
    eventloop::EventLoop& loop() override { return loop_; }
    CServerRegistry& registry() override { return registry_; }
    DataPolicy policy() const override { return DataPolicy{true, false, false}; }
    CPasvPortSearch& pasvPorts() override { return ports_; }
    CChildReaper& childReaper() override { return reaper_; }
    PathResolver Resolver() const override {
        return PathResolver(DeviceNames::ForProcess(registry_), JoinMethod::Own);
    }
    void RouteData(eventloop::Socket s) override { routed.insert(s); }
    void UnrouteData(eventloop::Socket s) override { routed.erase(s); }
    void SelectData(eventloop::Socket s, uint32_t events) override {
        loop_.AsyncSelect(s, events != 0 ? this : nullptr, Message::Data, events);
    }
    void PostDataEvent(eventloop::Socket s, uint32_t event) override { loop_.PostEvent(this, Message::Data, s, event); }
    void SocketOpened() override { ++openSockets; }
    void SocketClosed() override { --openSockets; }
    eventloop::Socket controlSocket() const override { return -1; }
    const sockaddr_storage& peerAddress() const override { return addr_; }
    socklen_t peerLength() const override { return sizeof(sockaddr_in); }
    const sockaddr_storage& localAddress() const override { return addr_; }
    socklen_t localLength() const override { return sizeof(sockaddr_in); }
    int protectionState() const override { return 0; }
    std::unique_ptr<CTlsSock> NewDataTlsLayer(unsigned long* error) override {
        *error = 0x8009030E;
        return nullptr;
    }
    void Reply(std::string_view line) override {
        replies.emplace_back(line);
        if (line.substr(0, 3) == "226" || line.substr(0, 1) == "4" || line.substr(0, 1) == "5") loop_.Quit();
    }
    void CorkReplies(bool) override {}
    void SetStatus(std::string text) override { status = std::move(text); }
    void LogV(char category, const char* format, va_list ap) override {
        log_.LogV(7, category, format, ap);
        if (category == 'G' || category == 'P') loop_.Quit();  // the end of a transfer
    }
    bool imageType() const override { return true; }
    bool blockMode() const override { return block; }
    bool loggedIn() const override { return false; }
    const std::string& userName() const override { return name_; }
    CSessionAccount& account() override { return account_; }

    // IEventTarget
    void OnSocketEvent(Message, eventloop::Socket s, uint32_t event, int wsaError) override {
        if (routed.count(s) != 0) transfer.OnDataEvent(s, event, wsaError);
    }
    void OnLookupDone(int, int, const std::string&) override {}

    // Runs the loop until `done` holds; every final reply and every end of a
    // transfer lets it look again. Gives up (failing) after five seconds.
    template <class Pred>
    void RunUntil(Pred done) {
        bool late = false;
        const int timer = loop_.AddTimer(5000, [&] {
            late = true;
            loop_.Quit();
        });
        while (!done() && !late) loop_.Run();
        loop_.RemoveTimer(timer);
        EXPECT_FALSE(late) << "the transfer did not end in time";
    }

private:
    eventloop::EventLoop loop_;
    mutable CServerRegistry registry_;
    CPasvPortSearch ports_;
    CChildReaper reaper_;
    CSessionAccount account_;
    sockaddr_storage addr_{};
    std::string name_;

public:
    // Last: it goes first, while the loop it may still close sockets on lives.
    CDataTransfer transfer{*this};
};

int PortOf(const std::string& epsvReply) {
    const size_t at = epsvReply.find("(|||");
    return at == std::string::npos ? 0 : std::stoi(epsvReply.substr(at + 4));
}

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return fd;
}

std::string ReadToEnd(int fd) {
    std::string data;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) data.append(buf, static_cast<size_t>(n));
    return data;
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class DataTransferTest : public ::testing::Test {
protected:
    TempStore dir;
    FakeSession s{dir.store()};
};

TEST_F(DataTransferTest, PassiveDownloadFromARestartMarker) {
    std::string content;
    for (int i = 0; i < 200000; ++i) content += static_cast<char>('a' + i % 26);
    const std::string path = dir.file("big.bin");
    std::ofstream(path, std::ios::binary) << content;

    s.transfer.Epsv("");
    ASSERT_EQ(s.replies.size(), 1u);
    const int port = PortOf(s.replies[0]);
    ASSERT_GT(port, 0) << s.replies[0];
    std::string received;
    std::thread client([&] {
        const int fd = Connect(port);
        received = ReadToEnd(fd);
        ::close(fd);
    });
    s.transfer.Rest("1000");
    s.transfer.Retr(path);
    // The 226 once the last byte has gone; the client's close then ends the
    // transfer.
    s.RunUntil([&] { return s.Logged("Got "); });
    client.join();

    ASSERT_EQ(s.replies.size(), 4u);
    EXPECT_EQ(s.replies[1], "350 Restarting from 1000 bytes.");
    EXPECT_EQ(s.replies[2].substr(0, 4), "150 ");
    EXPECT_NE(s.replies[2].find("199000 bytes"), std::string::npos) << s.replies[2];
    EXPECT_EQ(s.replies[3], "226 Transfer finished successfully.");
    EXPECT_TRUE(received == content.substr(1000)) << received.size();
    // The socket is given back and taken out of the instance's data map.
    EXPECT_EQ(s.status, "Success");
    EXPECT_TRUE(s.Logged("Got 199000 bytes of file " + path + " successfully"));
    EXPECT_EQ(s.transfer.restartMarker(), 0);
    EXPECT_TRUE(s.routed.empty());
    EXPECT_EQ(s.openSockets, 0);
}

TEST_F(DataTransferTest, BlockModeUploadsShareOneActiveConnection) {
    // The client listens; PORT points the data side at it.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    const int port = ntohs(a.sin_port);
    char arg[64];
    std::snprintf(arg, sizeof arg, "127,0,0,1,%d,%d", port / 256, port % 256);
    s.block = true;
    s.transfer.Port(arg);
    ASSERT_EQ(s.replies.back().substr(0, 4), "200 ");

    // Each file: one data block and the end-of-file block; the connection
    // stays open for the next file.
    auto block = [](const std::string& data) {
        std::string b;
        b += '\0';
        b += static_cast<char>(data.size() >> 8);
        b += static_cast<char>(data.size() & 0xff);
        b += data;
        b += std::string("\x40\0\0", 3);
        return b;
    };
    int conn = -1;
    std::thread client([&] {
        conn = ::accept(listener, nullptr, nullptr);
        const std::string first = block("first file");
        (void)!::write(conn, first.data(), first.size());
    });
    s.transfer.Store(dir.file("one.txt"), false, false);
    s.RunUntil([&] { return s.Logged("one.txt successfully"); });
    client.join();
    EXPECT_EQ(s.replies.back(), "226 Transfer finished successfully.");
    EXPECT_EQ(FileText(dir.file("one.txt")), "first file");
    const eventloop::Socket kept = s.transfer.dataSocket();
    EXPECT_NE(kept, eventloop::INVALID_SOCKET);

    const std::string second = block("second");
    ASSERT_EQ(::write(conn, second.data(), second.size()), static_cast<ssize_t>(second.size()));
    s.transfer.Store(dir.file("two.txt"), false, false);
    s.RunUntil([&] { return s.Logged("two.txt successfully"); });
    EXPECT_EQ(s.replies.back(), "226 Transfer finished successfully.");
    EXPECT_EQ(FileText(dir.file("two.txt")), "second");
    EXPECT_EQ(s.transfer.dataSocket(), kept);
    EXPECT_EQ(s.openSockets, 1);

    // The client's close ends the kept connection without a transfer.
    ::close(conn);
    ::close(listener);
    s.transfer.Abandon();
    EXPECT_EQ(s.openSockets, 0);
    EXPECT_TRUE(s.routed.empty());
    // Bytes are counted as they came, block headers included.
    EXPECT_TRUE(s.Logged("Put 16 bytes of file " + dir.file("one.txt") + " successfully"));
}

}  // namespace
}  // namespace orvyn::test
