#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/eventloop/Winsock.h"
#include "service/core/server/ListenAddress.h"

namespace orvyn {
namespace {

namespace ws = eventloop;

struct LogLine {
    int conn;
    char category;
    std::string text;
};

class RecordingLog : public ILogSink {
public:
    std::vector<LogLine> lines;
    void LogV(int conn, char category, const char* format, va_list ap) override {
        char buf[2048];
        std::vsnprintf(buf, sizeof buf, format, ap);
        lines.push_back({conn, category, buf});
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> t;
        for (const auto& l : lines) t.push_back(l.text);
        return t;
    }
};

// Service lookups answered from a table; unknown names give a set error.
class FakeServices : public IServiceLookup {
public:
    std::map<std::string, int> ports{{"ftp", 21}, {"ftps", 990}, {"myservice", 4021}};
    int failure = ws::WSANO_DATA;
    std::vector<std::string> asked;
    int Lookup(const std::string& name, int* port) override {
        asked.push_back(name);
        auto it = ports.find(name);
        if (it == ports.end()) return failure;
        *port = it->second;
        return 0;
    }
};

reg::Value Sz(const std::string& s, uint32_t type = reg::REG_SZ) {
    reg::Value v;
    v.type = type;
    v.data = reg::StringData(s);
    return v;
}
reg::Value Dword(uint32_t n) {
    reg::Value v;
    v.type = reg::REG_DWORD;
    v.data = reg::DwordData(n);
    return v;
}
reg::Value DwordBe(uint32_t n) {
    reg::Value v;
    v.type = reg::REG_DWORD_BIG_ENDIAN;
    v.data = reg::DwordBigEndianData(n);
    return v;
}
reg::Value Raw(uint32_t type, std::vector<uint8_t> data) {
    reg::Value v;
    v.type = type;
    v.data = std::move(data);
    return v;
}

std::string Text(const ListenAddress& a) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (a.addr.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&a.addr)->sin_addr, buf, sizeof buf);
    else if (a.addr.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&a.addr)->sin6_addr, buf, sizeof buf);
    return buf;
}
int SockPort(const ListenAddress& a) {
    if (a.addr.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&a.addr)->sin_port);
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&a.addr)->sin6_port);
}

TEST(ValueForms, Enabled) {
    EXPECT_TRUE(IsEnabledValue(nullptr));
    for (const char* off : {"no", "No", "N", "0", "0x1", "nope"}) {
        const reg::Value v = Sz(off);
        EXPECT_FALSE(IsEnabledValue(&v)) << off;
    }
    for (const char* on : {"yes", "1", "Y", "true", ""}) {
        const reg::Value v = Sz(on);
        EXPECT_TRUE(IsEnabledValue(&v)) << on;
    }
    const reg::Value expandOff = Sz("no", reg::REG_EXPAND_SZ);
    EXPECT_FALSE(IsEnabledValue(&expandOff));
    const reg::Value d0 = Dword(0), d5 = Dword(5), be0 = DwordBe(0), be1 = DwordBe(1);
    EXPECT_FALSE(IsEnabledValue(&d0));
    EXPECT_TRUE(IsEnabledValue(&d5));
    EXPECT_FALSE(IsEnabledValue(&be0));
    EXPECT_TRUE(IsEnabledValue(&be1));
    // Only the zero DWORD disables: 0x100 has a zero low byte but is not 0.
    const reg::Value d256 = Dword(256);
    EXPECT_TRUE(IsEnabledValue(&d256));
    const reg::Value bin = Raw(reg::REG_BINARY, {0, 0, 0, 0});
    EXPECT_TRUE(IsEnabledValue(&bin));
}

TEST(ValueForms, Port) {
    EXPECT_EQ(PortValueText(nullptr), "ftp");
    const reg::Value sz = Sz("2121"), name = Sz("myservice"), d = Dword(2121), be = DwordBe(2121);
    EXPECT_EQ(PortValueText(&sz), "2121");
    EXPECT_EQ(PortValueText(&name), "myservice");
    EXPECT_EQ(PortValueText(&d), "2121");
    EXPECT_EQ(PortValueText(&be), "2121");
    const reg::Value big = Dword(0xFFFFFFFFu);
    EXPECT_EQ(PortValueText(&big), "4294967295");
    const reg::Value bin = Raw(reg::REG_BINARY, {1, 2}), shortDword = Raw(reg::REG_DWORD, {1, 2});
    EXPECT_EQ(PortValueText(&bin), "ftp");
    EXPECT_EQ(PortValueText(&shortDword), "ftp");
    // String data without its NUL, and with text after a NUL.
    const reg::Value noNul = Raw(reg::REG_SZ, {'2', '1', '2', '2'});
    const reg::Value afterNul = Raw(reg::REG_SZ, {'2', '1', 0, '9'});
    EXPECT_EQ(PortValueText(&noNul), "2122");
    EXPECT_EQ(PortValueText(&afterNul), "21");
    setenv("ORVYN_TEST_PORT", "3131", 1);
    const reg::Value exp = Sz("%ORVYN_TEST_PORT%", reg::REG_EXPAND_SZ);
    const reg::Value plain = Sz("%ORVYN_TEST_PORT%");
    EXPECT_EQ(PortValueText(&exp), "3131");
    EXPECT_EQ(PortValueText(&plain), "%ORVYN_TEST_PORT%");
    unsetenv("ORVYN_TEST_PORT");
}

