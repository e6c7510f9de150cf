// The data side of one FTP session: the data connection commands (PORT,
// EPRT, PASV, EPSV), the transfers that run over it (RETR, STOR, STOU, APPE,
// listings), the restart marker, ABOR, SIZE and MDTM.
//
// One object per session, owned by it; it reaches the session only through
// IDataSession. It owns the data channel (CDataChannel: the data socket and
// how it is set up) and the engine (CTransferEngine: the transfer's file and
// buffers, the send and receive loops). The commands here resolve paths,
// check rights as the logged-in user, open the file or start the conversion
// and hand it to the engine. Loop thread only.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/eventloop/EventLoop.h"
#include "service/transfer/connection/DataChannel.h"
#include "service/transfer/connection/TransferEngine.h"
#include "service/transfer/data/TransferKind.h"

namespace orvyn {

class IDataSession;
class SpoolFile;

class CDataTransfer {
public:
    explicit CDataTransfer(IDataSession& session);
    ~CDataTransfer();
    CDataTransfer(const CDataTransfer&) = delete;
    CDataTransfer& operator=(const CDataTransfer&) = delete;

    // ---- commands (argument as the client sent it; the session's gates have
    // been passed). Each replies and sets the status. ------------------------------
    void Port(std::string_view arg) { channel_.SetTarget(arg, false); }
    void Eprt(std::string_view arg) { channel_.SetTarget(arg, true); }
    void Pasv() { channel_.Pasv(); }
    void Epsv(std::string_view arg) { channel_.Epsv(arg); }
    void Retr(std::string_view arg);
    // STOR (unique false, append false), STOU (unique), APPE (append).
    void Store(std::string_view arg, bool unique, bool append);
    void Rest(std::string_view arg);
    void Abor();
    void Size(std::string_view arg);
    // MDTM path shows the modification time; MDTM with a time before the
    // path ("MDTM YYYYMMDDHHMMSS path", as clients send after an upload)
    // sets it, unless a file of that whole name exists.
    void Mdtm(std::string_view arg);
    // MFMT YYYYMMDDHHMMSS path: sets the modification time (UTC).
    void Mfmt(std::string_view arg);
    // Sets the modification time of the file or folder the client named by
    // pathArg, with the O right, as the user; replies 213 "Modify=..." (or
    // success when given) or 550.
    void SetModifiedTime(time_t when, std::string_view pathArg, std::string_view success = {});
    // SITE CHMOD <octal mode> <path>: the O right, as the user; set-user-ID
    // and set-group-ID bits only where Security\AllowSetId is 1.
    void SiteChmod(std::string_view args);
    // SITE UTIME <time> <path>, or SITE UTIME <path> <atime> <mtime> <ctime> UTC:
    // sets the modification time as MFMT does.
    void SiteUtime(std::string_view args);
    // The file or folder of a time or mode change (what: "time", "mode"):
    // resolved, with the O right; otherwise a 550 and false. The caller
    // holds the user's identity (userOk: it could be taken).
    bool AttributeTarget(std::string_view pathArg, const char* what, bool userOk, std::string& path);
    // The 550 of a time or mode change the system refused with err.
    void RefuseAttributeChange(int err, std::string_view pathArg, const char* what, const std::string& path);
    // TYPE A with the instance value TextLineEnds 1: CR LF <-> LF.
    bool ConvertLineEnds();
    // A restart marker with converted line ends: 504, marker dropped.
    bool RefusedForLineEnds();

    // Sends a listing the caller has written into a spool (kind SendListing
    // or SendMachineListing) over the data connection, through the same send
    // loop as a file: the 150 reply, the data, "226 Transfer finished
    // successfully." and the "Got file listing ..." log line all follow from
    // here. The caller has made its own checks and replies before. Returns
    // false when nothing was started (the failure has been replied).
    bool StartListingTransfer(DataState kind, std::unique_ptr<SpoolFile> spool);

    // Events of the data socket, the passive listener or a conversion's pipe.
    void OnDataEvent(eventloop::Socket s, uint32_t event, int wsaError);

