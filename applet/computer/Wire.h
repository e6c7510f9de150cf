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

std::string Encode(std::string_view word);
// False when the word holds a malformed escape.
bool Decode(std::string_view word, std::string& out);

// The words joined, with the final "\n".
std::string Join(const Line& words);
// False when a word is malformed.
bool Split(std::string_view line, Line& words);

}  // namespace orvyn::applet::wire