TEST(ValueForms, Address) {
    EXPECT_EQ(AddressValueText(nullptr), "0.0.0.0");
    const reg::Value sz = Sz("127.0.0.1"), d = Dword(1);
    EXPECT_EQ(AddressValueText(&sz), "127.0.0.1");
    EXPECT_EQ(AddressValueText(&d), "0.0.0.0");
    const reg::Value longText = Sz(std::string(300, '1'));
    EXPECT_EQ(AddressValueText(&longText).size(), 254u);
    setenv("ORVYN_TEST_ADDR", "::1", 1);
    const reg::Value exp = Sz("%ORVYN_TEST_ADDR%", reg::REG_EXPAND_SZ);
    EXPECT_EQ(AddressValueText(&exp), "::1");
    unsetenv("ORVYN_TEST_ADDR");
}

TEST(ValueForms, ExpandEnvironment) {
    setenv("ORVYN_A", "alpha", 1);
    setenv("ORVYN_B", "", 1);
    unsetenv("ORVYN_NOPE");
    EXPECT_EQ(ExpandEnvironment("x%ORVYN_A%y"), "xalphay");
    EXPECT_EQ(ExpandEnvironment("%ORVYN_A%%ORVYN_A%"), "alphaalpha");
    EXPECT_EQ(ExpandEnvironment("[%ORVYN_B%]"), "[]");
    EXPECT_EQ(ExpandEnvironment("%ORVYN_NOPE%"), "%ORVYN_NOPE%");
    EXPECT_EQ(ExpandEnvironment("%ORVYN_NOPE%ORVYN_A%"), "%ORVYN_NOPEalpha");
    EXPECT_EQ(ExpandEnvironment("50%"), "50%");
    EXPECT_EQ(ExpandEnvironment("%%"), "%%");
    EXPECT_EQ(ExpandEnvironment(""), "");
    unsetenv("ORVYN_A");
    unsetenv("ORVYN_B");
}

TEST(ListenAddress, Ipv4WithNumberAndService) {
    FakeServices services;
    RecordingLog log;
    ListenAddress a = ResolveListenAddress("127.0.0.1:2121", &log, services);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.addr.ss_family, AF_INET);
    EXPECT_EQ(a.len, sizeof(sockaddr_in));
    EXPECT_EQ(Text(a), "127.0.0.1");
    EXPECT_EQ(a.port, 2121);
    EXPECT_EQ(SockPort(a), 2121);
    EXPECT_EQ(a.serviceName, "");
    EXPECT_TRUE(services.asked.empty());

    a = ResolveListenAddress("0.0.0.0:myservice", &log, services);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.port, 4021);
    EXPECT_EQ(SockPort(a), 4021);
    EXPECT_EQ(a.serviceName, "myservice");
    EXPECT_TRUE(log.lines.empty());
}

TEST(ListenAddress, EmptyAddressIsAnyAndPortDigitsLead) {
    FakeServices services;
    ListenAddress a = ResolveListenAddress(":21x", nullptr, services);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(Text(a), "0.0.0.0");
    EXPECT_EQ(a.port, 21);
    // Port 0 leaves the choice to the system.
    a = ResolveListenAddress("127.0.0.1:0", nullptr, services);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.port, 0);
    EXPECT_TRUE(services.asked.empty());
}

TEST(ListenAddress, Ipv6SplitAtLastColon) {
    FakeServices services;
    ListenAddress a = ResolveListenAddress("::1:2121", nullptr, services);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.addr.ss_family, AF_INET6);
    EXPECT_EQ(a.len, sizeof(sockaddr_in6));
    EXPECT_EQ(Text(a), "::1");
    EXPECT_EQ(SockPort(a), 2121);
    a = ResolveListenAddress("[2001:db8::5]:ftp", nullptr, services);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(Text(a), "2001:db8::5");
    EXPECT_EQ(a.port, 21);
    a = ResolveListenAddress(":::2121", nullptr, services);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(Text(a), "::");
}

