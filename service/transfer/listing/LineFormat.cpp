#include "service/transfer/listing/LineFormat.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace orvyn {
namespace {

constexpr std::string_view kModeStrings[16] = {
    "----", "d---", "-r--", "dr--", "--w-", "d-w-", "-rw-", "drw-",
    "---x", "d--x", "-r-x", "dr-x", "--wx", "d-wx", "-rwx", "drwx",
};

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int RoundUp(std::size_t value, int step) {
    const std::size_t s = static_cast<std::size_t>(step);
    return static_cast<int>((value + s - 1) / s * s);
}

std::tm LocalTime(std::time_t when) {
    std::tm tm{};
    if (localtime_r(&when, &tm) == nullptr) {
        // Out of the calendar's range: show the epoch rather than garbage.
        const std::time_t zero = 0;
        localtime_r(&zero, &tm);
    }
    return tm;
}

void AppendPadded(std::string& out, std::string_view text, int width, bool left) {
    const std::size_t pad = text.size() < static_cast<std::size_t>(width) ? width - text.size() : 0;
    if (!left) out.append(pad, ' ');
    out.append(text);
    if (left) out.append(pad, ' ');
}

void AppendNumber(std::string& out, std::uint64_t value, int width) {
    char digits[24];
    const int n = std::snprintf(digits, sizeof digits, "%" PRIu64, value);
    AppendPadded(out, std::string_view(digits, static_cast<std::size_t>(n)), width, false);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::string_view ModeString(int mode) { return kModeStrings[mode & 15]; }

std::string DateText(std::time_t when, std::time_t now) {
    const std::tm t = LocalTime(when);
    const std::tm n = LocalTime(now);
    const long long months = (static_cast<long long>(t.tm_year) + 1900) * 12 + t.tm_mon;
    const long long nowMonths = (static_cast<long long>(n.tm_year) + 1900) * 12 + n.tm_mon;
    char text[48];
    if (std::llabs(months - nowMonths) > 6) {
        std::snprintf(text, sizeof text, "%s %2d  %lld ", kMonths[t.tm_mon], t.tm_mday,
                      static_cast<long long>(t.tm_year) + 1900);
    } else {
        std::snprintf(text, sizeof text, "%s %2d %02d:%02d ", kMonths[t.tm_mon], t.tm_mday, t.tm_hour, t.tm_min);
    }
    // Years below 1000 give a shorter text; it is right-aligned like the rest.
    std::string out;
    AppendPadded(out, text, 13, false);
    return out;
}

char ClassMark(const ListEntry& entry) {
    if (entry.IsDirectory()) return '/';
    const std::size_t dot = entry.name.rfind('.');
    if (dot != std::string::npos && EqualsIgnoringCase(std::string_view(entry.name).substr(dot), ".exe")) return '*';
    if (!entry.linkTarget.empty()) return '@';
    return 0;
}

void ListContext::Add(const ListEntry& entry) {
    ++count_;
    const std::uint64_t blocks = entry.size / 512 + 1;
    totalBlocks_ = blocks > std::numeric_limits<std::uint64_t>::max() - totalBlocks_
                       ? std::numeric_limits<std::uint64_t>::max()
                       : totalBlocks_ + blocks;
    maxSize_ = std::max(maxSize_, entry.size);
    maxOwner_ = std::max(maxOwner_, entry.owner.size());
    maxGroup_ = std::max(maxGroup_, entry.group.size());
}

int ListContext::ownerWidth() const { return RoundUp(maxOwner_, 8); }
int ListContext::groupWidth() const { return RoundUp(maxGroup_, 8); }

int ListContext::sizeWidth() const {
    std::size_t digits = 1;
    for (std::uint64_t v = maxSize_; v >= 10; v /= 10) ++digits;
    return RoundUp(digits, 8);
}

int ListContext::blockWidth() const {
    std::size_t steps = 0;
    std::uint64_t v = 512;
    while (v <= maxSize_) {
        ++steps;
        if (v > std::numeric_limits<std::uint64_t>::max() / 10) break;  // the next step exceeds any size
        v *= 10;
    }
    return RoundUp(std::max<std::size_t>(steps, 1), 4);
}

void LineFormatter::AppendTotal(std::string& out, const ListContext& context) const {
    out.append("total ");
    AppendNumber(out, context.totalBlocks(), 0);
    out.append("\r\n");
}

void LineFormatter::AppendDate(std::string& out, std::time_t when) const {
    if (!haveDate_ || when != lastWhen_) {
        lastDate_ = DateText(when, now_);
        lastWhen_ = when;
        haveDate_ = true;
    }
    out.append(lastDate_);
}

void LineFormatter::AppendLine(std::string& out, const ListEntry& entry, const ListContext& context) const {
    if (options_.blocks) {
        out.push_back(' ');
        AppendNumber(out, entry.Blocks(), context.blockWidth());
        out.push_back(' ');
    }
    if (options_.longFormat) {
        const std::string_view mode = ModeString(entry.mode);
        out.push_back(entry.linkTarget.empty() ? mode[0] : 'l');
        out.append(mode.substr(1));
        out.append(mode.substr(1));
        out.append(mode.substr(1));
        out.append("  1 ");
        AppendPadded(out, entry.owner, context.ownerWidth(), true);
        out.push_back(' ');
        AppendPadded(out, entry.group, context.groupWidth(), true);
        out.push_back(' ');
        AppendNumber(out, entry.size, context.sizeWidth());
        out.push_back(' ');
        AppendDate(out, options_.accessTime ? entry.accessTime : entry.writeTime);
    }
    out.append(entry.name);
    if (options_.classify) {
        const char mark = ClassMark(entry);
        if (mark != 0) out.push_back(mark);
    }
    if (options_.longFormat && !entry.linkTarget.empty()) {
        out.append(" -> ");
        out.append(entry.linkTarget);
    }
    out.append("\r\n");
}

}  // namespace orvyn
