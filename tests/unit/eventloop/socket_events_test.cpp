// Socket readiness delivery: the read, write, accept, connect and close rules,
// selection changes from inside handlers and handle reuse.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "eventloop_support.h"
#include "platform/eventloop/EventLoop.h"

namespace orvyn::eventloop {
namespace {

using test::Fd;
using test::Recorder;
using test::RunFor;
using test::RunUntil;

constexpr uint32_t kControl = FD_READ | FD_WRITE | FD_CLOSE;

std::vector<uint32_t> Kinds(const Recorder& r) {
    std::vector<uint32_t> out;
    for (const auto& e : r.events) out.push_back(e.event);
    return out;
}

TEST(ReadEvents, RepeatWhileDataRemainsAndStopAfterDraining) {
    EventLoop loop;
    auto [client, server] = test::MakeTcpPair();
    Recorder rec;
    std::string got;
    rec.onEvent = [&](const test::Event& e) {
        if (e.event != FD_READ) return;
        char c;
        int err = 0;
        if (loop.Recv(e.s, &c, 1, &err) == 1) got += c;  // one byte per event
    };
    ASSERT_EQ(loop.AsyncSelect(server.get(), &rec, Message::Command, FD_READ | FD_CLOSE), 0);
    test::WriteAll(client.get(), "hello");
    ASSERT_TRUE(RunUntil(loop, [&] { return got.size() == 5; }));
    RunFor(loop, 40);
    EXPECT_EQ(got, "hello");
    EXPECT_EQ(rec.Count(FD_READ), 5);
    EXPECT_EQ(rec.Count(FD_CLOSE), 0);
    for (const auto& e : rec.events) {
        EXPECT_EQ(e.msg, Message::Command);
        EXPECT_EQ(e.s, server.get());
        EXPECT_EQ(e.error, 0);
    }
}

TEST(ReadEvents, HandlerThatDoesNotReadHearsAgainOnNewDataOrAfterRecv) {
    EventLoop loop;
    auto [client, server] = test::MakeTcpPair();
    Recorder rec;
    ASSERT_EQ(loop.AsyncSelect(server.get(), &rec, Message::Command, FD_READ), 0);
    test::WriteAll(client.get(), "abc");
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_READ) == 1; }));
    RunFor(loop, 40);
    EXPECT_EQ(rec.Count(FD_READ), 1) << "unread data must not spin the loop";

    test::WriteAll(client.get(), "d");
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_READ) == 2; }));

    // A receive outside the handler re-enables the event while data remains.
    std::string got;
    loop.Post([&] {
        char c;
        int err = 0;
        if (loop.Recv(server.get(), &c, 1, &err) == 1) got += c;
    });
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_READ) == 3; }));
    EXPECT_EQ(got, "a");
}

TEST(ReadEvents, HandlerThatStopsReadingDoesNotSpin) {
    // A handler that read before is told of new data without being asked
    // how much waits; when it then leaves the data alone, the events stop.
    EventLoop loop;
    auto [client, server] = test::MakeTcpPair();
    Recorder rec;
    bool reading = true;
    rec.onEvent = [&](const test::Event& e) {
        char buf[8];
        int err = 0;
        if (e.event == FD_READ && reading) loop.Recv(e.s, buf, sizeof buf, &err);
    };
    ASSERT_EQ(loop.AsyncSelect(server.get(), &rec, Message::Command, FD_READ), 0);
    test::WriteAll(client.get(), "ab");
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_READ) == 1; }));
    reading = false;
    test::WriteAll(client.get(), "cd");
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_READ) >= 2; }));
    RunFor(loop, 40);
    EXPECT_LE(rec.Count(FD_READ), 3) << "unread data must not spin the loop";
    reading = true;
    test::WriteAll(client.get(), "e");
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_READ) >= 4; }));
    char rest[8];
    int err = 0;
    EXPECT_EQ(loop.Recv(server.get(), rest, sizeof rest, &err), -1) << "the handler read everything";
}