TEST(ListenAddress, BadAddressIsFatal) {
    FakeServices services;
    RecordingLog log;
    const ListenAddress a = ResolveListenAddress("not.an.address:2121", &log, services);
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.fatalError, "Fatal error binding listening socket: WSAEADDRNOTAVAIL - Address is not available "
                            "for me to bind to\nTry not specifying the address.");
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[0].text, "ORVYN - Fatal (bind to ftp)");
    EXPECT_EQ(log.lines[0].category, '!');
    EXPECT_EQ(log.lines[0].conn, -1);
    EXPECT_FALSE(ResolveListenAddress("host.example:21", nullptr, services).ok);  // names are not resolved
}

TEST(ListenAddress, PortOutOfRangeIsFatal) {
    FakeServices services;
    RecordingLog log;
    ListenAddress a = ResolveListenAddress("127.0.0.1:65536", &log, services);
    EXPECT_FALSE(a.ok);
    EXPECT_NE(a.fatalError.find("65536"), std::string::npos);
    EXPECT_EQ(log.lines.size(), 1u);
    a = ResolveListenAddress("127.0.0.1:99999999999999999999999", &log, services);
    EXPECT_FALSE(a.ok);
    a = ResolveListenAddress("127.0.0.1:65535", &log, services);
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.port, 65535);
}

TEST(ListenAddress, LongServiceNameFallsBackToFtp) {
    FakeServices services;
    RecordingLog log;
    const std::string name20 = "abcdefghijklmnopqrst";
    ListenAddress a = ResolveListenAddress("127.0.0.1:" + name20, &log, services);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.serviceName, "ftp");
    EXPECT_EQ(a.port, 21);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].text, "Service name \"abcdefghijklmnopqrst\" too long - defaulting to \"ftp\"");
    EXPECT_EQ(log.lines[0].category, '!');
    EXPECT_EQ(log.lines[0].conn, -1);
    // Nineteen characters are still a name of its own.
    services.ports["abcdefghijklmnopqrs"] = 5021;
    log.lines.clear();
    a = ResolveListenAddress("127.0.0.1:abcdefghijklmnopqrs", &log, services);
    EXPECT_EQ(a.port, 5021);
    EXPECT_TRUE(log.lines.empty());
}

TEST(ListenAddress, UnknownServiceWarnsAndUsesPort21) {
    FakeServices services;
    RecordingLog log;
    ListenAddress a = ResolveListenAddress("127.0.0.1:nosuch", &log, services);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.port, 21);
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{
                               "ORVYN - Warning (getservbyname(\"ftp\",\"tcp\"))",
                               "WSANO_DATA - No service record - ask your winsock supplier about the services "
                               "file\n(choosing default port 21 - don't worry.)"}));
    services.failure = ws::WSANO_RECOVERY;
    log.lines.clear();
    ResolveListenAddress("127.0.0.1:nosuch", &log, services);
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[1].text, "WSANO_RECOVERY - Unrecoverable error");
    services.failure = 10999;
    log.lines.clear();
    ResolveListenAddress("127.0.0.1:nosuch", &log, services);
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[1].text,
              "Unexpected error 10999 - is Winsock 2 installed incorrectly? (Try renaming WS2_32.DLL)");
}

TEST(ListenAddress, LookupFailuresThatMeanNoSocketLayerAreFatal) {
    FakeServices services;
    for (int err : {ws::WSAEINTR, ws::WSAEINPROGRESS, ws::WSAENETDOWN, ws::WSANOTINITIALISED}) {
        services.failure = err;
        RecordingLog log;
        const ListenAddress a = ResolveListenAddress("127.0.0.1:nosuch", &log, services);
        EXPECT_FALSE(a.ok) << err;
        EXPECT_EQ(a.fatalError, "Winsock not initialised");
        ASSERT_EQ(log.lines.size(), 2u);
        EXPECT_EQ(log.lines[0].text, "ORVYN - Fatal (getservbyname(\"ftp\",\"tcp\"))");
        EXPECT_EQ(log.lines[1].text, SocketErrorText(err));
    }
}

TEST(ListenAddress, SystemServicesKnowNothingOfMadeUpNames) {
    int port = -1;
    EXPECT_EQ(SystemServiceLookup().Lookup("orvyn-no-such-service", &port), ws::WSANO_DATA);
    EXPECT_EQ(port, -1);
}

