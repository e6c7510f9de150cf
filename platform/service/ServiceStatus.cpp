#include "platform/service/ServiceStatus.h"

namespace orvyn::service {

const char* StateName(uint32_t state) {
    switch (state) {
        case SERVICE_STOPPED: return "stopped";
        case SERVICE_START_PENDING: return "start pending";
        case SERVICE_STOP_PENDING: return "stop pending";
        case SERVICE_RUNNING: return "running";
        case SERVICE_CONTINUE_PENDING: return "continue pending";
        case SERVICE_PAUSE_PENDING: return "pause pending";
        case SERVICE_PAUSED: return "paused";
        default: return "unknown";
    }
}

bool IsValidServiceName(const std::string& name) {
    if (name.empty() || name.size() > kMaxServiceName) return false;
    if (name == "." || name == "..") return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') return false;
    }
    return true;
}

}  // namespace orvyn::service
