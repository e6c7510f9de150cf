// The entries of a large folder in sorted runs, kept in a temporary file, so
// that a sorted listing holds one run in memory instead of the whole folder.
//
// The caller gathers entries, sorts each run of them (SortEntries) and adds
// it; Merge then hands every entry over in the listing's order, reading each
// run through a small buffer. The file is created unlinked (as the service,
// readable by it only) and vanishes with the object.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "service/transfer/listing/ListEntry.h"
#include "service/transfer/listing/ListOptions.h"

namespace orvyn {

class SortedRuns {
public:
    // Entries a sorted listing holds before it spills them as a run.
    static constexpr std::size_t kRunEntries = 8192;

    // A store in the system temporary folder; null when no file can be made
    // there (the caller then sorts in memory).
    static std::unique_ptr<SortedRuns> Create();
    ~SortedRuns();
    SortedRuns(const SortedRuns&) = delete;
    SortedRuns& operator=(const SortedRuns&) = delete;

    // Appends one run, already in the listing's order. False when the file
    // could not take it.
    bool Add(const std::vector<ListEntry>& run);
    std::size_t runs() const { return runs_.size(); }

    enum class MergeResult { Done, Stopped, Failed };
    // Hands every entry of every run to sink, in the order of SortEntries
    // with order and reverse over all of them (the runs must have been
    // sorted that way). Entries get owner and group, which must outlive
    // them. Stopped when sink returns false, Failed when a run cannot be
    // read back.
    MergeResult Merge(SortOrder order, bool reverse, std::string_view owner, std::string_view group,
                      const std::function<bool(ListEntry&&)>& sink) const;

private:
    struct Run {
        std::uint64_t begin;
        std::uint64_t end;
    };
    class Reader;

    explicit SortedRuns(int fd) : fd_(fd) {}

    int fd_;
    std::uint64_t size_ = 0;
    std::vector<Run> runs_;
};

}  // namespace orvyn