TEST(CloseEvents, GracefulCloseComesOnceAfterAllDataWasRead) {
    EventLoop loop;
    auto [client, server] = test::MakeTcpPair();
    Recorder rec;
    std::string got;
    size_t bytesAtClose = 0;
    rec.onEvent = [&](const test::Event& e) {
        if (e.event == FD_READ) {
            char buf[2];
            int err = 0;
            const long n = loop.Recv(e.s, buf, sizeof buf, &err);
            if (n > 0) got.append(buf, static_cast<size_t>(n));
        } else if (e.event == FD_CLOSE) {
            bytesAtClose = got.size();
        }
    };
    ASSERT_EQ(loop.AsyncSelect(server.get(), &rec, Message::Command, kControl), 0);
    test::WriteAll(client.get(), "data!");
    client.reset();
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_CLOSE) == 1; }));
    RunFor(loop, 40);
    EXPECT_EQ(got, "data!");
    EXPECT_EQ(bytesAtClose, 5u) << "FD_CLOSE arrived before the data was read";
    EXPECT_EQ(rec.Count(FD_CLOSE), 1);
    EXPECT_EQ(rec.Last(FD_CLOSE)->error, 0);
    EXPECT_EQ(rec.events.back().event, static_cast<uint32_t>(FD_CLOSE));
}

TEST(CloseEvents, ResetReportsConnectionReset) {
    EventLoop loop;
    auto [client, server] = test::MakeTcpPair();
    Recorder rec;
    ASSERT_EQ(loop.AsyncSelect(server.get(), &rec, Message::Command, FD_READ | FD_CLOSE), 0);
    test::SetZeroLinger(client.get());
    client.reset();
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_CLOSE) == 1; }));
    RunFor(loop, 40);
    EXPECT_EQ(rec.Count(FD_CLOSE), 1);
    EXPECT_EQ(rec.Last(FD_CLOSE)->error, WSAECONNRESET);
}

TEST(CloseEvents, ResetFirstSeenByRecvStillGivesCloseWithTheError) {
    EventLoop loop;
    auto [client, server] = test::MakeTcpPair();
    Recorder rec;
    ASSERT_EQ(loop.AsyncSelect(server.get(), &rec, Message::Command, FD_READ | FD_CLOSE), 0);
    RunFor(loop, 20);
    test::SetZeroLinger(client.get());
    client.reset();
    // The receive takes the reset before the loop looks at the socket.
    char buf[16];
    int err = 0;
    long n = 0;
    for (int i = 0; i < 100 && n >= 0; ++i) n = loop.Recv(server.get(), buf, sizeof buf, &err);
    ASSERT_EQ(n, -1);
    ASSERT_EQ(err, WSAECONNRESET);
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_CLOSE) == 1; }));
    RunFor(loop, 20);
    EXPECT_EQ(rec.Count(FD_CLOSE), 1);
    EXPECT_EQ(rec.Last(FD_CLOSE)->error, WSAECONNRESET);
}

TEST(WriteEvents, OneAtSelectAndOneAfterWouldBlockWhenSpaceFrees) {
    EventLoop loop;
    auto [client, server] = test::MakeTcpPair();
    const int small = 4096;
    ASSERT_EQ(setsockopt(server.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_EQ(setsockopt(client.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    Recorder rec;
    ASSERT_EQ(loop.AsyncSelect(server.get(), &rec, Message::Command, kControl), 0);
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_WRITE) == 1; }));

    int lastError = 0;
    long sent = 0;
    loop.Post([&] {
        const std::string chunk(16384, 'z');
        long n;
        while ((n = loop.Send(server.get(), chunk.data(), chunk.size(), &lastError)) > 0) sent += n;
    });
    RunFor(loop, 40);
    ASSERT_EQ(lastError, WSAEWOULDBLOCK);
    ASSERT_GT(sent, 0);
    EXPECT_EQ(rec.Count(FD_WRITE), 1) << "no FD_WRITE while the peer reads nothing";

    // The peer drains everything; the owed FD_WRITE follows exactly once.
    test::SetNonBlocking(client.get());
    long drained = 0;
    const int reader = loop.AddTimer(1, [&] {
        char buf[65536];
        ssize_t n;
        while ((n = ::read(client.get(), buf, sizeof buf)) > 0) drained += n;
    });
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_WRITE) == 2 && drained == sent; }));
    RunFor(loop, 40);
    loop.RemoveTimer(reader);
    EXPECT_EQ(rec.Count(FD_WRITE), 2);
    EXPECT_EQ(drained, sent);
}

