#include "service/transfer/files/RestartMarker.h"

#include <limits>

namespace orvyn {

std::optional<int64_t> ParseRestartMarker(std::string_view arg) {
    if (arg.empty()) return std::nullopt;
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    uint64_t value = 0;
    for (char c : arg) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (kMax - digit) / 10) return std::nullopt;  // beyond 2^63 - 1
        value = value * 10 + digit;
    }
    return static_cast<int64_t>(value);
}

std::string RestAcceptedText(int64_t marker) {
    return "350 Restarting from " + std::to_string(marker) + " bytes.";
}

std::string RestRefusedText(std::string_view arg) {
    return "501 Restart marker \"" + std::string(arg.substr(0, 50)) + "\" not strictly a positive number";
}

bool RetrMarkerBeyondEnd(uint64_t marker, uint64_t fileSize) {
    return marker != 0 && marker >= fileSize;
}

bool StorMarkerBeyondEnd(uint64_t marker, uint64_t fileSize) {
    return marker > fileSize;
}

namespace {

std::string BeyondEndText(const char* code, uint64_t marker, std::string_view argument) {
    return std::string(code) + " Error - restart marker (" + std::to_string(marker) + " bytes) beyond end of file " +
           std::string(argument.substr(0, 256));
}

}  // namespace

std::string MarkerBeyondEndText(uint64_t marker, std::string_view argument) {
    return BeyondEndText("553", marker, argument);
}

std::string StorMarkerBeyondEndText(uint64_t marker, std::string_view argument) {
    return BeyondEndText("554", marker, argument);
}

}  // namespace orvyn
