// Where an instance listens: reading the Enabled, Address and Port values of
// an instance key, resolving "address:port" into a socket address, the TLS
// port, the texts of socket and bind errors, and the connection numbers.
#pragma once

#include <sys/socket.h>

#include <string>
#include <string_view>

#include "platform/registry/Registry.h"
#include "service/base/log/LogSink.h"
#include "service/base/text/Environment.h"

namespace orvyn {

// Enabled: absent (nullptr) means enabled; a string (REG_SZ or REG_EXPAND_SZ)
// starting with n, N or 0, or a REG_DWORD / REG_DWORD_BIG_ENDIAN of 0, means
// disabled; anything else means enabled.
bool IsEnabledValue(const reg::Value* v);

// Port: REG_SZ as stored (up to its NUL), REG_EXPAND_SZ with environment
// variables expanded, REG_DWORD / REG_DWORD_BIG_ENDIAN as a decimal number;
// absent or any other type gives the service name "ftp".
std::string PortValueText(const reg::Value* v);

// Address: REG_SZ, or REG_EXPAND_SZ expanded, cut to at most 254 characters;
// absent or any other type gives "0.0.0.0".
inline constexpr size_t kMaxAddressText = 254;
std::string AddressValueText(const reg::Value* v);

// Looks a TCP service name up; returns 0 and the port (host order), or a
// Winsock error number. The default implementation reads the system's
// services database (a name it does not know gives WSANO_DATA).
class IServiceLookup {
public:
    virtual ~IServiceLookup() = default;
    virtual int Lookup(const std::string& name, int* port) = 0;
};
IServiceLookup& SystemServiceLookup();

inline constexpr size_t kMaxServiceName = 19;

struct ListenAddress {
    bool ok = false;
    std::string fatalError;   // why the instance cannot start (when !ok)
    sockaddr_storage addr{};  // family, address and port, ready for bind
    socklen_t len = 0;
    int port = 0;             // host order; 0 lets the system choose one
    std::string serviceName;  // the service name used, empty for a number
};

// Resolves the text "address:port" an instance listens on, split at the last ":".
// The address (empty: 0.0.0.0) must be a numeric IPv4 or IPv6 address; an
// IPv6 address may be written in brackets ("[::1]:2121"). A port text that
// starts with a digit is a number (0..65535); otherwise it is a service name
// of at most 19 characters (a longer one is replaced by "ftp" with a warning)
// looked up as TCP service. An address that is not numeric, or a port number
// above 65535, is a fatal error: nothing could be bound. Warnings and fatal
// errors are logged on log (category '!', connection -1) when log is not null.
ListenAddress ResolveListenAddress(std::string_view where, ILogSink* log,
                                IServiceLookup& services = SystemServiceLookup());

// The implicit-TLS port from the TLS\FTPSPort text: 0 when empty; a number,
// or else a TCP service name. A lookup that fails (or a number out of range)
// logs a warning and gives 0: the instance then runs without a TLS listener.
int ResolveTlsPort(std::string_view ftpsPort, ILogSink* log, IServiceLookup& services = SystemServiceLookup());

// Text for a Winsock error of socket() or bind(): the fixed table,
// "Unknown SSPI error %x" for a code of facility 9, else "Unknown error %d".
std::string SocketErrorText(int wsaError);

// Text for a failed service lookup (getservbyname).
std::string ServiceLookupErrorText(int wsaError);

// Connection numbers run 1..9999 per instance. The stored Logging\ConnectNum
// is the number to use now (a stored value outside 1..9999 is treated as 1);
// the value written back is that number modulo 9999, plus 1.
inline constexpr int kMaxConnectNumber = 9999;
int ConnectNumberToUse(long stored);
int NextConnectNumber(long stored);

}  // namespace orvyn
