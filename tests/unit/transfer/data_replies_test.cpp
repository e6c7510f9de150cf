// Winsock error texts, connect-failure replies, the 150 replies by transfer
// kind and the socket set-up of data connections.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/eventloop/EventLoop.h"
#include "service/transfer/data/DataAddress.h"
#include "service/transfer/data/SocketTuning.h"
#include "service/transfer/data/TransferKind.h"
#include "service/transfer/data/WinsockText.h"

namespace orvyn {
namespace {

using namespace eventloop;

TEST(WinsockText, KnownCodesHaveTheirTexts) {
    EXPECT_STREQ(WinsockErrorText(0), "[0] No Error");
    EXPECT_STREQ(WinsockErrorText(10061), "[10061] Connection refused");
    EXPECT_STREQ(WinsockErrorText(10048), "[10048] Address already in use");
    EXPECT_STREQ(WinsockErrorText(10065), "[10065] No Route to Host");
    EXPECT_STREQ(WinsockErrorText(10093), "[10093] Successful WSASTARTUP not yet performed");
    EXPECT_STREQ(WinsockErrorText(11004), "[11004] Valid name, no data record of requested  \ntype");
    EXPECT_EQ(WinsockErrorText(10072), nullptr);
    EXPECT_EQ(WinsockErrorText(10107), nullptr);
    EXPECT_EQ(WinsockErrorText(-1), nullptr);

    int count = 0;
    for (int code = 0; code < 12000; ++code) {
        const char* text = WinsockErrorText(code);
        if (text == nullptr) continue;
        ++count;
        // Every text starts with its own code in square brackets.
        EXPECT_EQ(std::string(text).rfind("[" + std::to_string(code) + "] ", 0), 0u) << text;
    }
    EXPECT_EQ(count, 51);
}

TEST(WinsockText, ConnectFailureReplies) {
    ConnectFailureReport r = DescribeConnectFailure(10061);
    EXPECT_EQ(r.reply, "425 Unable to open data connection - error=[10061] Connection refused");
    EXPECT_EQ(r.warning, "Winsock error \"[10061] Connection refused\" during connect.");

    r = DescribeConnectFailure(10107);
    EXPECT_EQ(r.reply, "425 Unable to open data connection - unkown error '10107'");
    EXPECT_EQ(r.warning, "Unknown Winsock error 10107 during connect.");

    r = DescribeConnectFailure(2);
    EXPECT_EQ(r.reply, "451 Could not open local file.");
    EXPECT_EQ(r.warning, "Non-winsock (i.e. file) error 2 during connect.");
    EXPECT_EQ(DescribeConnectFailure(10000).reply, "451 Could not open local file.");

    // The one text with a line break still makes a one-line reply.
    r = DescribeConnectFailure(11004);
    EXPECT_EQ(r.reply.find('\n'), std::string::npos);
    EXPECT_EQ(r.reply, "425 Unable to open data connection - error=[11004] Valid name, no data record of requested   type");
}

TEST(TransferKind, StartRepliesAndEvents) {
    StartReplyInput in;
    in.kind = DataState::SendFile;
    in.imageType = true;
    in.clientName = "/pub/a.bin";
    in.bytesToSend = 5000000000ull;
    EXPECT_EQ(StartReplyText(in), "150 \"/pub/a.bin\" file ready to send (5000000000 bytes) in IMAGE / Binary mode");
    in.bytesToSend.reset();
    in.imageType = false;
    EXPECT_EQ(StartReplyText(in), "150 \"/pub/a.bin\" file ready to send (unknown size) in ASCII mode");
    EXPECT_EQ(StartEvents(DataState::SendFile), FD_READ | FD_WRITE | FD_CLOSE);

    in.kind = DataState::SendListing;
    EXPECT_EQ(StartReplyText(in), "150 File Listing Follows in ASCII mode.");
    EXPECT_EQ(StartEvents(DataState::SendListing), 0u);
    in.kind = DataState::SendMachineListing;
    EXPECT_EQ(StartReplyText(in), "150 File Listing Follows in IMAGE / Binary mode.");
    EXPECT_EQ(StartEvents(DataState::SendMachineListing), FD_CLOSE);

    in.kind = DataState::ReceiveFile;
    EXPECT_EQ(StartReplyText(in), "150 \"/pub/a.bin\" file ready to receive in ASCII mode");
    EXPECT_EQ(StartEvents(DataState::ReceiveFile), FD_READ | FD_CLOSE);
    in.kind = DataState::ReceiveUniqueFile;
    EXPECT_EQ(StartReplyText(in), "150 FILE: /pub/a.bin");
    EXPECT_EQ(StartEvents(DataState::ReceiveUniqueFile), FD_READ | FD_CLOSE);

    in.kind = DataState::PassiveListening;
    EXPECT_EQ(StartReplyText(in), "");

    // Names are cut at 256 bytes, as "%.256s" cuts them.
    const std::string longName(300, 'n');
    in.kind = DataState::ReceiveUniqueFile;
    in.clientName = longName;
    EXPECT_EQ(StartReplyText(in), "150 FILE: " + std::string(256, 'n'));
}

TEST(ActivePort, PrefersThePortBelowTheControlPort) {
    std::vector<int> tried;
    auto bindOk = [&](int port) {
        tried.push_back(port);
        return 0;
    };
    EXPECT_EQ(BindActivePort(21, bindOk), 0);
    EXPECT_EQ(tried, std::vector<int>({20}));
}

TEST(ActivePort, FallsBackToAnyPortWhenRefusedOrTaken) {
    for (int refusal : {WSAEACCES, WSAEADDRINUSE}) {
        std::vector<int> tried;
        auto bind = [&](int port) {
            tried.push_back(port);
            return port == 0 ? 0 : refusal;
        };
        EXPECT_EQ(BindActivePort(21, bind), 0);
        EXPECT_EQ(tried, std::vector<int>({20, 0}));
    }
    // Other errors are reported as they are.
    std::vector<int> tried;
    auto bind = [&](int port) {
        tried.push_back(port);
        return WSAEADDRNOTAVAIL;
    };
    EXPECT_EQ(BindActivePort(2121, bind), WSAEADDRNOTAVAIL);
    EXPECT_EQ(tried, std::vector<int>({2120}));
}

TEST(ActivePort, BindsARealSocketOnLoopback) {
    // A listener stands in for the control port; the data socket gets the
    // port below it (or any port, should that one be busy).
    const int control = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(control, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(control, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
    socklen_t len = sizeof sin;
    ASSERT_EQ(getsockname(control, reinterpret_cast<sockaddr*>(&sin), &len), 0);
    const int controlPort = ntohs(sin.sin_port);
    ASSERT_GT(controlPort, 1025);

    const int data = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(data, 0);
    ASSERT_EQ(BindActiveDataSocket(data, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
    sockaddr_in bound{};
    len = sizeof bound;
    ASSERT_EQ(getsockname(data, reinterpret_cast<sockaddr*>(&bound), &len), 0);
    EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_NE(ntohs(bound.sin_port), 0);
    int reuse = 0;
    len = sizeof reuse;
    ASSERT_EQ(getsockopt(data, SOL_SOCKET, SO_REUSEADDR, &reuse, &len), 0);
    EXPECT_EQ(reuse, 1);
    close(data);
    close(control);
}

TEST(SocketBuffers, RaisedOnlyWhenSmaller) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    int small = 4096;
    ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    int before = 0;
    socklen_t len = sizeof before;
    getsockopt(s, SOL_SOCKET, SO_SNDBUF, &before, &len);
    ASSERT_EQ(RaiseSocketBuffer(s, SO_SNDBUF, before + 65536), 0);
    int after = 0;
    getsockopt(s, SOL_SOCKET, SO_SNDBUF, &after, &len);
    EXPECT_GT(after, before);
    // A larger buffer stays as it is.
    ASSERT_EQ(RaiseSocketBuffer(s, SO_SNDBUF, 1024), 0);
    int again = 0;
    getsockopt(s, SOL_SOCKET, SO_SNDBUF, &again, &len);
    EXPECT_EQ(again, after);
    close(s);
    EXPECT_NE(RaiseSocketBuffer(s, SO_SNDBUF, 8192), 0);  // a closed socket is an error, not success
}

}  // namespace
}  // namespace orvyn
