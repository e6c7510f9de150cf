#include "service/core/server/ListenAddress.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/eventloop/Winsock.h"

namespace orvyn {

namespace ws = eventloop;

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Text of string value data: the bytes up to the first NUL (or all of them).
std::string StringData(const reg::Value& v) {
    const auto* p = reinterpret_cast<const char*>(v.data.data());
    const size_t n = v.data.size();
    const void* nul = n ? std::memchr(p, '\0', n) : nullptr;
    return std::string(p, nul ? static_cast<size_t>(static_cast<const char*>(nul) - p) : n);
}

// The number of a REG_DWORD or REG_DWORD_BIG_ENDIAN value; nullopt for other
// types and for data that is not four bytes long.
std::optional<uint32_t> DwordData(const reg::Value& v) {
    if (v.data.size() != 4) return std::nullopt;
    const uint8_t* b = v.data.data();
    if (v.type == reg::REG_DWORD)
        return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
               static_cast<uint32_t>(b[3]) << 24;
    if (v.type == reg::REG_DWORD_BIG_ENDIAN)
        return static_cast<uint32_t>(b[3]) | static_cast<uint32_t>(b[2]) << 8 | static_cast<uint32_t>(b[1]) << 16 |
               static_cast<uint32_t>(b[0]) << 24;
    return std::nullopt;
}

// Value of the leading decimal digits of text, or nullopt when it exceeds max.
std::optional<long> LeadingNumber(std::string_view text, long max) {
    long v = 0;
    for (char c : text) {
        if (!IsDigit(c)) break;
        v = v * 10 + (c - '0');
        if (v > max) return std::nullopt;
    }
    return v;
}

void LogLine(ILogSink* log, const std::string& text) {
    if (log != nullptr) log->Log(-1, '!', "%s", text.c_str());
}

class SystemServices final : public IServiceLookup {
public:
    int Lookup(const std::string& name, int* port) override {
        servent entry{};
        servent* found = nullptr;
        char buf[4096];
        const int rc = getservbyname_r(name.c_str(), "tcp", &entry, buf, sizeof buf, &found);
        if (rc == ERANGE) return ws::WSANO_RECOVERY;
        if (rc != 0 || found == nullptr) return ws::WSANO_DATA;
        *port = ntohs(static_cast<uint16_t>(found->s_port));
        return 0;
    }
};

// Numeric IPv4 or IPv6 address (brackets around IPv6 accepted) into addr.
bool ParseNumericAddress(std::string_view text, sockaddr_storage& addr, socklen_t& len) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    if (text.empty()) {
        auto* in = reinterpret_cast<sockaddr_in*>(&addr);
        std::memset(&addr, 0, sizeof addr);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_ANY);
        len = sizeof(sockaddr_in);
        return true;
    }
    if (text.size() > 255 || text.find('\0') != std::string_view::npos) return false;
    const std::string host(text);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return false;
    bool ok = false;
    if (res->ai_addrlen <= sizeof addr) {
        std::memset(&addr, 0, sizeof addr);
        std::memcpy(&addr, res->ai_addr, res->ai_addrlen);
        len = res->ai_addrlen;
        ok = true;
    }
    freeaddrinfo(res);
    return ok;
}

void SetPort(sockaddr_storage& addr, int port) {
    if (addr.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&addr)->sin_port = htons(static_cast<uint16_t>(port));
    else if (addr.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port = htons(static_cast<uint16_t>(port));
}

bool IsFatalLookupError(int err) {
    return err == ws::WSAEINTR || err == ws::WSAEINPROGRESS || err == ws::WSAENETDOWN || err == ws::WSANOTINITIALISED;
}

bool IsSspiCode(int code) { return ((static_cast<uint32_t>(code) >> 16) & 0x1fff) == 9; }

}  // namespace

IServiceLookup& SystemServiceLookup() {
    static SystemServices services;
    return services;
}

