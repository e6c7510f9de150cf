// How a log line reaches the file: this program replaces open() and write()
// with recording versions (the definitions in the executable take precedence
// over the C library's), so it can check that the file is opened for
// appending and that every line goes out in exactly one write call - the
// property that keeps concurrent writers from tearing each other's lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <mutex>

#include "service/base/log/ActivityLog.h"
#include "service/base/settings/ServerRegistry.h"
#include "tests/unit/settings/TempStore.h"

namespace {

struct OpenCall {
    std::string path;
    int flags;
    mode_t mode;
};

std::atomic<bool> g_recording{false};
std::mutex g_mutex;
std::vector<std::string> g_writes;
std::vector<OpenCall> g_opens;

int RecordOpen(const char* path, int flags, va_list ap) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) mode = static_cast<mode_t>(va_arg(ap, int));
    if (g_recording.load()) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_opens.push_back({path, flags, mode});
    }
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

}  // namespace

extern "C" ssize_t write(int fd, const void* buf, size_t n) {
    if (g_recording.load()) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_writes.emplace_back(static_cast<const char*>(buf), n);
    }
    return syscall(SYS_write, fd, buf, n);
}

extern "C" int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const int fd = RecordOpen(path, flags, ap);
    va_end(ap);
    return fd;
}

extern "C" int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const int fd = RecordOpen(path, flags, ap);
    va_end(ap);
    return fd;
}

namespace orvyn {
namespace {

TEST(ActivityLogFile, EachLineIsOneAppendingWrite) {
    test::TempStore tmp;
    const std::string path = tmp.file("activity.log");
    CServerRegistry settings(tmp.store(), "Demo", nullptr);
    CActivityLog log(settings);
    ASSERT_TRUE(settings.WriteString("Logging", "LogFile", path.c_str()));

    const std::string longMessage(900, 'm');
    g_recording = true;
    log.Log(1, '!', "short");
    log.Log(2, '!', "%s", longMessage.c_str());
    log.Log(3, '!', "two\nparts");
    g_recording = false;

    std::vector<std::string> lineWrites;
    for (const auto& w : g_writes)
        if (w.rfind("\"Demo\" [", 0) == 0 || w.find("parts") != std::string::npos) lineWrites.push_back(w);
    const std::string file = test::ReadAll(path);
    ASSERT_EQ(lineWrites.size(), 3u);
    EXPECT_EQ(lineWrites[0] + lineWrites[1] + lineWrites[2], file);
    for (const auto& w : lineWrites) EXPECT_EQ(w.substr(w.size() - 2), "\r\n");

    std::vector<OpenCall> logOpens;
    for (const auto& o : g_opens)
        if (o.path == path) logOpens.push_back(o);
    ASSERT_EQ(logOpens.size(), 3u);
    for (const auto& o : logOpens) {
        EXPECT_TRUE(o.flags & O_APPEND);
        EXPECT_TRUE(o.flags & O_CREAT);
        EXPECT_TRUE(o.flags & O_CLOEXEC);
        EXPECT_EQ(o.flags & O_ACCMODE, O_WRONLY);
        EXPECT_EQ(o.mode, 0644u);
    }
}

}  // namespace
}  // namespace orvyn
