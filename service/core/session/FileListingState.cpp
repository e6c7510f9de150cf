#include "service/core/session/FileListingState.h"

namespace orvyn {

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
