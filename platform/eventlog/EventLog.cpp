#include "platform/eventlog/EventLog.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace orvyn::eventlog {

namespace {

struct MessageEntry {
    uint32_t id;
    const char* text;
};

constexpr MessageEntry kMessages[] = {
    {EVMSG_INSTALLED, "The %1 service was installed.\r\n"},
    {EVMSG_REMOVED, "The %1 service was removed.\r\n"},
    {EVMSG_NOTREMOVED, "The %1 service could not be removed.\r\n"},
    {EVMSG_CTRLHANDLERNOTINSTALLED, "The control handler could not be installed.\r\n"},
    {EVMSG_FAILEDINIT, "The initialization process failed.\r\n"},
    {EVMSG_STARTED, "The service was started.\r\n"},
    {EVMSG_BADREQUEST, "The service received an unsupported request.\r\n"},
    {EVMSG_DEBUG, "Debug: %1\r\n"},
    {EVMSG_STOPPED, "The service was stopped.\r\n"},
};

// Insertion strings are bounded so one event stays one reasonable line.
constexpr size_t kMaxInsert = 1024;

std::string StripLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

int Priority(EventType type) {
    switch (type) {
        case EventType::Error: return LOG_ERR;
        case EventType::Warning: return LOG_WARNING;
        case EventType::Information: return LOG_INFO;
    }
    return LOG_NOTICE;
}

}  // namespace

const char* EventTypeName(EventType type) {
    switch (type) {
        case EventType::Error: return "error";
        case EventType::Warning: return "warning";
        case EventType::Information: return "information";
    }
    return "unknown";
}

const char* MessageText(uint32_t id) {
    for (const auto& m : kMessages) {
        if (m.id == id) return m.text;
    }
    return nullptr;
}

std::string FormatEvent(uint32_t id, const std::vector<std::string>& inserts) {
    const char* text = MessageText(id);
    if (text == nullptr) {
        std::string out = "Event " + std::to_string(id);
        for (const auto& s : inserts) out += " " + s.substr(0, kMaxInsert);
        return out + "\r\n";
    }
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
            size_t index = static_cast<size_t>(p[1] - '1');
            if (index < inserts.size()) {
                out += inserts[index].substr(0, kMaxInsert);
                ++p;
                continue;
            }
        }
        out += *p;
    }
    return out;
}

EventSource::EventSource(std::string sourceName) : name_(std::move(sourceName)) {}

EventSource::~EventSource() {
    std::lock_guard lock(mutex_);
    if (opened_) closelog();
}

std::string EventSource::Report(EventType type, uint32_t id, std::string_view s1,
                                std::string_view s2, std::string_view s3) {
    std::vector<std::string> inserts;
    for (std::string_view s : {s1, s2, s3}) {
        if (!s.empty()) inserts.emplace_back(s);
    }
    std::string text = StripLineEnd(FormatEvent(id, inserts));

    std::lock_guard lock(mutex_);
    if (!opened_) {
        // syslog keeps the ident pointer: name_ lives as long as this source.
        openlog(name_.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
        opened_ = true;
    }
    syslog(Priority(type), "%s", text.c_str());
    if (const char* file = std::getenv("ORVYN_EVENTLOG_FILE"); file != nullptr && *file != '\0') {
        AppendToFile(file, type, id, text);
    }
    return text;
}

void EventSource::AppendToFile(const char* file, EventType type, uint32_t id, const std::string& text) {
    int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    std::string line = name_ + ": " + EventTypeName(type) + " " + std::to_string(id) + ": " + text + "\n";
    // One write with O_APPEND keeps lines of concurrent writers whole.
    ssize_t n = ::write(fd, line.data(), line.size());
    (void)n;
    ::close(fd);
}

std::string SourceKeyPath(std::string_view sourceName) {
    return "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + std::string(sourceName);
}

reg::Status RegisterSource(reg::Store& store, std::string_view sourceName, std::string_view messageFile) {
    const std::string key = SourceKeyPath(sourceName);
    auto file = reg::StringData(messageFile);
    reg::Status st = store.SetValue(key, "EventMessageFile", reg::REG_EXPAND_SZ, file.data(), file.size());
    if (!st) return st;
    auto types = reg::DwordData(7);
    return store.SetValue(key, "TypesSupported", reg::REG_DWORD, types.data(), types.size());
}

}  // namespace orvyn::eventlog
