// Produces the text of an MLSD listing: one line of facts and a name per
// entry, "." as the cdir entry named by the folder's client path, ".." as the
// pdir entry named by its parent's, and a cdir line at the end when the
// folder did not report "." itself. Entries are written in the order the
// file system returns them, so nothing is held in memory.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "service/transfer/listing/DirectoryReader.h"
#include "service/transfer/listing/ListEntry.h"
#include "service/transfer/listing/ListingOutput.h"
#include "service/transfer/listing/Mlst.h"

namespace orvyn {

// Writes the lines of one folder's entries.
class MachineLineWriter {
public:
    // folderClient: the folder's client path (the cdir name); parentClient:
    // its parent's, or nothing when the client cannot see the parent (the
    // pdir line is then left out).
    MachineLineWriter(const MLST& mlst, std::string folderClient, std::optional<std::string> parentClient,
                      ListingOutput& out)
        : mlst_(mlst), folderClient_(std::move(folderClient)), parentClient_(std::move(parentClient)), out_(out) {}

    // One entry as the reader reports it in machine form ("." and ".."
    // included). Returns false once the output failed.
    bool Add(const ListEntry& entry);
    bool sawCurrent() const { return sawCurrent_; }

private:
    bool WriteLine(MlstType type, const ListEntry& entry, const std::string& name);

    const MLST& mlst_;
    std::string folderClient_;
    std::optional<std::string> parentClient_;
    ListingOutput& out_;
    bool sawCurrent_ = false;
};

class MachineListing {
public:
    // mlst: a copy of the session's state (facts and upload permission).
    // stop may be null.
    MachineListing(MLST mlst, ReaderSettings reader, const std::atomic<bool>* stop)
        : mlst_(mlst), reader_(std::move(reader), stop) {}

    // Lists the folder at disk path folder. The cdir and pdir names come from
    // the reader's clientPathOf.
    ListingOutcome Run(const std::string& folder, ListingOutput& out);

private:
    MLST mlst_;
    DirectoryReader reader_;
};

}  // namespace orvyn