TEST(WriteEvents, SelectingWriteAgainOwesAnotherWriteEvent) {
    EventLoop loop;
    auto [client, server] = test::MakeTcpPair();
    Recorder rec;
    ASSERT_EQ(loop.AsyncSelect(server.get(), &rec, Message::Data, FD_READ | FD_CLOSE), 0);
    RunFor(loop, 30);
    EXPECT_EQ(rec.Count(FD_WRITE), 0) << "FD_WRITE delivered although not selected";
    ASSERT_EQ(loop.AsyncSelect(server.get(), &rec, Message::Data, kControl), 0);
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_WRITE) == 1; }));
    ASSERT_EQ(loop.AsyncSelect(server.get(), &rec, Message::Data, kControl), 0);
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_WRITE) == 2; }));
    RunFor(loop, 30);
    EXPECT_EQ(rec.Count(FD_WRITE), 2);
    EXPECT_EQ(rec.Last(FD_WRITE)->msg, Message::Data);
}

TEST(AcceptEvents, ComeWhileConnectionsWaitAndAcceptedSocketsAreNonBlocking) {
    EventLoop loop;
    uint16_t port = 0;
    Fd listener = test::MakeListener(&port);
    Recorder rec;
    std::vector<Fd> accepted;
    rec.onEvent = [&](const test::Event& e) {
        if (e.event != FD_ACCEPT) return;
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        int err = 0;
        const Socket s = loop.Accept(e.s, reinterpret_cast<sockaddr*>(&peer), &len, &err);
        if (s != INVALID_SOCKET) accepted.emplace_back(s);
    };
    ASSERT_EQ(loop.AsyncSelect(listener.get(), &rec, Message::Accept, FD_ACCEPT | FD_CLOSE), 0);
    std::vector<Fd> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(test::ConnectTo(port));
    ASSERT_TRUE(RunUntil(loop, [&] { return accepted.size() == 3; }));
    RunFor(loop, 30);
    EXPECT_EQ(rec.Count(FD_ACCEPT), 3);
    EXPECT_EQ(rec.Count(FD_CLOSE), 0);
    EXPECT_EQ(rec.events.front().msg, Message::Accept);
    for (const Fd& s : accepted) {
        EXPECT_NE(fcntl(s.get(), F_GETFL) & O_NONBLOCK, 0);
        EXPECT_NE(fcntl(s.get(), F_GETFD) & FD_CLOEXEC, 0);
    }
    // Nothing waits any more: Accept reports would-block.
    int err = 0;
    EXPECT_EQ(loop.Accept(listener.get(), nullptr, nullptr, &err), INVALID_SOCKET);
    EXPECT_EQ(err, WSAEWOULDBLOCK);
}

TEST(AcceptEvents, SelectingAListenerWithWaitingConnectionsReportsThemAtOnce) {
    EventLoop loop;
    uint16_t port = 0;
    Fd listener = test::MakeListener(&port);
    Fd client = test::ConnectTo(port);
    Recorder rec;
    rec.onEvent = [&](const test::Event& e) {
        int err = 0;
        const Socket s = loop.Accept(e.s, nullptr, nullptr, &err);
        if (s != INVALID_SOCKET) ::close(s);
    };
    ASSERT_EQ(loop.AsyncSelect(listener.get(), &rec, Message::Accept, FD_ACCEPT), 0);
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_ACCEPT) == 1; }));
}

TEST(AcceptEvents, PassiveSocketSelectedBeforeListenReportsItsConnection) {
    EventLoop loop;
    Fd passive(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(passive.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(::getsockname(passive.get(), reinterpret_cast<sockaddr*>(&a), &len), 0);
    Recorder rec;
    ASSERT_EQ(loop.AsyncSelect(passive.get(), &rec, Message::Data, FD_ACCEPT), 0);
    RunFor(loop, 10);
    EXPECT_TRUE(rec.events.empty()) << "a socket that is not listening yet reported something";
    ASSERT_EQ(::listen(passive.get(), 1), 0);
    Fd client = test::ConnectTo(ntohs(a.sin_port));
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_ACCEPT) >= 1; }));
    EXPECT_EQ(rec.events[0].msg, Message::Data);
    int err = 0;
    Fd accepted(loop.Accept(passive.get(), nullptr, nullptr, &err));
    EXPECT_GE(accepted.get(), 0);
}

TEST(AcceptEvents, AcceptFailingForLackOfDescriptorsDoesNotSpin) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer runtime opens files of its own while checking, which it
    // cannot do with no descriptor left; the plain build runs this test.
    GTEST_SKIP() << "needs free descriptors under the sanitizers";
