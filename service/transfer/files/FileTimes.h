// Setting a file's modification time from a client: the time forms of MFMT,
// of MDTM with a time argument and of SITE UTIME, all in UTC.
#pragma once

#include <ctime>
#include <optional>
#include <string_view>

namespace orvyn {

// "YYYYMMDDHHMMSS" (years 0001-9999, before 1970 too), optionally followed
// by "." and digits of a fraction of a second (ignored), as a time in UTC;
// nothing for any other text or an impossible date.
std::optional<time_t> ParseFtpTime(std::string_view text);

// "<time> <path>" (MFMT, MDTM with a time): the time and the path after the
// one blank; nothing unless the first word is a time and a path follows.
struct TimedPath {
    time_t when = 0;
    std::string_view path;
};
std::optional<TimedPath> SplitTimedPath(std::string_view arg);

}  // namespace orvyn
