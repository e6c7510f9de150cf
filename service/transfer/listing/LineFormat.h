// The text lines of LIST, NLST and STAT listings.
//
// Long line: mode, "  1 ", owner, group, size, a 13-character date, the name,
// the class mark with F, and " -> target" for shortcuts; with s every line
// starts with the size in 512-byte blocks. Column widths are per folder and
// come from a ListContext filled with the folder's entries before the first
// line is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "service/transfer/listing/ListEntry.h"
#include "service/transfer/listing/ListOptions.h"

namespace orvyn {

// The four-letter mode string of a mode value 0..15 ("----" .. "drwx").
std::string_view ModeString(int mode);

// The 13-character date of the long line, in local time: "Mmm dd hh:mm "
// when the month of when lies within six months of the month of now (either
// way), else "Mmm dd  yyyy ". A leading zero of the day is a space.
std::string DateText(std::time_t when, std::time_t now);

// The F class mark: '/' for folders, '*' for names whose last extension is
// ".exe" (any case), '@' for shortcuts, else 0 (none).
char ClassMark(const ListEntry& entry);

// Totals and column widths of one folder (or one block of wildcard matches).
class ListContext {
public:
    void Add(const ListEntry& entry);

    std::size_t count() const { return count_; }
    // The "total" figure: each entry counts its size rounded down to whole
    // 512-byte blocks, plus one block.
    std::uint64_t totalBlocks() const { return totalBlocks_; }
    // Longest owner (group) name rounded up to a multiple of 8.
    int ownerWidth() const;
    int groupWidth() const;
    // Decimal digits of the largest size, at least 1, rounded up to a multiple of 8.
    int sizeWidth() const;
    // How many times 512 is multiplied by 10 until it exceeds the largest
    // size, at least 1, rounded up to a multiple of 4.
    int blockWidth() const;

private:
    std::size_t count_ = 0;
    std::uint64_t totalBlocks_ = 0;
    std::uint64_t maxSize_ = 0;
    std::size_t maxOwner_ = 0;
    std::size_t maxGroup_ = 0;
};

class LineFormatter {
public:
    // now: the moment the six-month rule measures from.
    LineFormatter(const ListOptions& options, std::time_t now) : options_(options), now_(now) {}

    // "total <n>\r\n".
    void AppendTotal(std::string& out, const ListContext& context) const;
    // One entry's line with its CR LF, in the form the options select.
    void AppendLine(std::string& out, const ListEntry& entry, const ListContext& context) const;

private:
    // Entries of one folder often share their time: the last date text is
    // kept for the next line.
    void AppendDate(std::string& out, std::time_t when) const;

    const ListOptions& options_;
    std::time_t now_;
    mutable bool haveDate_ = false;
    mutable std::time_t lastWhen_ = 0;
    mutable std::string lastDate_;
};

}  // namespace orvyn