bool IsEnabledValue(const reg::Value* v) {
    if (v == nullptr) return true;
    if (v->type == reg::REG_SZ || v->type == reg::REG_EXPAND_SZ) {
        const std::string s = StringData(*v);
        return s.empty() || (s[0] != 'n' && s[0] != 'N' && s[0] != '0');
    }
    if (const auto d = DwordData(*v)) return *d != 0;
    return true;
}

std::string PortValueText(const reg::Value* v) {
    if (v != nullptr) {
        if (v->type == reg::REG_SZ) return StringData(*v);
        if (v->type == reg::REG_EXPAND_SZ) return ExpandEnvironment(StringData(*v));
        if (const auto d = DwordData(*v)) return std::to_string(*d);
    }
    return "ftp";
}

std::string AddressValueText(const reg::Value* v) {
    if (v != nullptr && (v->type == reg::REG_SZ || v->type == reg::REG_EXPAND_SZ)) {
        std::string s = StringData(*v);
        if (v->type == reg::REG_EXPAND_SZ) s = ExpandEnvironment(s);
        if (s.size() > kMaxAddressText) s.resize(kMaxAddressText);
        return s;
    }
    return "0.0.0.0";
}

ListenAddress ResolveListenAddress(std::string_view where, ILogSink* log, IServiceLookup& services) {
    ListenAddress r;
    const size_t colon = where.rfind(':');
    const std::string_view addrText = colon == std::string_view::npos ? where : where.substr(0, colon);
    std::string_view portText = colon == std::string_view::npos ? std::string_view{} : where.substr(colon + 1);

    if (!ParseNumericAddress(addrText, r.addr, r.len)) {
        // Nothing could be bound there: report it the way a failed bind is.
        const std::string err = SocketErrorText(ws::WSAEADDRNOTAVAIL);
        LogLine(log, "ORVYN - Fatal (bind to ftp)");
        LogLine(log, err);
        r.fatalError = "Fatal error binding listening socket: " + err;
        return r;
    }

    int port = 0;
    if (!portText.empty() && IsDigit(portText[0])) {
        const auto n = LeadingNumber(portText, 65535);
        if (!n) {
            // Reported like a failed bind; the caller logs the fatal text.
            LogLine(log, "ORVYN - Fatal (bind to ftp)");
            r.fatalError = "Fatal error binding listening socket: port " + std::string(portText) + " is out of range";
            return r;
        }
        port = static_cast<int>(*n);
    } else {
        if (portText.empty()) portText = "ftp";
        if (portText.size() > kMaxServiceName) {
            if (log != nullptr) {
                const std::string name(portText);
                log->Log(-1, '!', "Service name \"%s\" too long - defaulting to \"ftp\"", name.c_str());
            }
            portText = "ftp";
        }
        r.serviceName = std::string(portText);
    }

    if (port == 0 && !r.serviceName.empty()) {
        const int err = services.Lookup(r.serviceName, &port);
        if (err != 0) {
            if (IsFatalLookupError(err)) {
                LogLine(log, "ORVYN - Fatal (getservbyname(\"ftp\",\"tcp\"))");
                LogLine(log, SocketErrorText(err));
                r.fatalError = "Winsock not initialised";
                return r;
            }
            LogLine(log, "ORVYN - Warning (getservbyname(\"ftp\",\"tcp\"))");
            LogLine(log, ServiceLookupErrorText(err));
            port = 21;
        } else if (port < 0 || port > 65535) {
            port = 21;
        }
    }

    r.port = port;
    SetPort(r.addr, port);
    r.ok = true;
    return r;
}

