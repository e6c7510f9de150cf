// The activity log of one server instance: one text line per event, appended
// to the file named by the instance's Logging\LogFile setting and filtered by
// the Logging switches. Settings are read for every line (the file's name
// again only when the store may have changed since), so a change takes
// effect on the next line.
//
// Every line is built in memory and appended with one write() to a file opened
// with O_APPEND, flushed to disk and closed again: several instances, threads
// and processes may share one file without tearing lines, and other programs
// may read, move or delete the file between lines. No lock is taken.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

#include "service/base/log/LogSink.h"
#include "service/base/settings/ServerRegistry.h"

namespace orvyn {

class CActivityLog : public ILogSink {
public:
    // Longest formatted message; longer text is cut and a warning logged.
    static constexpr size_t kMaxMessage = 1023;
    // Longest part of a message that reaches the file.
    static constexpr size_t kMaxWritten = 768;
    // Longest date text.
    static constexpr size_t kMaxDate = 29;

    explicit CActivityLog(CServerRegistry& settings) : settings_(settings) {}

    void LogV(int conn, char category, const char* format, va_list ap) override;

    // Applies the switches and appends one line holding message to file.
    // Called as the service.
    void WriteLine(const std::string& file, int conn, char category, const char* message);

    // Whether a line of this category is written under the current settings
    // (Logging\Enable and the category's own switch).
    bool CategoryEnabled(char category) const;

    // The bytes of one line as they go to the file, CR LF included.
    static std::string FormatLine(const std::string& instance, char category, int conn, const struct tm& when,
                                  const char* message);

private:
    // Logging\LogFile, read again only when the store's read stamp has
    // moved (stamp: ReadStamp() as the caller took it).
    std::string LogFileName(uint64_t stamp);

    CServerRegistry& settings_;
    std::mutex fileNameMutex_;
    uint64_t fileNameStamp_ = 0;
    std::string fileName_;
    // The read stamp under which LogFile was found empty (0: none): lines
    // are then dropped without taking the lock.
    std::atomic<uint64_t> noFileStamp_{0};
};

}  // namespace orvyn
