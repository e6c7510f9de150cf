// The one log operation every part of the service calls: a connection number
// (-1 when the line belongs to no connection), a one-character category and a
// printf-style message.
#pragma once

#include <cstdarg>

namespace orvyn {

class ILogSink {
public:
    virtual ~ILogSink() = default;

    void Log(int conn, char category, const char* format, ...) __attribute__((format(printf, 4, 5))) {
        va_list ap;
        va_start(ap, format);
        LogV(conn, category, format, ap);
        va_end(ap);
    }
    virtual void LogV(int conn, char category, const char* format, va_list ap) = 0;
};

}  // namespace orvyn
