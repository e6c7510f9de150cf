// HASH and OPTS HASH: the digest of a whole file, computed by a worker
// thread as the user; its 213 reply follows when the worker is done, and
// later commands wait for it, except ABOR, which stops it (as do REIN and
// the end of the session). The
// worker counts towards the instance's listing bounds.
#include <cerrno>
#include <cstring>

#include "service/accounts/paths/PathRights.h"
#include "service/base/text/NoCase.h"
#include "service/core/server/FtpServer.h"
#include "service/core/session/FtpSession.h"
#include "service/transfer/files/FileDigest.h"

namespace orvyn {

void CFtpSession::OnHash(std::string_view arg) {
    status_ = "Fail";
    const std::string shown(arg.substr(0, 256));
    if (files_.hashJob) {
        WriteText("450 A hash is being computed already - wait for its reply.\r\n", false);
        return;
    }
    std::string path;
    bool granted = false;
    {
        UserIdentity user(account_.rights());
        if (user.ok() && ResolvePath(arg, path)) {
            granted = HasRightsAt(path, kRightRead);
        }
    }
    if (!granted) {
        Log('C', "HASH failed - no rights");
        WriteText("550 You do not have rights to read file " + shown + "\r\n", false);
        return;
    }
    // A digest is worker work like a listing, and takes a place in the same
    // bounds.
    std::unique_ptr<SpoolFile> spool = ListingSpool("HASH");
    if (!spool) return;
    const DigestKind kind = files_.hashKind;
    const std::string reply = std::string("213 ") + DigestName(kind) + " 0-";
    ListingJob::Work work = [path, kind, reply, shown](SpoolFile& out, const std::atomic<bool>& stop) {
        const DigestResult r = DigestFile(path, kind, stop);
        switch (r.outcome) {
            case DigestResult::Outcome::Stopped:
                return ListingOutcome::Stopped;
            case DigestResult::Outcome::Done:
                out.Write(reply + std::to_string(r.size) + " " + r.hex + " " + shown + "\r\n");
                break;
            case DigestResult::Outcome::Failed:
                out.Write(r.error == ENOENT || r.error == ENOTDIR || r.error == EISDIR
                              ? "550 Error: File " + shown + " either does not exist, or is not a normal file\r\n"
                              : "451 Could not read " + shown + ": " + std::strerror(r.error) + "\r\n");
                break;
        }
        return ListingOutcome::Completed;
    };
    files_.hashJob = std::make_unique<ListingJob>(account_.token(), std::move(spool), std::move(work), PostWhenDone());
    if (!files_.hashJob->Start()) {
        files_.hashJob.reset();
        WriteText("451 The hash could not be started.\r\n", false);
        return;
    }
    Log('C', "%s hash of %s started", DigestName(kind), path.c_str());
    status_ = "Started";
}

void CFtpSession::FinishHash() {
    std::string text = CFileListingState::TakeText(files_.hashJob);
    if (text.empty()) text = "451 The hash could not be computed.\r\n";
    WriteText(text, false);
    status_ = text.compare(0, 4, "213 ") == 0 ? "Success" : "Fail";
    Log('C', "HASH finished - %.3s", text.c_str());
    if (!CommandsWait()) ResumeCommands();
}

bool CFtpSession::StopHash() {
    if (!files_.hashJob) return false;
    files_.hashJob->Stop();
    files_.hashJob.reset();
    WriteText("426 Hash computation aborted.\r\n", false);
    Log('C', "HASH aborted");
    return true;
}

void CFtpSession::OptsHash(std::string_view value) {
    if (!value.empty()) {
        const std::optional<DigestKind> kind = DigestByName(value);
        if (!kind) {
            WriteText("501 Unknown algorithm, current selection not changed\r\n", false);
            status_ = "Fail";
            return;
        }
        files_.hashKind = *kind;
    }
    WriteText(std::string("200 ") + DigestName(files_.hashKind) + "\r\n", false);
    status_ = "Success";
}

}  // namespace orvyn
