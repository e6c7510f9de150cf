// The login message of a directory: the text file "message.ftp", sent as
// continuation lines of the 230 reply at login and of the 250 reply of a
// CWD that changes the directory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvyn {

inline constexpr const char* kLoginMessageFile = "message.ftp";
// Longest text of one continuation line, in bytes.
inline constexpr std::size_t kMessageLineWidth = 74;
// A message file is read up to this many bytes; the rest is ignored so that
// a huge file cannot flood the control connection.
inline constexpr std::size_t kMaxMessageBytes = 64 * 1024;

// Splits message text into reply lines. Lines end in LF or CR LF; a line
// longer than kMessageLineWidth continues on the next reply line (never
// inside a UTF-8 sequence), so nothing of it is lost. A final line end
// does not make an empty last line; empty lines inside the text stay.
// Control characters other than tab become blanks: they must not end or
// corrupt the reply line.
std::vector<std::string> SplitMessageLines(std::string_view text);

// Reads the file at path (at most kMaxMessageBytes) and splits it; empty
// when it cannot be opened or is not a regular file.
std::vector<std::string> ReadMessageLines(const std::string& path);

}  // namespace orvyn
