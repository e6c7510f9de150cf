#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "host_support.h"
#include "platform/service/ControlClient.h"
#include "platform/service/ControlProtocol.h"
#include "platform/service/ControlServer.h"

namespace orvyn::service {
namespace {

using test::TempDir;

TEST(ControlProtocol, Requests) {
    auto q = ParseRequest("QUERY");
    ASSERT_TRUE(q);
    EXPECT_TRUE(q->query);
    auto c = ParseRequest("CONTROL 131");
    ASSERT_TRUE(c);
    EXPECT_FALSE(c->query);
    EXPECT_EQ(c->code, 131u);
    EXPECT_EQ(ParseRequest("CONTROL 255\r")->code, 255u);
    EXPECT_EQ(ParseRequest(FormatControl(7).substr(0, FormatControl(7).size() - 1))->code, 7u);

    for (const char* bad : {"", "query", "QUERY now", "CONTROL", "CONTROL 0", "CONTROL 256", "CONTROL -1",
                            "CONTROL 1x", "CONTROL 4294967297", "CONTROL 1 2", "STOP"}) {
        EXPECT_FALSE(ParseRequest(bad)) << bad;
    }
    EXPECT_FALSE(ParseRequest("CONTROL " + std::string(100, '1')));
}

TEST(ControlProtocol, StatusRoundTripAndBadAnswers) {
    ServiceStatus s;
    s.currentState = SERVICE_STOP_PENDING;
    s.win32ExitCode = 2;
    s.checkPoint = 3;
    s.waitHint = 500;
    s.processId = 4242;
    std::string line = FormatStatus(s);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line, "STATUS 16 3 1 2 3 500 4242\n");
    ServiceStatus back;
    EXPECT_EQ(ParseAnswer(line.substr(0, line.size() - 1), back), ERROR_SUCCESS);
    EXPECT_EQ(back, s);

    EXPECT_EQ(ParseAnswer("ERROR 1062", back), ERROR_SERVICE_NOT_ACTIVE);
    for (const char* bad : {"", "STATUS 16 4 1 0 0 0", "STATUS 16 4 1 0 0 0 1 9", "STATUS a 4 1 0 0 0 1", "ERROR 0",
                            "ERROR x", "HELLO"}) {
        EXPECT_EQ(ParseAnswer(bad, back), ERROR_INVALID_PARAMETER) << bad;
    }
    EXPECT_EQ(back, s);  // failed parses leave the record alone
}

// A server whose handler records the codes it is given.
struct RecordingServer {
    explicit RecordingServer(const std::string& path)
        : server(
              path,
              [this] { return status; },
              [this](uint32_t code) {
                  codes.push_back(code);
                  status.checkPoint = code;
                  return status;
              }) {
        status.currentState = SERVICE_RUNNING;
        status.processId = static_cast<uint32_t>(::getpid());
    }
    ServiceStatus status;
    std::vector<uint32_t> codes;  // touched by the server thread while a request runs
    ControlServer server;
};

TEST(ControlSocket, QueryAndControlThroughTheSocket) {
    TempDir dir;
    const std::string path = dir / "run/sub/ORVYN Pro.ctl";
    RecordingServer rec(path);
    ASSERT_EQ(rec.server.Start(), ERROR_SUCCESS);

    struct stat st{};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ServiceStatus got;
    ASSERT_EQ(SendControlRequest(path, FormatQuery(), got), ERROR_SUCCESS);
    EXPECT_EQ(got.currentState, SERVICE_RUNNING);
    EXPECT_EQ(got.processId, static_cast<uint32_t>(::getpid()));

    ASSERT_EQ(SendControlRequest(path, FormatControl(131), got), ERROR_SUCCESS);
    EXPECT_EQ(got.checkPoint, 131u);
    ASSERT_EQ(SendControlRequest(path, FormatControl(1), got), ERROR_SUCCESS);
    EXPECT_EQ(got.checkPoint, 1u);

    // Malformed requests reach no handler.
    EXPECT_EQ(SendControlRequest(path, "CONTROL 0\n", got), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SendControlRequest(path, "REBOOT\n", got), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SendControlRequest(path, std::string(500, 'Q') + "\n", got), ERROR_INVALID_PARAMETER);

    rec.server.Stop();
    EXPECT_EQ(rec.codes, (std::vector<uint32_t>{131, 1}));
    EXPECT_NE(::lstat(path.c_str(), &st), 0) << "the socket file is removed on stop";
    EXPECT_EQ(SendControlRequest(path, FormatQuery(), got), ERROR_SERVICE_NOT_ACTIVE);
}

TEST(ControlSocket, ClientThatSendsNothingDoesNotBlockOthersForever) {
    TempDir dir;
    const std::string path = dir / "x.ctl";
    RecordingServer rec(path);
    ASSERT_EQ(rec.server.Start(), ERROR_SUCCESS);

    int idle = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(::connect(idle, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    // The server drops the silent client after its request time-out and then answers.
    ServiceStatus got;
    EXPECT_EQ(SendControlRequest(path, FormatQuery(), got, 10000), ERROR_SUCCESS);
    EXPECT_EQ(got.currentState, SERVICE_RUNNING);
    ::close(idle);
}

TEST(ControlSocket, StaleSocketIsReplacedLiveOneIsNot) {
    TempDir dir;
    const std::string path = dir / "svc.ctl";
    {
        // A socket file nobody listens on, as a crashed service leaves it.
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        ::close(fd);
    }
    ServiceStatus got;
    EXPECT_EQ(SendControlRequest(path, FormatQuery(), got), ERROR_SERVICE_NOT_ACTIVE);

    RecordingServer first(path);
    ASSERT_EQ(first.server.Start(), ERROR_SUCCESS);
    RecordingServer second(path);
    EXPECT_EQ(second.server.Start(), ERROR_SERVICE_ALREADY_RUNNING);
    second.server.Stop();  // must not remove the socket of the first
    EXPECT_EQ(SendControlRequest(path, FormatQuery(), got), ERROR_SUCCESS);
}

TEST(ControlSocket, ForeignFilesAreNeitherTrustedNorReplaced) {
    TempDir dir;
    const std::string path = dir / "svc.ctl";
    test::WriteFile(path, "not a socket");
    ServiceStatus got;
    EXPECT_EQ(SendControlRequest(path, FormatQuery(), got), ERROR_ACCESS_DENIED);
    RecordingServer rec(path);
    EXPECT_EQ(rec.server.Start(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(test::ReadFile(path), "not a socket");

    EXPECT_EQ(SendControlRequest(dir / std::string(200, 'n'), FormatQuery(), got), ERROR_FILENAME_EXCED_RANGE);
    RecordingServer longPath(dir / std::string(200, 'n'));
    EXPECT_EQ(longPath.server.Start(), ERROR_FILENAME_EXCED_RANGE);
}

}  // namespace
}  // namespace orvyn::service
