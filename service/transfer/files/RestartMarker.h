// The restart marker set by REST and the checks RETR and STOR make with it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvyn {

// REST's argument: decimal digits only (no sign, no blanks, nothing after
// them), at most 2^63 - 1. Anything else is refused (nullopt): the marker
// then becomes 0.
std::optional<int64_t> ParseRestartMarker(std::string_view arg);

// "350 Restarting from %s bytes."
std::string RestAcceptedText(int64_t marker);
// "501 Restart marker "%.50s" not strictly a positive number"
std::string RestRefusedText(std::string_view arg);

// RETR: a non-zero marker must lie below the file's size (a marker at the
// end would send nothing).
bool RetrMarkerBeyondEnd(uint64_t marker, uint64_t fileSize);
// STOR/APPE: the marker may reach the end of the file but not beyond it (a
// file that does not exist yet has size 0), so a marker never leaves a hole.
bool StorMarkerBeyondEnd(uint64_t marker, uint64_t fileSize);
// RETR: "553 Error - restart marker (%s bytes) beyond end of file %.256s"
std::string MarkerBeyondEndText(uint64_t marker, std::string_view argument);
// STOR/APPE: the same text with 554 (a restart parameter the upload cannot
// use).
std::string StorMarkerBeyondEndText(uint64_t marker, std::string_view argument);

// Log lines of the refusals, category 'C'.
inline constexpr const char* kLogRetrMarkerBeyondEnd = "RETR failed - file is smaller than restart marker.";
inline constexpr const char* kLogStorMarkerBeyondEnd = "STOR failed - file is smaller than restart marker.";

}  // namespace orvyn
