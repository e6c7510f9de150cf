#include "service/base/log/ActivityLog.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/accounts/Impersonation.h"

namespace orvyn {

namespace {

// Set while the "format too long" warning is being logged on this thread, so
// a warning that is itself too long is cut without warning again. Listing
// workers log from their own threads, hence one flag per thread.
thread_local bool t_formatWarning = false;

// The date follows the short date format of the locale the process was
// started with (LC_ALL / LC_TIME / LANG), never a locale set later by anyone
// in the process. Built once; the process environment does not change.
locale_t DateLocale() {
    static const locale_t loc = [] {
        locale_t l = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
        if (!l) l = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
        return l;
    }();
    return loc;
}

// Where a text cut at n characters ends without leaving half of a
// multi-byte character behind; text[n] is the first character cut off.
size_t WholeCharacters(const char* text, size_t n) {
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return n;
}

std::string DateText(const struct tm& when) {
    char buf[128];
    const locale_t loc = DateLocale();
    size_t n = loc ? strftime_l(buf, sizeof buf, "%x", &when, loc) : strftime(buf, sizeof buf, "%x", &when);
    if (n > CActivityLog::kMaxDate) n = WholeCharacters(buf, CActivityLog::kMaxDate);
    return std::string(buf, n);
}

const char* SwitchName(char category) {
    switch (category) {
    case '!': return "Warnings";
    case '?': return "Winsock";
    case 'A': return "Anonymous";
    case 'C': return "Commands";
    case 'G': return "Gets";
    case 'L': return "Logins";
    case 'P': return "Puts";
    default: return nullptr;
    }
}

}  // namespace

void CActivityLog::LogV(int conn, char category, const char* format, va_list ap) {
    if (!format) format = "";
    // The settings and the file are read and written as the service, also
    // when the calling thread acts for a user.
    accounts::ServiceScope asService;
    // Without a log file nothing is written, not even a warning about the
    // format: the line need not be made.
    const uint64_t stamp = settings_.ReadStamp();
    if (stamp != 0 && stamp == noFileStamp_.load(std::memory_order_acquire)) return;
    const std::string file = LogFileName(stamp);
    if (file.empty()) return;
    char buf[kMaxMessage + 1];
    const int n = vsnprintf(buf, sizeof buf, format, ap);
    if (n < 0) {
        buf[0] = '\0';
    } else if (static_cast<size_t>(n) > kMaxMessage && !t_formatWarning) {
        t_formatWarning = true;
        Log(conn, '!', "Format string \"%s\" too long!", format);
        t_formatWarning = false;
    }
    WriteLine(file, conn, category, buf);
}

std::string CActivityLog::LogFileName(uint64_t stamp) {
    {
        std::lock_guard<std::mutex> lock(fileNameMutex_);
        if (stamp != 0 && stamp == fileNameStamp_) return fileName_;
    }
    // Read unlocked: a setting that cannot be read logs a warning itself.
    std::string name = settings_.ReadString("Logging", "LogFile", "");
    std::lock_guard<std::mutex> lock(fileNameMutex_);
    fileName_ = name;
    fileNameStamp_ = stamp;
    noFileStamp_.store(name.empty() ? stamp : 0, std::memory_order_release);
    return name;
}

bool CActivityLog::CategoryEnabled(char category) const {
    if (category == '*') return true;
    if (category == '!') return settings_.ReadFlag("Logging", "Warnings", true);
    // Everything else needs the master switch; '$', '>' and categories
    // without a switch of their own need nothing more.
    if (!settings_.ReadFlag("Logging", "Enable", false)) return false;
    const char* sw = SwitchName(category);
    return !sw || settings_.ReadFlag("Logging", sw, false);
}

std::string CActivityLog::FormatLine(const std::string& instance, char category, int conn, const struct tm& when,
                                     const char* message) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d", when.tm_hour, when.tm_min, when.tm_sec);
    const std::string date = DateText(when);
    size_t msgLen = message ? strnlen(message, kMaxWritten) : 0;
    if (msgLen == kMaxWritten && message[msgLen] != '\0') msgLen = WholeCharacters(message, msgLen);

    std::string text;
    text.reserve(instance.size() + date.size() + msgLen + 40);
    text += '"';
    text += instance;
    text += "\" [";
    text += category;
    text += ' ';
    text += std::to_string(conn);
    text += "] ";
    text += date;
    text += ' ';
    text += stamp;
    text += ' ';
    text.append(message ? message : "", msgLen);
    text += '\n';

    // The file is a text file with CR LF line ends; a line feed inside the
    // message becomes one too. Other control characters (a client's bare CR
    // or terminal escapes in a command, a name or a password) are shown as
    // '?', so that no text can pose as a line of its own or act on the
    // terminal of whoever reads the log.
    std::string line;
    line.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        if (c == '\n') {
            line += "\r\n";
        } else if ((u < 0x20 && c != '\t' && !(c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) || u == 0x7F) {
            line += '?';
        } else {
            line += c;
        }
    }
    return line;
}

void CActivityLog::WriteLine(const std::string& file, int conn, char category, const char* message) {
    if (!CategoryEnabled(category)) return;

    const time_t now = time(nullptr);
    struct tm when {};
    if (!localtime_r(&now, &when)) return;
    const std::string line = FormatLine(settings_.instanceName(), category, conn, when, message);

    // O_NONBLOCK: a FIFO named as the log file must never hold up the caller
    // (the network thread); without a reader the open fails and the line is
    // lost like any other line whose file cannot be opened.
    const int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) return;
    // One write for the whole line: appends from other writers land before or
    // after it, never inside it.
    ssize_t written;
    do {
        written = write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written > 0 && static_cast<size_t>(written) < line.size()) {
        // Cut short (the disk is full, a size limit): the piece goes again,
        // so that the next line does not run on from it, unless another
        // writer has appended since.
        const off_t end = lseek(fd, 0, SEEK_CUR);
        struct stat st {};
        if (end >= written && fstat(fd, &st) == 0 && st.st_size == end) {
            [[maybe_unused]] const int cut = ftruncate(fd, end - written);
        }
    }
    fdatasync(fd);
    close(fd);
}

}  // namespace orvyn
