// Filename conversions: a download of a name that does not exist is served
// from the output of a command run on an existing file whose name maps to
// it (report.txt.gz from "gzip -c" of report.txt).
//
// A conversion is stored as a text value of six fields separated by '|':
// local prefix, local suffix, requested prefix, requested suffix (up to 9
// characters each), command (up to 260) and flags (a decimal number, up to
// 24 characters). Inside a field "\\" stands for a backslash and "\|" for a
// '|'; any other backslash is kept as it is.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvyn {

// Flag bits.
inline constexpr unsigned kConvertFiles = 1;
inline constexpr unsigned kConvertDirectories = 2;
inline constexpr unsigned kConvertBinary = 4;  // used for Image transfers
inline constexpr unsigned kConvertAscii = 8;   // used for ASCII transfers

inline constexpr size_t kMaxConversionAffix = 9;
inline constexpr size_t kMaxConversionCommand = 260;
inline constexpr size_t kMaxConversionFlags = 24;

struct CConversion {
    std::string name;  // the value's name
    std::string localPrefix;
    std::string localSuffix;
    std::string requestedPrefix;
    std::string requestedSuffix;
    std::string command;
    unsigned flags = 0;
};

// Parses a stored value. nullopt when it lacks a field, has more than six,
// has a field longer than its width, or flags that are not a decimal
// number (blanks around it allowed) below 2^32.
std::optional<CConversion> ParseConversion(std::string_view name, std::string_view text);
// The stored form of a conversion, escaping '\' and '|' as needed.
std::string FormatConversionValue(const CConversion& c);

// A stored value as enumerated from the instance's Conversions key, in
// enumeration order.
struct ConversionValue {
    std::string name;
    std::string text;
};

// What a local path is, as far as conversions care.
enum class LocalEntry {
    Missing,    // nothing there
    File,       // a regular file
    Directory,  // a directory
    Unusable,   // hidden, a device, a FIFO, a socket...: never converted
};
using LocalProbe = std::function<LocalEntry(const std::string& path)>;
// The probe on the real file system (symbolic links followed). A name that
// starts with '.' counts as hidden.
LocalEntry ProbeLocalEntry(const std::string& path);

// The local path a conversion maps a requested local path to: the requested
// file name must begin with the requested prefix and end with the requested
// suffix (both compared without regard to case, and not overlapping); the
// base name between them gets the local prefix and suffix. nullopt when it
// does not match, or when the local name equals the requested one (without
// regard to case). A local prefix or suffix holding '/' maps to nothing: a
// conversion serves files of the requested name's own folder only.
std::optional<std::string> MapRequestedName(const CConversion& c, std::string_view requestedLocalPath);

struct ConversionMatch {
    CConversion conversion;
    std::string localPath;
    LocalEntry entry;  // a file or a directory, as the probe found it
};

// The first conversion, in order, that applies to the requested local path:
// it parses, its flags have the transfer's mode bit (binary: Image type),
// it maps the name, the local path exists and is usable, and it has the file
// or directory bit for what the local path is.
std::optional<ConversionMatch> FindConversion(const std::vector<ConversionValue>& values,
                                              std::string_view requestedLocalPath, bool binary,
                                              const LocalProbe& probe = ProbeLocalEntry);

// Log line of a download served by a conversion, category 'G': requested
// local path, command line, conversion name.
inline constexpr const char* kLogConversion = "Conversion - file requested \"%s\" maps to \"%s\" through conversion \"%s\"";

}  // namespace orvyn