#endif
    EventLoop loop;
    uint16_t port = 0;
    Fd listener = test::MakeListener(&port);
    Fd first = test::ConnectTo(port);
    Recorder rec;
    std::vector<Fd> accepted;
    std::vector<int> errors;
    rec.onEvent = [&](const test::Event& e) {
        int err = 0;
        Socket s;
        while ((s = loop.Accept(e.s, nullptr, nullptr, &err)) != INVALID_SOCKET) accepted.emplace_back(s);
        errors.push_back(err);
    };
    ASSERT_EQ(loop.AsyncSelect(listener.get(), &rec, Message::Accept, FD_ACCEPT), 0);

    // No descriptor left: the lowest free number is the limit.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const bool got = RunUntil(loop, [&] { return !errors.empty(); });
    RunFor(loop, 40);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_TRUE(got);
    EXPECT_EQ(errors.size(), 1u) << "FD_ACCEPT repeated although accepting cannot succeed";
    EXPECT_EQ(errors[0], WSAEMFILE);
    EXPECT_TRUE(accepted.empty());

    // The next connection brings FD_ACCEPT back; both waiting ones are taken.
    Fd second = test::ConnectTo(port);
    ASSERT_TRUE(RunUntil(loop, [&] { return accepted.size() == 2; }));
    EXPECT_EQ(errors.back(), WSAEWOULDBLOCK);
}

// Data connections select before they connect; the connect completes later.
Fd NonBlockingSocket() {
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    test::SetNonBlocking(s.get());
    return s;
}

int ConnectLoopback(int s, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
}

TEST(ConnectEvents, SuccessGivesConnectThenWrite) {
    EventLoop loop;
    uint16_t port = 0;
    Fd listener = test::MakeListener(&port);
    Fd s = NonBlockingSocket();
    Recorder rec;
    ASSERT_EQ(loop.AsyncSelect(s.get(), &rec, Message::Data, FD_CONNECT | kControl), 0);
    const int rc = ConnectLoopback(s.get(), port);
    ASSERT_TRUE(rc == 0 || rc == EINPROGRESS) << rc;
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_WRITE) == 1; }));
    RunFor(loop, 30);
    ASSERT_EQ(Kinds(rec), (std::vector<uint32_t>{FD_CONNECT, FD_WRITE}));
    EXPECT_EQ(rec.events[0].error, 0);
    EXPECT_EQ(rec.events[0].msg, Message::Data);
}

TEST(ConnectEvents, RefusedGivesConnectWithConnRefusedAndNothingElse) {
    EventLoop loop;
    const uint16_t port = test::UnusedPort();
    Fd s = NonBlockingSocket();
    Recorder rec;
    ASSERT_EQ(loop.AsyncSelect(s.get(), &rec, Message::Data, FD_CONNECT | kControl), 0);
    const int rc = ConnectLoopback(s.get(), port);
    if (rc == ECONNREFUSED) GTEST_SKIP() << "connect failed synchronously";
    ASSERT_EQ(rc, EINPROGRESS);
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_CONNECT) == 1; }));
    RunFor(loop, 30);
    ASSERT_EQ(rec.events.size(), 1u);
    EXPECT_EQ(rec.events[0].error, WSAECONNREFUSED);
}

TEST(SelectionChanges, DeselectInsideHandlerSuppressesPendingEvents) {
    EventLoop loop;
    auto [c1, s1] = test::MakeTcpPair();
    auto [c2, s2] = test::MakeTcpPair();
    Recorder rec;
    rec.onEvent = [&](const test::Event&) {
        // Both sockets had data when this turn began; the first handler
        // withdraws both.
        loop.AsyncSelect(s1.get(), &rec, Message::Command, 0);
        loop.AsyncSelect(s2.get(), nullptr, Message::Command, FD_READ);
    };
    ASSERT_EQ(loop.AsyncSelect(s1.get(), &rec, Message::Command, FD_READ | FD_CLOSE), 0);
    ASSERT_EQ(loop.AsyncSelect(s2.get(), &rec, Message::Command, FD_READ | FD_CLOSE), 0);
    test::WriteAll(c1.get(), "1");
    test::WriteAll(c2.get(), "2");
    c1.reset();
    c2.reset();
    ASSERT_TRUE(RunUntil(loop, [&] { return !rec.events.empty(); }));
    RunFor(loop, 40);
    EXPECT_EQ(rec.events.size(), 1u);
}

