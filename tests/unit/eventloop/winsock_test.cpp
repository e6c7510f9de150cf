// Winsock error numbers derived from errno and resolver results, and the
// message kind names.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>

#include "eventloop_support.h"
#include "platform/eventloop/EventLoop.h"
#include "platform/eventloop/ReverseResolver.h"
#include "platform/eventloop/Winsock.h"

namespace orvyn::eventloop {
namespace {

TEST(WsaFromErrno, MapsSocketErrorsToTheirWinsockNumbers) {
    const std::pair<int, int> cases[] = {
        {0, 0},
        {EWOULDBLOCK, 10035},  {EAGAIN, 10035},        {ECONNREFUSED, 10061}, {ECONNRESET, 10054},
        {EPIPE, 10054},        {EADDRINUSE, 10048},    {EADDRNOTAVAIL, 10049}, {EACCES, 10013},
        {EPERM, 10013},        {EMFILE, 10024},        {ENFILE, 10024},       {ENOBUFS, 10055},
        {ENOMEM, 10055},       {EAFNOSUPPORT, 10047},  {EINVAL, 10022},       {ENOTSOCK, 10038},
        {EBADF, 10038},        {ETIMEDOUT, 10060},     {ENETUNREACH, 10051},  {EHOSTUNREACH, 10065},
        {EINPROGRESS, 10036},  {EALREADY, 10037},      {EISCONN, 10056},      {ENOTCONN, 10057},
        {ECONNABORTED, 10053}, {EINTR, 10004},         {EFAULT, 10014},       {EPROTONOSUPPORT, 10043},
        {EPROTOTYPE, 10041},   {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045}, {ENAMETOOLONG, 10063},
        {ENETDOWN, 10050},     {ENETRESET, 10052},     {EMSGSIZE, 10040},     {ENOPROTOOPT, 10042},
        {EDESTADDRREQ, 10039}, {ESHUTDOWN, 10058},     {EHOSTDOWN, 10064},    {ELOOP, 10062},
        {EPFNOSUPPORT, 10046}, {ETOOMANYREFS, 10059},
    };
    for (const auto& [err, wsa] : cases) EXPECT_EQ(WsaFromErrno(err), wsa) << "errno " << err;
}

TEST(WsaFromErrno, UnknownValuesGetTheDocumentedFallbackNeverAnInventedNumber) {
    EXPECT_EQ(WsaFromErrno(ENOENT), WSASYSCALLFAILURE);
    EXPECT_EQ(WsaFromErrno(EIO), WSASYSCALLFAILURE);
    EXPECT_EQ(WsaFromErrno(-1), WSASYSCALLFAILURE);
    EXPECT_EQ(WsaFromErrno(99999), WSASYSCALLFAILURE);
    const std::set<int> known = {
        0, WSAEINTR, WSAEBADF, WSAEACCES, WSAEFAULT, WSAEINVAL, WSAEMFILE, WSAEWOULDBLOCK,
        WSAEINPROGRESS, WSAEALREADY, WSAENOTSOCK, WSAEDESTADDRREQ, WSAEMSGSIZE, WSAEPROTOTYPE,
        WSAENOPROTOOPT, WSAEPROTONOSUPPORT, WSAESOCKTNOSUPPORT, WSAEOPNOTSUPP, WSAEPFNOSUPPORT,
        WSAEAFNOSUPPORT, WSAEADDRINUSE, WSAEADDRNOTAVAIL, WSAENETDOWN, WSAENETUNREACH, WSAENETRESET,
        WSAECONNABORTED, WSAECONNRESET, WSAENOBUFS, WSAEISCONN, WSAENOTCONN, WSAESHUTDOWN,
        WSAETOOMANYREFS, WSAETIMEDOUT, WSAECONNREFUSED, WSAELOOP, WSAENAMETOOLONG, WSAEHOSTDOWN,
        WSAEHOSTUNREACH, WSAEUSERS, WSAEDQUOT, WSAESTALE, WSAEREMOTE, WSASYSCALLFAILURE,
    };
    for (int err = 0; err < 200; ++err) {
        EXPECT_EQ(known.count(WsaFromErrno(err)), 1u) << "errno " << err << " -> " << WsaFromErrno(err);
    }
}

TEST(WsaFromErrno, RealBindConflictReportsAddressInUse) {
    uint16_t port = 0;
    test::Fd first = test::MakeListener(&port);
    test::Fd second(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_NE(::bind(second.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(WsaFromErrno(errno), WSAEADDRINUSE);
}

TEST(WsaFromGai, MapsResolverResults) {
    EXPECT_EQ(WsaFromGai(0), 0);
    EXPECT_EQ(WsaFromGai(EAI_NONAME), WSAHOST_NOT_FOUND);
    EXPECT_EQ(WsaFromGai(EAI_AGAIN), WSATRY_AGAIN);
    EXPECT_EQ(WsaFromGai(EAI_FAIL), WSANO_RECOVERY);
    EXPECT_EQ(WsaFromGai(EAI_SERVICE), WSATYPE_NOT_FOUND);
    EXPECT_EQ(WsaFromGai(EAI_FAMILY), WSAEAFNOSUPPORT);
    errno = EMFILE;
    EXPECT_EQ(WsaFromGai(EAI_SYSTEM), WSAEMFILE);
    // A text that is no numeric address, resolved without any name server.
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* res = nullptr;
    const int rc = getaddrinfo("not-an-address", nullptr, &hints, &res);
    if (res != nullptr) freeaddrinfo(res);
    EXPECT_EQ(WsaFromGai(rc), WSAHOST_NOT_FOUND);
}

TEST(ReverseResolverNames, OnlyPrintableBoundedNamesAreHandedOn) {
    EXPECT_TRUE(ReverseResolver::IsAcceptableName("host.example.org"));
    EXPECT_TRUE(ReverseResolver::IsAcceptableName(std::string(255, 'a').c_str()));
    EXPECT_FALSE(ReverseResolver::IsAcceptableName(std::string(256, 'a').c_str()));
    EXPECT_FALSE(ReverseResolver::IsAcceptableName(""));
    EXPECT_FALSE(ReverseResolver::IsAcceptableName(nullptr));
    EXPECT_FALSE(ReverseResolver::IsAcceptableName("two words"));
    EXPECT_FALSE(ReverseResolver::IsAcceptableName("evil\r\n220 fake"));
    EXPECT_FALSE(ReverseResolver::IsAcceptableName("\x1b[31mred"));
    EXPECT_FALSE(ReverseResolver::IsAcceptableName("caf\xc3\xa9"));
}

TEST(MessageNames, AreTheRegisteredNames) {
    EXPECT_STREQ(MessageName(Message::Accept), "ORVYN Accept");
    EXPECT_STREQ(MessageName(Message::Command), "ORVYN Command");
    EXPECT_STREQ(MessageName(Message::Data), "ORVYN Data");
    EXPECT_STREQ(MessageName(Message::Async), "ORVYN Async");
}

}  // namespace
}  // namespace orvyn::eventloop
