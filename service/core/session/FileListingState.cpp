#include "service/core/session/FileListingState.h"

namespace orvyn {

std::string CFileListingState::TakeText(std::unique_ptr<ListingJob>& job) {
    std::unique_ptr<SpoolFile> spool = job ? job->TakeSpool() : nullptr;
    job.reset();
    std::string text;
    char buffer[512];
    ssize_t n;
    while (spool && (n = spool->Read(buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    return text;
}

bool CFileListingState::Reset() {
    renameSource.reset();
    mlst = MLST();
    if (statJob) statJob->Stop();
    statJob.reset();
    if (dataJob) dataJob->Stop();
    dataJob.reset();
    if (hashJob) hashJob->Stop();
    hashJob.reset();
    hashKind = DigestKind::Sha256;
    // A move stopped half-way removes its copy and keeps the original.
    if (moveJob) moveJob->Stop();
    moveJob.reset();
    moveSource.clear();
    moveTarget.clear();
    moveArgument.clear();
    statSpool.reset();
    statName.clear();
    const bool wasOpen = statOpen;
    statOpen = false;
    pumping = false;
    return wasOpen;
}

}  // namespace orvyn
