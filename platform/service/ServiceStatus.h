// The status record of a service and the numbers around it: service types,
// states, controls and error numbers. The administration applet and the
// control socket's clients compare against exactly these numbers.
#pragma once

#include <cstdint>
#include <string>

namespace orvyn::service {

// Service types.
inline constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x00000010;

// Start types and error control of the services table.
inline constexpr uint32_t SERVICE_AUTO_START = 2;
inline constexpr uint32_t SERVICE_DEMAND_START = 3;
inline constexpr uint32_t SERVICE_ERROR_NORMAL = 1;

// Current states.
inline constexpr uint32_t SERVICE_STOPPED = 1;
inline constexpr uint32_t SERVICE_START_PENDING = 2;
inline constexpr uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr uint32_t SERVICE_RUNNING = 4;
inline constexpr uint32_t SERVICE_CONTINUE_PENDING = 5;
inline constexpr uint32_t SERVICE_PAUSE_PENDING = 6;
inline constexpr uint32_t SERVICE_PAUSED = 7;

// Controls accepted.
inline constexpr uint32_t SERVICE_ACCEPT_STOP = 0x00000001;
inline constexpr uint32_t SERVICE_ACCEPT_PAUSE_CONTINUE = 0x00000002;
inline constexpr uint32_t SERVICE_ACCEPT_SHUTDOWN = 0x00000004;

// Control codes. 128..255 are the service's own user codes.
inline constexpr uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr uint32_t SERVICE_CONTROL_PAUSE = 2;
inline constexpr uint32_t SERVICE_CONTROL_CONTINUE = 3;
inline constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr uint32_t SERVICE_CONTROL_SHUTDOWN = 5;
inline constexpr uint32_t SERVICE_USER_CONTROL_FIRST = 128;
inline constexpr uint32_t SERVICE_CONTROL_LAST = 255;

// Error numbers returned by the service-manager functions.
inline constexpr long ERROR_SUCCESS = 0;
inline constexpr long ERROR_FILE_NOT_FOUND = 2;
inline constexpr long ERROR_ACCESS_DENIED = 5;
inline constexpr long ERROR_INVALID_HANDLE = 6;
inline constexpr long ERROR_DUP_NAME = 52;
inline constexpr long ERROR_INVALID_PARAMETER = 87;
inline constexpr long ERROR_INVALID_NAME = 123;
inline constexpr long ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr long ERROR_INVALID_SERVICE_CONTROL = 1052;
inline constexpr long ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr long ERROR_SERVICE_NO_THREAD = 1054;
inline constexpr long ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr long ERROR_INVALID_SERVICE_ACCOUNT = 1057;
inline constexpr long ERROR_CIRCULAR_DEPENDENCY = 1059;
inline constexpr long ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr long ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
inline constexpr long ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr long ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr long ERROR_DATABASE_DOES_NOT_EXIST = 1065;
inline constexpr long ERROR_PROCESS_ABORTED = 1067;
inline constexpr long ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
inline constexpr long ERROR_SERVICE_EXISTS = 1073;
inline constexpr long ERROR_INVALID_WINDOW_HANDLE = 1400;

struct ServiceStatus {
    uint32_t serviceType = SERVICE_WIN32_OWN_PROCESS;
    uint32_t currentState = SERVICE_STOPPED;
    uint32_t controlsAccepted = SERVICE_ACCEPT_STOP;
    uint32_t win32ExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
    uint32_t processId = 0;  // 0 when the service is not running

    bool operator==(const ServiceStatus&) const = default;
};

// "stopped", "start pending", ... ("unknown" for other numbers).
const char* StateName(uint32_t state);

// The service names: the release service and the debug build's service.
inline constexpr const char* kServiceName = "ORVYN Pro";
inline constexpr const char* kDebugServiceName = "ORVYN Pro (Debug)";

// Service names are at most 63 characters; longer names are refused.
inline constexpr size_t kMaxServiceName = 63;
// True for a name of 1..63 printable characters without "/", "\" or control
// characters (the name becomes part of a key path and of file names).
bool IsValidServiceName(const std::string& name);

}  // namespace orvyn::service
