// The line protocol of a service's control socket (a unix stream socket,
// "<run dir>/<service name>.ctl"). One request per connection:
//
//   QUERY\n                  the current status record
//   CONTROL <code>\n         deliver control code 1..255, then the status record
//
// Answers:
//
//   STATUS <type> <state> <controls accepted> <exit code> <check point> <wait hint> <pid>\n
//   ERROR <error number>\n
//
// Numbers are decimal. A request line is at most kMaxRequestLine bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/service/ServiceStatus.h"

namespace orvyn::service {

inline constexpr size_t kMaxRequestLine = 64;
inline constexpr size_t kMaxAnswerLine = 160;

struct ControlRequest {
    bool query = true;  // false: a control code
    uint32_t code = 0;
};

std::string FormatQuery();
std::string FormatControl(uint32_t code);
// The request line without its "\n"; nullopt when malformed or the code is
// outside 1..255.
std::optional<ControlRequest> ParseRequest(std::string_view line);

std::string FormatStatus(const ServiceStatus& status);
std::string FormatError(long error);

// Parses an answer line (without "\n"): ERROR_SUCCESS with the record, the
// error number of an ERROR answer, or ERROR_INVALID_PARAMETER when malformed.
long ParseAnswer(std::string_view line, ServiceStatus& status);

}  // namespace orvyn::service