    // Ends whatever runs: a transfer as aborted, else an idle data socket
    // (abortive close). Used by REIN, the end of the session, a time-out and
    // an administrative disconnect.
    void Abandon() { engine_.Abandon(); }
    // AUTH and REIN: a data connection protected by TLS goes.
    bool DropSecurityLayer() { return engine_.DropSecurityLayer(); }
    // The greeting: PORT, EPRT or PASV must be given again.
    void ForgetTarget() { channel_.ForgetTarget(); }
    // REIN: the data connection is set up afresh, EPSV ALL no longer holds
    // and the restart marker goes.
    void Forget();
    // Any command but REST drops the restart marker after it has run.
    void ForgetRestartMarker() { restartMarker_ = 0; }

    // ---- state --------------------------------------------------------------------
    eventloop::Socket dataSocket() const { return channel_.socket(); }
    // The timer tick: a passive listener the transfer command has not yet
    // come for is watched from now on.
    void WatchPassiveListener() { channel_.WatchWaitingListener(); }
    bool SourceOpen() const { return engine_.SourceOpen(); }
    // Data is left to move: QUIT and the closing gate wait for it.
    bool Busy() const { return engine_.Busy(); }
    bool InProgress() const { return engine_.inProgress(); }
    bool WaitingToWrite() const { return engine_.waitingToWrite(); }
    DataState dataState() const { return channel_.state(); }
    uint64_t bytesTransferred() const { return engine_.bytesTransferred(); }
    uint64_t progress() const { return engine_.progress(); }
    // What STAT shows of a running file transfer: the name the client gave,
    // and where it has got in its file (SourcePlace; for a pipe, the bytes
    // moved and the size announced).
    const std::string& clientName() const { return engine_.clientName(); }
    uint64_t fileSize() const { return engine_.fileSize(); }
    bool SourcePlace(uint64_t& position, uint64_t& length) const { return engine_.SourcePlace(position, length); }
    bool epsvAll() const { return channel_.epsvAll(); }
    int64_t restartMarker() const { return restartMarker_; }

    // The session's current folder on disk; without a login (Secure off)
    // the service's own working folder.
    std::string CurrentDirectory();

private:
    // The first step of every transfer command.
    void BeginTransferCommand();
    // Resolves a client path to a disk path; rightsPath receives the path the
    // rights are judged on (the shortcut's place, or the disk path).
    bool Resolve(std::string_view arg, std::string& diskPath, std::string& rightsPath);
    // SIZE and MDTM: resolves the path as the user and checks that one of
    // the rights in `anyOf` is granted there; on success *st holds the
    // file's status. Otherwise the refusal has been replied.
    bool StatForQuery(std::string_view arg, int anyOf, const std::string& missingReply, struct stat* st,
                      std::string* path);
    // Whether the file just opened for diskPath is inside the restriction
    // (logged when it is not).
    bool OpenedInside(const CBigFile& file, const std::string& diskPath);
    // Whether the rights entries grant required at the place the file just
    // opened for diskPath was opened at (logged when not).
    bool OpenedWithRights(const CBigFile& file, const std::string& diskPath, const std::string& rightsPath,
                          int required);
    // Opens the file to store into in its folder as opened and checked, so
    // that a folder swapped for a link meanwhile cannot make it appear (or
    // open it) outside the restriction. One that exists is opened as it is
    // (a link in the folder followed, the result checked by the caller); one
    // that is not there is made anew, never through a link. False when the
    // folder lies outside (logged); file stays empty without a restriction
    // (the ordinary open is used then). Throws CFileException as an open
    // would.
    bool OpenInside(const std::string& path, bool exists, bool append, std::unique_ptr<CBigFile>& file);
    bool HasRights(const std::string& rightsPath, int required);
    // The rights at the place a path is shown and, for one reached through a
    // shortcut, at the place it leads to as well: a shortcut does not lend
    // its folder's rights to a file elsewhere.
    bool HasRightsReached(const std::string& rightsPath, const std::string& diskPath, int required);
    std::string ClientName(const std::string& diskPath);
    // How a conversion of a missing file went: started (the child's output
    // is the transfer's source), none applies, or one applies to a local
    // file the user may not read.
    enum class ConversionStart { Started, None, NoRights };
    // Looks for a conversion of the requested local path. The mapped local
    // file or folder must lie below the restriction root where it really
    // leads (one outside is missing as far as the user can tell) and carry
    // the R right, as for a plain RETR of it, before any child starts.
    ConversionStart StartConversion(const std::string& requested);

    IDataSession& session_;
    CDataChannel channel_;
    CTransferEngine engine_;
    int64_t restartMarker_ = 0;
};

}  // namespace orvyn