TEST(SelectionChanges, ReselectingInsideHandlerChangesWhatComesNext) {
    EventLoop loop;
    auto [client, server] = test::MakeTcpPair();
    Recorder rec;
    Recorder other;
    rec.onEvent = [&](const test::Event& e) {
        if (e.event == FD_READ) loop.AsyncSelect(e.s, &other, Message::Data, FD_WRITE | FD_CLOSE);
    };
    ASSERT_EQ(loop.AsyncSelect(server.get(), &rec, Message::Command, FD_READ | FD_CLOSE), 0);
    test::WriteAll(client.get(), "unread");
    ASSERT_TRUE(RunUntil(loop, [&] { return other.Count(FD_WRITE) == 1; }));
    client.reset();
    ASSERT_TRUE(RunUntil(loop, [&] { return other.Count(FD_CLOSE) == 1; }));
    RunFor(loop, 30);
    EXPECT_EQ(rec.events.size(), 1u);
    EXPECT_EQ(other.Count(FD_READ), 0);
    EXPECT_EQ(other.Last(FD_CLOSE)->msg, Message::Data);
}

TEST(SelectionChanges, CloseInsideHandlerAndHandleReuseGetNoStaleEvents) {
    for (const bool deselectFirst : {true, false}) {
        SCOPED_TRACE(deselectFirst ? "deselected before close" : "closed while selected");
        EventLoop loop;
        auto [clientA, serverA] = test::MakeTcpPair();
        auto [clientB, serverB] = test::MakeTcpPair();
        const int handle = serverA.get();
        Recorder recA;
        Recorder recB;
        ASSERT_EQ(loop.AsyncSelect(handle, &recA, Message::Command, kControl), 0);
        ASSERT_TRUE(RunUntil(loop, [&] { return recA.Count(FD_WRITE) == 1; }));
        // Data and a close are waiting for A when its handle is closed and
        // given to socket B, which is selected under the same number.
        test::WriteAll(clientA.get(), "for A only");
        clientA.reset();
        loop.Post([&] {
            if (deselectFirst) {
                loop.CloseSocket(serverA.release());
            } else {
                ::close(serverA.release());
            }
            ASSERT_EQ(::dup2(serverB.get(), handle), handle);
            serverB.reset(handle);
            loop.AsyncSelect(handle, &recB, Message::Command, FD_READ | FD_CLOSE);
        });
        RunFor(loop, 60);
        EXPECT_EQ(recA.events.size(), 1u);
        EXPECT_TRUE(recB.events.empty()) << "an event of the closed socket reached its successor";
        test::WriteAll(clientB.get(), "for B");
        ASSERT_TRUE(RunUntil(loop, [&] { return recB.Count(FD_READ) == 1; }));
    }
}

// A target that ends its own life from inside its handler.
class SelfDestroying : public IEventTarget {
public:
    SelfDestroying(EventLoop& loop, int* calls) : loop_(loop), calls_(calls) {}
    void OnSocketEvent(Message, Socket, uint32_t, int) override {
        ++*calls_;
        loop_.ForgetTarget(this);
        delete this;
    }
    void OnLookupDone(int, int, const std::string&) override { ++*calls_; }

private:
    EventLoop& loop_;
    int* calls_;
};

TEST(SelectionChanges, TargetDestroyedInsideItsHandlerGetsNothingMore) {
    EventLoop loop;
    auto [c1, s1] = test::MakeTcpPair();
    auto [c2, s2] = test::MakeTcpPair();
    int calls = 0;
    auto* target = new SelfDestroying(loop, &calls);
    ASSERT_EQ(loop.AsyncSelect(s1.get(), target, Message::Command, FD_READ), 0);
    ASSERT_EQ(loop.AsyncSelect(s2.get(), target, Message::Command, FD_READ), 0);
    test::WriteAll(c1.get(), "a");
    test::WriteAll(c2.get(), "b");
    loop.PostEvent(target, Message::Data, s1.get(), FD_WRITE);
    ASSERT_TRUE(RunUntil(loop, [&] { return calls > 0; }));
    RunFor(loop, 40);
    EXPECT_EQ(calls, 1);
}

