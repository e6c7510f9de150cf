#include "service/core/session/ReplyWriter.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <optional>

namespace orvyn {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

constexpr const char* kNotLoggedIn = "{not-logged-in}";

}  // namespace

bool CReplyWriter::Feed(std::string_view text, bool continuation, std::string& out) {
    bool complete = false;
    for (size_t i = 0; i < text.size();) {
        if (state_ == 0 || state_ == 6) {
            // Text up to the next CR passes as it is (most of every reply).
            const size_t cr = text.find('\r', i);
            const size_t end = cr == std::string_view::npos ? text.size() : cr + 1;
            out.append(text.data() + i, end - i);
            if (cr != std::string_view::npos) state_ = state_ == 0 ? 1 : 7;
            i = end;
            continue;
        }
        const char c = text[i++];
        // One byte may pass through two states: a byte that sends the machine
        // back to state 0 or 6 is then read in that state.
        bool again = true;
        while (again) {
            again = false;
            switch (state_) {
                case 0:
                    out.push_back(c);
                    if (c == '\r') state_ = 1;
                    break;
                case 1:
                    if (c == '\n') {
                        out.push_back(c);
                        state_ = 2;
                    } else {
                        out.push_back('\0');
                        state_ = 0;
                        again = true;
                    }
                    break;
                case 2:
                    if (IsDigit(c)) {
                        if (continuation) {
                            out.push_back(' ');
                            out.push_back(c);
                            state_ = 0;
                        } else {
                            out.push_back(c);
                            state_ = 3;
                        }
                    } else {
                        state_ = 0;
                        again = true;
                    }
                    break;
                case 3:
                case 4:
                    if (IsDigit(c)) {
                        out.push_back(c);
                        ++state_;
                    } else {
                        state_ = 0;
                        again = true;
                    }
                    break;
                case 5:
                    if (c == ' ') {
                        out.push_back(c);
                        state_ = 6;
                    } else if (c == '\r') {
                        out.push_back(c);
                        state_ = 7;
                    } else {
                        state_ = 0;
                        again = true;
                    }
                    break;
                case 6:
                    out.push_back(c);
                    if (c == '\r') state_ = 7;
                    break;
                case 7:
                    if (c == '\n') {
                        out.push_back(c);
                        // State 8: the reply is complete; the caller sends it.
                        complete = true;
                        state_ = kStartState;
                    } else {
                        out.push_back('\0');
                        state_ = 6;
                        again = true;
                    }
                    break;
                default:
                    state_ = kStartState;
                    again = true;
                    break;
            }
        }
    }
    return complete;
}

bool FormatCapped(std::string& out, const char* fmt, va_list ap) {
    char buf[kMaxFormattedReply + 1];
    const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    if (n < 0) {
        out.clear();
        return false;
    }
    const size_t len = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : kMaxFormattedReply;
    out.assign(buf, len);
    return static_cast<size_t>(n) <= kMaxFormattedReply;
}

bool FormatCappedF(std::string& out, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const bool ok = FormatCapped(out, fmt, ap);
    va_end(ap);
    return ok;
}

namespace {

// The value of macro letter m, or nullopt when m is not a macro.
std::optional<std::string> MacroValue(char m, IMacroSource& src) {
    const bool loginShown = src.LoggedIn() || !src.LoginRequired();
    switch (m) {
        case 'C':
            return loginShown ? src.CurrentDirectory() : kNotLoggedIn;
        case 'E':
            return src.Email();
        case 'F':
            return loginShown ? src.FreeSpaceKb() : kNotLoggedIn;
        case 'L':
            return src.HostName();
        case 'M': {
            const long max = src.MaxUsers();
            return max == 0 ? std::string("{infinite}") : std::to_string(max);
        }
        case 'N':
            return std::to_string(src.UserCount());
        case 'R':
            return src.HostLookupPending() ? std::string("{unnamed-host}") : src.RemoteHostName();
        case 'T':
            return AscTimeText(src.Now());
        case 'U': {
            const std::string name = src.UserName();
            if (!src.LoggedIn() || name.empty()) return kNotLoggedIn;
            const std::string detail = src.UserDetail();
            return detail.empty() ? name : name + " (" + detail + ")";
        }
        case 'u':
            return "[IDENT not implemented]";
        default:
            return std::nullopt;
    }
}

// format: the text is a printf format; "%%" stays as it is and every percent
// sign of an inserted value is doubled, so printf shows it as one.
std::string Expand(std::string_view text, IMacroSource& src, bool format) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c != '%' || i + 1 >= text.size()) {
            out.push_back(c);
            ++i;
            continue;
        }
        if (format && text[i + 1] == '%') {
            out += "%%";
            i += 2;
            continue;
        }
        const std::optional<std::string> value = MacroValue(text[i + 1], src);
        if (!value) {
            // Not a macro: the percent sign goes out and the next character
            // is scanned on its own (it may start a macro).
            out.push_back('%');
            ++i;
            continue;
        }
        for (char v : *value) {
            // A value is one piece of a line: a line end or other control
            // character in it (a stored e-mail address, say) must not end
            // the line, or start what a client would read as a reply.
            const auto u = static_cast<unsigned char>(v);
            if (u < 0x20 || u == 0x7F) v = ' ';
            if (format && v == '%') out.push_back('%');
            out.push_back(v);
        }
        i += 2;
    }
    return out;
}

}  // namespace

std::string ExpandMacros(std::string_view text, IMacroSource& src) { return Expand(text, src, false); }

std::string ExpandMacrosInFormat(std::string_view format, IMacroSource& src) { return Expand(format, src, true); }

std::string AscTimeText(std::time_t t) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr) return "??? ??? ?? ??:??:?? ????";
    const int wday = tm.tm_wday >= 0 && tm.tm_wday < 7 ? tm.tm_wday : 0;
    const int mon = tm.tm_mon >= 0 && tm.tm_mon < 12 ? tm.tm_mon : 0;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[wday], kMonths[mon], tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, 1900 + tm.tm_year);
    return buf;
}

std::string FreeSpaceKbText(const std::string& path) {
    struct statvfs st{};
    if (path.empty() || statvfs(path.c_str(), &st) != 0) return "0";
    const unsigned long long unit = st.f_frsize ? st.f_frsize : st.f_bsize;
    // Multiply before dividing so that blocks smaller than 1 KiB still count.
    const unsigned __int128 bytes = static_cast<unsigned __int128>(unit) * st.f_bavail;
    return std::to_string(static_cast<unsigned long long>(bytes / 1024));
}

std::string LocalHostName() {
    char buf[256];
    if (gethostname(buf, sizeof buf - 1) != 0) return "localhost";
    buf[sizeof buf - 1] = '\0';
    return buf;
}

}  // namespace orvyn