TEST(TlsPort, NumbersNamesAndFailures) {
    FakeServices services;
    RecordingLog log;
    EXPECT_EQ(ResolveTlsPort("", &log, services), 0);
    EXPECT_EQ(ResolveTlsPort("990", &log, services), 990);
    EXPECT_EQ(ResolveTlsPort("ftps", &log, services), 990);
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(ResolveTlsPort("bogus", &log, services), 0);
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{
                               "ORVYN - Warning (getservbyname(bogus,\"tcp\"))",
                               "WSANO_DATA - No service record - ask your winsock supplier about the services "
                               "file\n(choosing default port 21 - don't worry.)"}));
    log.lines.clear();
    EXPECT_EQ(ResolveTlsPort("70000", &log, services), 0);
    EXPECT_EQ(log.lines.size(), 1u);
    log.lines.clear();
    EXPECT_EQ(ResolveTlsPort("-5", &log, services), 0);
    EXPECT_EQ(log.lines.size(), 1u);
    services.failure = static_cast<int>(0x80090308u);
    log.lines.clear();
    EXPECT_EQ(ResolveTlsPort("bogus", &log, services), 0);
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[1].text,
              "Unexpected SSPI error 80090308 - is Winsock 2 installed incorrectly? (Try renaming WS2_32.DLL)");
}

TEST(SocketErrors, TableAndFallbacks) {
    EXPECT_EQ(SocketErrorText(ws::WSAEADDRINUSE), "WSAEADDRINUSE - Address already in use");
    EXPECT_EQ(SocketErrorText(ws::WSAEFAULT), "WSAEFAULT - Programmer error\nInvalid arguments");
    EXPECT_EQ(SocketErrorText(ws::WSAEINVAL), "WSAEINVAL - The socket is already bound");
    EXPECT_EQ(SocketErrorText(ws::WSAEMFILE), "WSAEMFILE - Out of file descriptors");
    EXPECT_EQ(SocketErrorText(ws::WSAENOTSOCK), "WSAENOTSOCK - Programmer error\nCannot bind non-socket");
    EXPECT_EQ(SocketErrorText(ws::WSAEPROTOTYPE), "WSAEPROTOTYPE - Internet Protocol not supported!");
    EXPECT_EQ(SocketErrorText(ws::WSAEPROTONOSUPPORT), "WSAEPROTONOSUPPORT - Internet Protocol not supported!");
    EXPECT_EQ(SocketErrorText(ws::WSAESOCKTNOSUPPORT), "WSAESOCKTNOSUPPORT - STREAM sockets not supported here");
    EXPECT_EQ(SocketErrorText(ws::WSAEAFNOSUPPORT), "WSAEAFNOSUPPORT - Address family not supported");
    EXPECT_EQ(SocketErrorText(ws::WSAENETDOWN), "WSAENETDOWN - The network is down");
    EXPECT_EQ(SocketErrorText(ws::WSAENOBUFS), "WSAENOBUFS - Out of buffer space");
    EXPECT_EQ(SocketErrorText(ws::WSANOTINITIALISED), "WSANOTINITIALISED - WSAStartup not called");
    EXPECT_EQ(SocketErrorText(ws::WSAEINTR), "WSAEINTR - Blocking call cancelled");
    EXPECT_EQ(SocketErrorText(ws::WSAEINPROGRESS), "WSAEINPROGRESS - Blocking operation in progress");
    EXPECT_EQ(SocketErrorText(ws::WSAEACCES), "Unknown error 10013");
    EXPECT_EQ(SocketErrorText(0), "Unknown error 0");
    EXPECT_EQ(SocketErrorText(static_cast<int>(0x80090302u)), "Unknown SSPI error 80090302");
    EXPECT_EQ(SocketErrorText(0x00090001), "Unknown SSPI error 90001");
}

TEST(ConnectNumbers, UseStoredThenWrap) {
    EXPECT_EQ(ConnectNumberToUse(1), 1);
    EXPECT_EQ(NextConnectNumber(1), 2);
    EXPECT_EQ(ConnectNumberToUse(9998), 9998);
    EXPECT_EQ(NextConnectNumber(9998), 9999);
    EXPECT_EQ(ConnectNumberToUse(9999), 9999);
    EXPECT_EQ(NextConnectNumber(9999), 1);
    // Stored values outside 1..9999 start again at 1.
    for (long bad : {0L, -1L, -9999L, 10000L, 123456789L}) {
        EXPECT_EQ(ConnectNumberToUse(bad), 1) << bad;
        EXPECT_EQ(NextConnectNumber(bad), 2) << bad;
    }
    // A run of numbers visits 1..9999 and comes back to the start.
    long stored = 9990;
    std::vector<int> seen;
    for (int i = 0; i < 12; ++i) {
        seen.push_back(ConnectNumberToUse(stored));
        stored = NextConnectNumber(stored);
    }
    EXPECT_EQ(seen, (std::vector<int>{9990, 9991, 9992, 9993, 9994, 9995, 9996, 9997, 9998, 9999, 1, 2}));
}

}  // namespace
}  // namespace orvyn
