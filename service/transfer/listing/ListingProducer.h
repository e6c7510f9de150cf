// Produces the text of a LIST, NLST or STAT-with-path listing: expands
// wildcards, lists folders (depth first with -R, each later folder under a
// blank line and its path with a colon), single entries (-d, or a path that
// names a file), in the order and line form the options select.
//
// Runs on a listing worker: everything it needs comes in the request
// (copies, or callbacks that own what they use), and it stops at the next
// entry once the stop flag is raised.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <ctime>
#include <deque>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "service/transfer/listing/DirectoryReader.h"
#include "service/transfer/listing/LineFormat.h"
#include "service/transfer/listing/ListEntry.h"
#include "service/transfer/listing/ListOptions.h"
#include "service/transfer/listing/ListingOutput.h"

namespace orvyn {

struct ListingRequest {
    ListOptions options;
    // The disk path of a client path (the real path: through shortcuts and
    // virtual directories), or nothing when it does not resolve or lies
    // outside what the user may see.
    std::function<std::optional<std::string>(const std::string& clientPath)> resolve;
    ReaderSettings reader;
    bool docutech = false;  // take ".djo" out of every line
    std::time_t now = 0;    // reference for the six-month rule; 0: when the listing starts
};

class ListingProducer {
public:
    // stop may be null (never stopped).
    ListingProducer(ListingRequest request, const std::atomic<bool>* stop);

    // Writes the whole listing into out. Stopped when the stop flag was
    // raised, Failed when out refused text or a folder broke off part way.
    ListingOutcome Run(ListingOutput& out);

private:
    enum class Step { Go, Stop, Fail };

    // A folder on the way down a recursive listing.
    struct Ancestor {
        dev_t device;
        ino_t inode;
        std::shared_ptr<const Ancestor> up;
    };

    struct WorkItem {
        std::string path;         // as the client wrote it (or as built from it)
        std::size_t literal = 0;  // leading bytes never taken as wildcards (names read from disk)
        std::shared_ptr<const Ancestor> ancestors;  // the folders recursion came through
    };

    Step Take(const WorkItem& item, ListingOutput& out);
    Step Expand(const WorkItem& item, std::size_t begin, std::size_t end, ListingOutput& out);
    Step ListFolder(const WorkItem& item, const std::string& disk, ListingOutput& out);
    Step ListSingle(const std::string& clientPath, const std::string& disk, ListingOutput& out);
    Step StreamFolder(const std::string& disk, std::vector<std::string>& subfolders, ListingOutput& out);
    // folderSize: the folder's size on disk, a hint of how many entries it holds.
    Step SortedFolder(const std::string& disk, off_t folderSize, std::vector<std::string>& subfolders,
                      ListingOutput& out);
    Step WriteEntries(const std::vector<ListEntry>& entries, bool withTotal, ListingOutput& out);
    // Reads a folder and hands its entries over in the listing's order:
    // seen gets each entry as it is read (for totals and widths), ready is
    // called once all are read, then each gets them in order (false ends
    // it). A large folder is sorted in runs kept in a temporary file
    // (SortedRuns), so no more than one run of entries is held at a time.
    Step ForEachSorted(const std::string& disk, const ReadRequest& read, off_t folderSize,
                       const std::function<void(const ListEntry&)>& seen, const std::function<bool()>& ready,
                       const std::function<bool(ListEntry&&)>& each);
    Step FromStatus(DirectoryReader::Status status) const;
    bool Stopping() const { return reader_.stopRequested(); }

    ListingRequest request_;
    DirectoryReader reader_;
    LineFormatter formatter_;
    std::deque<WorkItem> work_;
    std::size_t sections_ = 0;  // folders and wildcard blocks written so far
};

}  // namespace orvyn
