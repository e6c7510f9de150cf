// The lines the applet and `orvyn-reg serve` exchange over a remote shell.
//
// A line is a list of words separated by single blanks and ended by "\n".
// A word carries any bytes: every byte outside [A-Za-z0-9_.:/,+=@] is written
// as "%" and two hex digits, and the empty word is written "-".
//
// A request is one line: a verb and its arguments. An answer is a first line
// "<code> <count>", then count lines. code 0 is success and the lines are the
// result; otherwise code is a store status code or an errno (the verb says
// which) and the one line holds the reason.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvyn::applet::wire {

using Line = std::vector<std::string>;

// The longest line either side reads (a saved key travels in one line).
inline constexpr size_t kMaxLine = 256u * 1024 * 1024;
// The largest saved key either side sends (escaping may triple it).
inline constexpr size_t kMaxSavedKey = kMaxLine / 4;

std::string Encode(std::string_view word);
// False when the word holds a malformed escape.
bool Decode(std::string_view word, std::string& out);

// The words joined, with the final "\n".
std::string Join(const Line& words);
// False when a word is malformed.
bool Split(std::string_view line, Line& words);

// A word that is a decimal number of at most 20 digits and nothing else.
bool ParseUnsigned(std::string_view word, unsigned long long& out);

// The words of an answer's lines of one word each (names); false when a
// line has another number of words.
bool SingleWords(const std::vector<Line>& lines, std::vector<std::string>& out);

// A saved key's bytes on either side. WriteAll retries short writes; false
// on an error. ReadWholeFile: 0, the errno of reading, or EFBIG above limit.
bool WriteAll(int fd, std::string_view data);
int ReadWholeFile(const std::string& path, std::string& out, size_t limit);

}  // namespace orvyn::applet::wire