int ResolveTlsPort(std::string_view ftpsPort, ILogSink* log, IServiceLookup& services) {
    if (ftpsPort.empty()) return 0;
    // Read like atoi: leading blanks, an optional sign, then digits.
    size_t i = 0;
    while (i < ftpsPort.size() && (ftpsPort[i] == ' ' || ftpsPort[i] == '\t')) ++i;
    bool negative = false;
    if (i < ftpsPort.size() && (ftpsPort[i] == '-' || ftpsPort[i] == '+')) negative = ftpsPort[i++] == '-';
    const auto n = LeadingNumber(ftpsPort.substr(i), 65535);
    const std::string text(ftpsPort);
    if (!n || (negative && *n != 0)) {
        if (log != nullptr) log->Log(-1, '!', "ORVYN - TLS Warning (port \"%s\" out of range)", text.c_str());
        return 0;
    }
    if (*n != 0) return static_cast<int>(*n);

    int port = 0;
    const int err = services.Lookup(text, &port);
    if (err != 0 || port <= 0 || port > 65535) {
        if (log != nullptr) {
            log->Log(-1, '!', "ORVYN - Warning (getservbyname(%s,\"tcp\"))", text.c_str());
            LogLine(log, ServiceLookupErrorText(err != 0 ? err : ws::WSANO_DATA));
        }
        return 0;
    }
    return port;
}

std::string SocketErrorText(int code) {
    switch (code) {
        case ws::WSAEINTR: return "WSAEINTR - Blocking call cancelled";
        case ws::WSAEFAULT: return "WSAEFAULT - Programmer error\nInvalid arguments";
        case ws::WSAEINVAL: return "WSAEINVAL - The socket is already bound";
        case ws::WSAEMFILE: return "WSAEMFILE - Out of file descriptors";
        case ws::WSAEINPROGRESS: return "WSAEINPROGRESS - Blocking operation in progress";
        case ws::WSAENOTSOCK: return "WSAENOTSOCK - Programmer error\nCannot bind non-socket";
        case ws::WSAEPROTOTYPE: return "WSAEPROTOTYPE - Internet Protocol not supported!";
        case ws::WSAEPROTONOSUPPORT: return "WSAEPROTONOSUPPORT - Internet Protocol not supported!";
        case ws::WSAESOCKTNOSUPPORT: return "WSAESOCKTNOSUPPORT - STREAM sockets not supported here";
        case ws::WSAEAFNOSUPPORT: return "WSAEAFNOSUPPORT - Address family not supported";
        case ws::WSAEADDRINUSE: return "WSAEADDRINUSE - Address already in use";
        case ws::WSAEADDRNOTAVAIL:
            return "WSAEADDRNOTAVAIL - Address is not available for me to bind to\nTry not specifying the address.";
        case ws::WSAENETDOWN: return "WSAENETDOWN - The network is down";
        case ws::WSAENOBUFS: return "WSAENOBUFS - Out of buffer space";
        case ws::WSANOTINITIALISED: return "WSANOTINITIALISED - WSAStartup not called";
        default: break;
    }
    char buf[64];
    if (IsSspiCode(code))
        std::snprintf(buf, sizeof buf, "Unknown SSPI error %x", static_cast<unsigned>(code));
    else
        std::snprintf(buf, sizeof buf, "Unknown error %d", code);
    return buf;
}

std::string ServiceLookupErrorText(int code) {
    if (code == ws::WSANO_RECOVERY) return "WSANO_RECOVERY - Unrecoverable error";
    if (code == ws::WSANO_DATA)
        return "WSANO_DATA - No service record - ask your winsock supplier about the services file\n"
               "(choosing default port 21 - don't worry.)";
    char buf[160];
    if (IsSspiCode(code))
        std::snprintf(buf, sizeof buf,
                      "Unexpected SSPI error %x - is Winsock 2 installed incorrectly? (Try renaming WS2_32.DLL)",
                      static_cast<unsigned>(code));
    else
        std::snprintf(buf, sizeof buf,
                      "Unexpected error %d - is Winsock 2 installed incorrectly? (Try renaming WS2_32.DLL)", code);
    return buf;
}

int ConnectNumberToUse(long stored) {
    return stored >= 1 && stored <= kMaxConnectNumber ? static_cast<int>(stored) : 1;
}

int NextConnectNumber(long stored) { return ConnectNumberToUse(stored) % kMaxConnectNumber + 1; }

}  // namespace orvyn
