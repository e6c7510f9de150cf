// The ls-style options of LIST, NLST and STAT with a path, and the path part
// of their argument.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvyn {

enum class SortOrder {
    Name,      // by name, ignoring letter case (the default)
    Time,      // by last-write time, newest first
    Unsorted,  // in the order the file system returns the entries
};

struct ListOptions {
    // At most this many option letters are taken from an argument, after the
    // default letter.
    static constexpr std::size_t kMaxLetters = 28;
    // The letters understood; any other letter is ignored.
    static constexpr std::string_view kKnownLetters = "acdflrstu1ACFR";

    bool directoryAsEntry = false;  // d: a named folder is one entry, no recursion
    bool unsorted = false;          // f: file-system order
    bool longFormat = false;        // l: the long line
    bool reverse = false;           // r: reverse whichever order is in force
    bool blocks = false;            // s: prefix lines with the size in 512-byte blocks
    bool byTime = false;            // t: newest first
    bool accessTime = false;        // u: show the last access time
    bool changeTime = true;         // c: accepted, switches u off
    bool onePerLine = false;        // 1: names only
    bool columns = false;           // C: names only (one per line as well)
    bool classify = false;          // F: class mark after each name
    bool recursive = false;         // R: list folders depth first

    std::string letters;  // the letters in force, default first, unknown ones left out
    std::string path;     // path or wildcard; "." when the argument names none

    // Parses a LIST / NLST / STAT argument. defaultLetter is 'l' for LIST and
    // STAT, '1' for NLST. An argument starting with '-' carries letters up to
    // its first space and the path after that space; any other argument is
    // all path.
    static ListOptions Parse(std::string_view argument, char defaultLetter);

    // Applies one letter; the groups {1, C, l}, {R, d} and {c, u} exclude
    // each other, the later letter winning. Returns false for a letter that
    // is not understood (nothing changes).
    bool Apply(char letter);

    SortOrder sortOrder() const;
    // Whether the long line or the block column needs the per-folder totals.
    bool needsTotals() const { return longFormat || blocks; }
    // Whether lines show nothing but names (with their class marks) in an
    // order that needs no times.
    bool namesOnly() const { return !longFormat && !blocks && sortOrder() != SortOrder::Time; }
};

// Whether a separator ('/' or '\\') is directly followed by "..": listing
// arguments of that shape are refused. A leading ".." ("../x") is allowed.
bool HasParentStep(std::string_view argument);

}  // namespace orvyn