TEST(PipeEvents, ReadEndReportsDataThenTheWritersClose) {
    EventLoop loop;
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    Fd readEnd(fds[0]);
    Fd writeEnd(fds[1]);
    Recorder rec;
    std::string got;
    rec.onEvent = [&](const test::Event& e) {
        if (e.event != FD_READ) return;
        char buf[16];
        int err = 0;
        const long n = loop.Recv(e.s, buf, sizeof buf, &err);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    };
    ASSERT_EQ(loop.AsyncSelect(readEnd.get(), &rec, Message::Data, FD_READ | FD_CLOSE), 0);
    test::WriteAll(writeEnd.get(), "output");
    ASSERT_TRUE(RunUntil(loop, [&] { return got == "output"; }));
    writeEnd.reset();
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.Count(FD_CLOSE) == 1; }));
    EXPECT_EQ(rec.Last(FD_CLOSE)->error, 0);
}

TEST(Scale, ThousandsOfIdleSocketsOnlyTheActiveOnesReport) {
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    const rlim_t needed = 4500;
    if (lim.rlim_cur < needed && lim.rlim_max >= needed) {
        rlimit raised = lim;
        raised.rlim_cur = needed;
        setrlimit(RLIMIT_NOFILE, &raised);
    }
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_cur < needed) GTEST_SKIP() << "open-file limit too low";

    EventLoop loop;
    constexpr int kPairs = 2000;
    std::vector<Fd> near;
    std::vector<Fd> far;
    Recorder rec;
    rec.onEvent = [&](const test::Event& e) {
        char buf[8];
        int err = 0;
        loop.Recv(e.s, buf, sizeof buf, &err);
    };
    for (int i = 0; i < kPairs; ++i) {
        int sv[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        near.emplace_back(sv[0]);
        far.emplace_back(sv[1]);
        ASSERT_EQ(loop.AsyncSelect(sv[0], &rec, Message::Command, FD_READ | FD_CLOSE), 0);
    }
    for (int i : {7, 1234, 1999}) test::WriteAll(far[i].get(), "x");
    ASSERT_TRUE(RunUntil(loop, [&] { return rec.events.size() == 3; }));
    RunFor(loop, 30);
    ASSERT_EQ(rec.events.size(), 3u);
    std::vector<int> reported;
    for (const auto& e : rec.events) reported.push_back(e.s);
    std::sort(reported.begin(), reported.end());
    EXPECT_EQ(reported, (std::vector<int>{near[7].get(), near[1234].get(), near[1999].get()}));
}

TEST(SocketCalls, SendAndRecvReportWinsockErrors) {
    EventLoop loop;
    auto [client, server] = test::MakeTcpPair();
    ASSERT_EQ(loop.AsyncSelect(server.get(), nullptr, Message::Command, 0), 0);
    char buf[4];
    int err = 0;
    EXPECT_EQ(loop.Recv(server.get(), buf, sizeof buf, &err), -1);
    EXPECT_EQ(err, WSAEWOULDBLOCK);
    EXPECT_EQ(loop.Send(-1, "x", 1, &err), -1);
    EXPECT_EQ(err, WSAENOTSOCK);
    EXPECT_EQ(loop.AsyncSelect(-1, nullptr, Message::Command, FD_READ), WSAENOTSOCK);

    // Sending to a peer that reset: no SIGPIPE, a Winsock error instead.
    test::SetZeroLinger(client.get());
    client.reset();
    long n = 0;
    for (int i = 0; i < 100 && n >= 0; ++i) n = loop.Send(server.get(), "data", 4, &err);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(err, WSAECONNRESET);
}

TEST(SocketCalls, CloseSocketClosesGracefullyOrWithReset) {
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "graceful");
        EventLoop loop;
        auto [client, server] = test::MakeTcpPair();
        Recorder rec;
        ASSERT_EQ(loop.AsyncSelect(server.get(), &rec, Message::Command, FD_READ | FD_CLOSE), 0);
        EXPECT_EQ(loop.CloseSocket(server.release(), reset), 0);
        RunFor(loop, 30);
        EXPECT_TRUE(rec.events.empty());
        char buf[8];
        errno = 0;
        const ssize_t n = ::recv(client.get(), buf, sizeof buf, 0);
        if (reset) {
            EXPECT_EQ(n, -1);
            EXPECT_EQ(errno, ECONNRESET);
        } else {
            EXPECT_EQ(n, 0);
        }
    }
    EventLoop loop;
    EXPECT_EQ(loop.CloseSocket(-1), WSAENOTSOCK);
}

}  // namespace
}  // namespace orvyn::eventloop
