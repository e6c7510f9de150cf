#include "service/transfer/files/TransferTexts.h"

#include <cstdio>

#include "service/base/text/NoCase.h"
#include "service/transfer/files/FileException.h"

namespace orvyn {

std::string DownloadProgressText(uint64_t transferred, uint64_t fileSize) {
    uint64_t percent = 100;
    if (fileSize != 0) {
        percent = static_cast<uint64_t>(static_cast<unsigned __int128>(transferred) * 100 / fileSize);
    }
    if (percent > 99) percent = 99;
    return std::to_string(percent) + "%";
}

std::string UploadProgressText(uint64_t size) {
    struct Unit {
        uint64_t bytes;
        const char* name;
    };
    static constexpr Unit kUnits[] = {{1ull << 30, "GB"}, {1ull << 20, "MB"}, {1ull << 10, "kB"}};
    for (const Unit& u : kUnits) {
        if (size >= u.bytes) {
            const uint64_t whole = size / u.bytes;
            const uint64_t tenths = (size % u.bytes) * 10 / u.bytes;
            return std::to_string(whole) + "." + std::to_string(tenths) + u.name;
        }
    }
    return std::to_string(size);
}

std::string SizeReplyText(uint64_t size) {
    return "213 " + std::to_string(size);
}

std::string MdtmTimeText(time_t modified) {
    struct tm tm {};
    if (gmtime_r(&modified, &tm) == nullptr) return {};
    // Always four digits of year: a time outside years 0 to 9999 has no
    // such text (a file system may hold one).
    const long year = tm.tm_year + 1900L;
    if (year < 0 || year > 9999) return {};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04ld%02d%02d%02d%02d%02d", year, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                  tm.tm_min, tm.tm_sec);
    return buf;
}

std::string MdtmReplyText(time_t modified) {
    const std::string text = MdtmTimeText(modified);
    return text.empty() ? text : "213 " + text;
}

size_t TransferBufferSize(long fileBufferSize) {
    long half = fileBufferSize;
    if (half <= 0) half = 4096;
    if (half >= 16386) half = 16386;
    return static_cast<size_t>(half) * 2;
}

bool IsShortcutName(std::string_view path) {
    return EndsWithNoCase(path, ".lnk");
}

std::string FileErrorReplyText(std::string_view name, const CFileException& e) {
    return "550 Error on file " + std::string(name.substr(0, 256)) + ": " + e.Text();
}

std::string LocalWriteErrorReplyText(std::string_view name, const CFileException& e) {
    return "451 Local write error on file " + std::string(name.substr(0, 256)) + ": " + e.Text();
}

}  // namespace orvyn
