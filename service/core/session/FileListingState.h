// What the file, directory and listing commands keep for one session: the
// rename source between RNFR and RNTO, the MLST facts chosen with OPTS, and
// a STAT listing while its worker builds it and while its lines go out on
// the control connection.
#pragma once

#include <memory>
#include <optional>
#include <sys/types.h>
#include <string>

#include "service/transfer/data/TransferKind.h"
#include "service/transfer/files/FileDigest.h"
#include "service/transfer/listing/ListingJob.h"
#include "service/transfer/listing/Mlst.h"
#include "service/transfer/listing/SpoolFile.h"

namespace orvyn {

class CFileListingState {
public:
    CFileListingState() = default;
    CFileListingState(const CFileListingState&) = delete;
    CFileListingState& operator=(const CFileListingState&) = delete;

    // Back to the state of a new session; a running worker is stopped.
    // Returns true when a STAT reply was still open (its final line is then
    // owed to the client).
    bool Reset();

    // What a finished worker wrote into its spool; the job goes.
    static std::string TakeText(std::unique_ptr<ListingJob>& job);

    // Whether a listing worker is still running.
    bool WorkerRunning() const {
        return Running(statJob) || Running(dataJob) || Running(hashJob) || Running(moveJob);
    }
    // Whether a LIST, NLST or MLSD listing is ready to go over the data
    // connection.
    bool DataListingReady() const { return dataJob && dataJob->finished(); }
    // Whether the lines of a finished STAT listing wait to be sent.
    bool StatOutputWaiting() const {
        return statOpen && !pumping && (statSpool || (statJob && statJob->finished()));
    }

    // Set by RNFR, consumed by RNTO: the source's disk path, and what that
    // path led to when RNFR judged it (the source and its folder), so that
    // RNTO renames the very file RNFR allowed and not what a folder swapped
    // for a link since leads to.
    std::optional<std::string> renameSource;
    struct PlaceId {
        dev_t dev = 0;
        ino_t ino = 0;
        dev_t folderDev = 0;
        ino_t folderIno = 0;
        bool operator==(const PlaceId&) const = default;
    };
    PlaceId renameSourceId;
    MLST mlst;

    // The STAT listing: the job while the worker builds it, then its spool.
    std::unique_ptr<ListingJob> statJob;
    std::unique_ptr<SpoolFile> statSpool;
    // A LIST, NLST or MLSD listing while the worker builds it.
    std::unique_ptr<ListingJob> dataJob;
    DataState dataKind = DataState::SendListing;
    std::string dataName;   // "File Listing \"...\"" while it is built
    std::string statName;   // "File Listing \"...\"" while it runs
    bool statOpen = false;  // a "213-" reply waits for its lines and its end
    bool pumping = false;   // the spool is being copied into the reply buffer
    // HASH: the worker computing a digest, and the algorithm OPTS HASH chose.
    std::unique_ptr<ListingJob> hashJob;
    DigestKind hashKind = DigestKind::Sha256;
    bool HashReady() const { return hashJob && hashJob->finished(); }
    // RNTO to another file system: the worker copying the file, and what the
    // reply and the log will name. Commands wait while it runs.
    std::unique_ptr<ListingJob> moveJob;
    std::string moveSource, moveTarget, moveArgument;
    bool MoveReady() const { return moveJob && moveJob->finished(); }

private:
    static bool Running(const std::unique_ptr<ListingJob>& job) {
        return job && job->started() && !job->finished();
    }
};

}  // namespace orvyn
