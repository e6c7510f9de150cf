// Where listing text goes: lines are gathered into chunks and handed to a
// write function (normally the spool file). For Docutech users every ".djo"
// is taken out of the text on the way.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace orvyn {

// How a listing ended.
enum class ListingOutcome {
    Completed,  // everything was written
    Stopped,    // the worker was told to finish
    Failed,     // the output could not be written or a folder could not be read to its end
};

// The text with every ".djo" (any letter case) removed.
std::string RemoveDocutechMarks(std::string_view text);

class ListingOutput {
public:
    using WriteFn = std::function<bool(std::string_view)>;

    ListingOutput(WriteFn write, bool docutech) : write_(std::move(write)), docutech_(docutech) {}
    ~ListingOutput() = default;
    ListingOutput(const ListingOutput&) = delete;
    ListingOutput& operator=(const ListingOutput&) = delete;

    // The buffer the next lines are appended to; call Commit after adding
    // whole lines.
    std::string& buffer() { return pending_; }
    // Writes the buffer once it has grown past the chunk size; force writes
    // whatever is there. Returns false (and keeps failing) once a write failed.
    bool Commit(bool force = false);
    // Appends whole lines and commits.
    bool Write(std::string_view lines);

    bool ok() const { return ok_; }

private:
    static constexpr std::size_t kChunk = 32 * 1024;

    WriteFn write_;
    bool docutech_;
    bool ok_ = true;
    std::string pending_;
};

}  // namespace orvyn
