#include "platform/service/ControlProtocol.h"

#include <charconv>
#include <vector>

namespace orvyn::service {

namespace {

std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ') ++i;
        if (i > start) fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

template <typename T>
bool ParseNumber(std::string_view text, T& out) {
    if (text.empty() || text.size() > 20) return false;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && ptr == text.data() + text.size();
}

}  // namespace

std::string FormatQuery() { return "QUERY\n"; }

std::string FormatControl(uint32_t code) { return "CONTROL " + std::to_string(code) + "\n"; }

std::optional<ControlRequest> ParseRequest(std::string_view line) {
    if (line.size() > kMaxRequestLine) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    auto fields = SplitFields(line);
    if (fields.size() == 1 && fields[0] == "QUERY") return ControlRequest{true, 0};
    if (fields.size() == 2 && fields[0] == "CONTROL") {
        uint32_t code = 0;
        if (!ParseNumber(fields[1], code) || code < 1 || code > SERVICE_CONTROL_LAST) return std::nullopt;
        return ControlRequest{false, code};
    }
    return std::nullopt;
}

std::string FormatStatus(const ServiceStatus& s) {
    return "STATUS " + std::to_string(s.serviceType) + " " + std::to_string(s.currentState) + " " +
           std::to_string(s.controlsAccepted) + " " + std::to_string(s.win32ExitCode) + " " +
           std::to_string(s.checkPoint) + " " + std::to_string(s.waitHint) + " " +
           std::to_string(s.processId) + "\n";
}

std::string FormatError(long error) { return "ERROR " + std::to_string(error) + "\n"; }

long ParseAnswer(std::string_view line, ServiceStatus& status) {
    if (line.size() > kMaxAnswerLine) return ERROR_INVALID_PARAMETER;
    auto fields = SplitFields(line);
    if (fields.size() == 2 && fields[0] == "ERROR") {
        long error = 0;
        if (!ParseNumber(fields[1], error) || error == 0) return ERROR_INVALID_PARAMETER;
        return error;
    }
    if (fields.size() != 8 || fields[0] != "STATUS") return ERROR_INVALID_PARAMETER;
    ServiceStatus s;
    uint32_t* slots[] = {&s.serviceType, &s.currentState, &s.controlsAccepted, &s.win32ExitCode,
                         &s.checkPoint, &s.waitHint, &s.processId};
    for (size_t i = 0; i < 7; ++i) {
        if (!ParseNumber(fields[i + 1], *slots[i])) return ERROR_INVALID_PARAMETER;
    }
    status = s;
    return ERROR_SUCCESS;
}

}  // namespace orvyn::service
