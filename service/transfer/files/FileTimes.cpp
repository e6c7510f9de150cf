#include "service/transfer/files/FileTimes.h"

#include <cerrno>

namespace orvyn {
namespace {

bool Digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

int Number(std::string_view s) {
    int n = 0;
    for (char c : s) n = n * 10 + (c - '0');
    return n;
}

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// The longest fraction of a second taken (ignored whatever its length).
constexpr size_t kMaxFraction = 18;

}  // namespace

std::optional<time_t> ParseFtpTime(std::string_view text) {
    if (text.size() > 14) {
        // Any number of fraction digits (RFC 3659's time-val), within reason.
        const std::string_view fraction = text.substr(14);
        if (fraction.size() < 2 || fraction.size() > kMaxFraction + 1 || fraction[0] != '.' ||
            !Digits(fraction.substr(1))) {
            return std::nullopt;
        }
        text = text.substr(0, 14);
    }
    if (text.size() != 14 || !Digits(text)) return std::nullopt;
    tm t{};
    const int year = Number(text.substr(0, 4));
    const int month = Number(text.substr(4, 2));
    const int day = Number(text.substr(6, 2));
    t.tm_hour = Number(text.substr(8, 2));
    t.tm_min = Number(text.substr(10, 2));
    t.tm_sec = Number(text.substr(12, 2));
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || month < 1 || month > 12 || day < 1 ||
        day > kDays[month - 1] + (month == 2 && LeapYear(year) ? 1 : 0) || t.tm_hour > 23 || t.tm_min > 59 ||
        t.tm_sec > 60) {
        return std::nullopt;
    }
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    // Times before 1970 are negative; -1 itself is 23:59:59 of its last day.
    errno = 0;
    const time_t when = timegm(&t);
    if (when == static_cast<time_t>(-1) && errno != 0) return std::nullopt;
    return when;
}

std::optional<TimedPath> SplitTimedPath(std::string_view arg) {
    const size_t blank = arg.find(' ');
    if (blank == std::string_view::npos || blank + 1 >= arg.size()) return std::nullopt;
    const std::optional<time_t> when = ParseFtpTime(arg.substr(0, blank));
    if (!when) return std::nullopt;
    return TimedPath{*when, arg.substr(blank + 1)};
}

}  // namespace orvyn
