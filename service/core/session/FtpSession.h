// One FTP session per accepted control connection: turns received bytes into
// command lines, dispatches them through the command table behind the closing
// and login gates, and writes the replies back.
//
// Everything here runs on the event loop's thread. A session belongs to its
// server instance (CFtpServer), which finds it through its socket-to-session
// map. A session can be destroyed from inside one of its own command handlers
// (QUIT, a refused login, a time-out ...): code that runs after a handler
// therefore keeps what it needs in locals and asks the instance whether the
// session still exists before touching it again.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/eventloop/EventLoop.h"
#include "service/accounts/login/SessionAccount.h"
#include "service/core/session/CommandTable.h"
#include "service/core/session/ReceiveBuffer.h"
#include "service/core/session/ReplyWriter.h"
#include "service/accounts/paths/PathResolver.h"
#include "service/core/session/FileListingState.h"
#include "service/core/session/SessionData.h"
#include "service/transfer/connection/DataTransfer.h"
#include "service/transfer/data/TransferKind.h"
#include "service/transfer/security/SecSock.h"
#include "service/transfer/security/TlsSock.h"

namespace orvyn {

class CFtpServer;
class CFtpSession;
class HeldFolder;
class SpoolFile;

// What the instance keeps per control connection: the receive side and the
// session itself.
struct CSessionRecord {
    explicit CSessionRecord(size_t lineLimit) : buffer(lineLimit) {}
    CReceiveBuffer buffer;
    uint32_t lastActivity = 0;  // loop tick of the last complete command line or data event
    std::unique_ptr<CFtpSession> session;
};

// Representation types.
inline constexpr int kTypeAsciiNonPrint = 0;  // "A N"
inline constexpr int kTypeAsciiTelnet = 1;    // "A T"
inline constexpr int kTypeAsciiCarriage = 2;  // "A C"
inline constexpr int kTypeImage = 5;          // "L 8"

inline constexpr size_t kMaxUserName = 50;
inline constexpr size_t kMaxRemoteHostName = 1024;

// Product version shown in the greeting.
inline constexpr const char* kProductVersion = "1.0";
// Administrator contact shown at the end of the HELP command list.
inline constexpr const char* kAdminContact = "ftp-admin@localhost";

class CFtpSession : public IMacroSource {
public:
    // The current folder on disk that paths count from: the account's, or
    // without a login (Secure off) the service's own working folder.
    std::string DiskCurrentDirectory();
    // A client that sends commands without reading the replies is not read
    // from while this many reply bytes wait; reading resumes once half has
    // gone. Monitor lines are dropped past it.
    static constexpr size_t kReplyBacklogLimit = 256 * 1024;

    CFtpSession(CFtpServer& server, CSessionRecord& record, int connectionNumber);
    ~CFtpSession() override;
    CFtpSession(const CFtpSession&) = delete;
    CFtpSession& operator=(const CFtpSession&) = delete;

    // Accepts a waiting connection from listener; 0 or a Winsock error.
    int AcceptConnection(eventloop::Socket listener);
    // Reads the local address of the control connection (getsockname).
    void ReadLocalAddress();

    // ---- reply operations -------------------------------------------------
    // Expands the macros of catalogue text `number`, formats it with the
    // printf arguments (inserted as they are, never expanded) and hands the
    // result to the reply writer.
    void Reply(int number, ...);
    void ReplyV(int number, va_list ap);
    // As Reply, without printf formatting.
    void ReplyText(int number);
    // Feeds text straight into the reply writer (no macros); continuation is
    // true for free text lines inside a multi-line reply.
    void WriteText(std::string_view text, bool continuation);
    // Sends as much of the reply buffer as the socket takes.
    void SendPending();

    // ---- gates (true means refused; the reply has been sent) --------------
    bool ClosingGate();
    bool LoginGate();

    // ---- lifecycle -----------------------------------------------------------
    // Ends the session: the user count, the data connection, the sending side
    // of the control socket, the log line; then the instance drops and
    // destroys it. The control socket stays open for the instance to close.
    // `this` is gone when it returns.
    void CloseSession();
    void Greet();
    void SayGoodbye();
    // Every per-login field back to its initial value.
    void Reset();
    // The QUIT command's work (farewell, then close unless a transfer runs).
    // Returns true when the session was closed.
    bool Quit();
    // Called by the instance timer after TimeOut seconds of silence; returns
    // true when the session was closed (`this` is gone then).
    bool OnTimeOut();
    // "ORVYN Command" read and write events (close events are the instance's).
    void OnControlEvent(uint32_t event, int wsaError);
    // Command lines the session has taken from the socket but not run yet
    // that may run now, whole in its buffer or still inside a TLS layer: the
    // client's close waits for them (a read event runs them).
    bool LinesWaiting() const;
    // The client has closed (or only shut down its sending side) and the
    // lines it sent that may run have run: the session ends and the socket
    // closes gracefully, the replies still buffered handed to the kernel
    // first (the session is gone afterwards).
    void ClientClosed();
    // Moves whenever a read event takes input or runs a line: a close that
    // waits for lines stops waiting once a read event moves it no further
    // (the layer holds only part of a record, which will not be completed).
    uint64_t inputProgress() const { return inputProgress_; }
    // "ORVYN Data" events of this session's data socket.
    void OnDataEvent(eventloop::Socket s, uint32_t event, int wsaError);
    // Closes the data connection, if any.
    void CloseDataConnection();
    // The data side of the session (service/transfer/connection). Listings
    // hand their output to StartListingTransfer, which sends it over the
    // data connection (150, data, 226, log line) like a file download.
    CDataTransfer& transfer() { return *transfer_; }
    // A transfer has data left to move (its source is open or its last
    // bytes wait to be sent): QUIT and the closing gate wait for it.
    bool TransferBusy() const;
    // kind: DataState::SendListing or DataState::SendMachineListing; false
    // when nothing was started (the failure has been replied).
    bool StartListingTransfer(DataState kind, std::unique_ptr<SpoolFile> spool);

    // ---- state read by the instance and by other commands ------------------
    CFtpServer& server() { return server_; }
    CSessionRecord& record() { return record_; }
    int connectionNumber() const { return connectionNumber_; }
    void setConnectionNumber(int n) { connectionNumber_ = n; }
    eventloop::Socket controlSocket() const { return socket_; }
    const sockaddr_storage& peerAddress() const { return peer_; }
    socklen_t peerLength() const { return peerLen_; }
    const sockaddr_storage& localAddress() const { return local_; }
    socklen_t localLength() const { return localLen_; }
    std::string PeerAddressText() const;

    bool acceptingCommands() const { return accepting_; }
    void setAcceptingCommands(bool on) { accepting_ = on; }
    // Atomic exchange of the counted-as-user flag; returns the old value.
    bool ExchangeCountedAsUser(bool on) { return countedAsUser_.exchange(on); }
    bool countedAsUser() const { return countedAsUser_.load(); }

    bool loggedIn() const { return loggedIn_; }
    const std::string& userName() const { return userName_; }
    const std::string& userDetail() const { return userDetail_; }
    int representationType() const { return type_; }
    bool blockMode() const { return blockMode_; }
    int structure() const { return structure_; }
    const std::string& lastCommand() const { return lastCommand_; }
    const std::string& statusText() const { return status_; }
    void setStatusText(std::string text) { status_ = std::move(text); }
    bool monitor() const { return monitor_; }
    void setMonitor(bool on);
    int replyHoldCount() const { return holdCount_; }
    void setReplyHoldCount(int n) { holdCount_ = n; }
    // The hold has run out: the held replies go, and held commands are read.
    void EndHold();
    // SITE CHMOD and SITE UTIME with the subcommand's own arguments.
    void SiteChmod(std::string_view args);
    void SiteUtime(std::string_view args);
    // Replies collect while corked and go out together at the uncork.
    void CorkReplies(bool on) {
        corked_ = on;
        if (!on) SendPending();
    }
    int64_t restartMarker() const { return transfer_->restartMarker(); }
    const std::string& pendingReplyBytes() const { return replyBuf_; }

    // Reverse lookup bookkeeping (the instance starts and finishes it).
    void SetLookupPending(int handle) { lookupHandle_ = handle; }
    int lookupHandle() const { return lookupHandle_; }
    void LookupFinished(int wsaError, const std::string& name);
    bool waitingForName() const { return waitForName_; }
    void setWaitingForName(bool on) { waitForName_ = on; }
    // The host check that waited for the client's name has let the session
    // in: commands that came meanwhile are read now.
    void HostCheckDone();
    const std::string& remoteHostName() const { return remoteHost_; }

    // Data connection state (kept by the data side).
    eventloop::Socket dataSocket() const { return transfer_->dataSocket(); }
    void WatchPassiveListener() { transfer_->WatchPassiveListener(); }
    // A login's slow question (PAM, the external library) on a worker, and
    // what to do with the answer on this thread; commands wait meanwhile.
    // False when no worker could be started.
    bool AskAside(std::function<void()> ask, std::function<void(CFtpSession&)> answer);
    bool transferInProgress() const { return transfer_->InProgress(); }
    bool transferWaitingToWrite() const { return transfer_->WaitingToWrite(); }
    uint64_t transferProgress() const { return transfer_->progress(); }
    // A listing worker still running.
    bool workerRunning() const { return files_.WorkerRunning(); }
    // The listings in progress and the rename source.
    CFileListingState& files() { return files_; }

    // The login message of a directory ("message.ftp") as continuation
    // lines of reply code `code` (230 at login, 250 on CWD).
    void SendLoginMessage(const std::string& directory, int code);
    // The resolver of client paths with the instance's join method.
    PathResolver Resolver() const;

    // ---- account -------------------------------------------------------------
    // Who is logged in, where, with which rights (USER and PASS fill it).
    CSessionAccount& account() { return account_; }
    const CSessionAccount& account() const { return account_; }
    void setUserName(std::string name) { userName_ = std::move(name); }
    void setUserDetail(std::string detail) { userDetail_ = std::move(detail); }
    void setLoggedIn(bool on) { loggedIn_ = on; }
    int protectionState() const { return protection_; }
    // The control connection's TLS layer, or null while it is plain.
    const CTlsSock* controlTls() const { return controlTls_.get(); }
    // A new TLS layer for a connection of this session (the control
    // connection, or a data connection), its credentials acquired and its
    // handshake started; null after a failure, whose code is in *error.
    std::unique_ptr<CTlsSock> NewTlsLayer(CTlsSock::Role role, unsigned long* error);
    // A connection on the implicit-TLS port: the control connection is
    // protected from the start. False when no layer could be set up (the
    // caller closes the connection without a greeting).
    bool StartImplicitTls();

    // ---- IMacroSource ---------------------------------------------------------
    bool LoggedIn() override { return loggedIn_; }
    bool LoginRequired() override;
    std::string CurrentDirectory() override;
    std::string Email() override;
    std::string FreeSpaceKb() override;
    std::string HostName() override { return LocalHostName(); }
    long MaxUsers() override;
    long UserCount() override;
    bool HostLookupPending() override { return lookupHandle_ != 0; }
    std::string RemoteHostName() override { return remoteHost_; }
    std::string UserName() override { return userName_; }
    std::string UserDetail() override { return userDetail_; }

private:
    friend struct CommandRows;  // the command table names the handlers

    enum class LineOutcome { Continue, StopParsing, Gone };

    void OnRead();
    void HoldCommands();
    LineOutcome ProcessLine(std::string& line);
    void Log(char category, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    void LogSocketError(int wsaError, int site, const char* call);
    void Feed(std::string_view text, bool continuation);
    void FlushBeforeClose();

    // Applies the row's gates and runs its handler.
    void Dispatch(const CommandEntry& command, std::string_view arg);

    // ---- command handlers, run only by Dispatch through the command table
    // Commands of the session itself (SmallCommands.cpp).
    void OnType(std::string_view arg);
    void OnMode(std::string_view arg);
    void OnStru(std::string_view arg);
    void OnRein(std::string_view arg);
    void OnHelp(std::string_view arg);
    void OnSyst(std::string_view arg);
    void OnNoop(std::string_view arg);
    void OnAcct(std::string_view arg);
    void OnQuit(std::string_view arg);
    // USER and PASS (LoginCommands.cpp)
    void OnUser(std::string_view arg);
    void OnPass(std::string_view arg);
    // Files, folders and listings (FileCommands.cpp, ListingCommands.cpp)
    void OnPwd(std::string_view arg);
    void OnCwd(std::string_view arg);
    void OnCdup(std::string_view arg);
    void OnMkd(std::string_view arg);
    void OnRmd(std::string_view arg);
    void OnDele(std::string_view arg);
    void OnRnfr(std::string_view arg);
    void OnRnto(std::string_view arg);
    void OnFeat(std::string_view arg);
    void OnOpts(std::string_view arg);
    void OnMlst(std::string_view arg);
    void OnStat(std::string_view arg);
    void OnList(std::string_view arg);
    void OnNlst(std::string_view arg);
    void OnMlsd(std::string_view arg);
    // LIST and NLST: a listing worker whose output goes over the data connection.
    void StartDataListing(std::string_view arg, const char* command, char defaultLetter);
    // Hands a finished LIST, NLST or MLSD listing to the data connection.
    void SendDataListing();
    // The rights mask at a disk path, and whether it holds all of required.
    // Without a login (Secure off): RightsWithoutLogin, as for transfers and
    // listings.
    int RightsAt(const std::string& diskPath);
    bool HasRightsAt(const std::string& diskPath, int required);
    // Resolves a client path against the session's root and current directory.
    bool ResolvePath(std::string_view ftpPath, std::string& diskPath, std::string* linkBase = nullptr);
    // The disk path of a symbolic link named by a client path that does not
    // resolve (dangling, looping or leading out of the root): its folder
    // resolved like any path, then its own name. DELE and RNFR act on the
    // link itself, never on what it leads to. Empty when the path does not
    // name such a link.
    std::string ResolveLinkItself(std::string_view ftpPath);
    // Runs work (mkdirat, unlinkat) on the last name of diskPath in its
    // folder held open and judged against the restriction root, so that a
    // folder on the way swapped for a link after the rights check cannot
    // move the work outside. False with errno set when it fails or the
    // folder is outside (EACCES, logged).
    bool InHeldFolder(const std::string& diskPath, int (*work)(int folder, const char* name));
    // The folder of diskPath held open and judged, for work on its last
    // name; null with errno set when it cannot be (EACCES for the root
    // itself, a virtual directory's folder, or a folder reached outside the
    // root, which is logged).
    std::unique_ptr<HeldFolder> HoldFolderOf(const std::string& diskPath);
    // A spool for a new listing holding the listing's place in the
    // instance's bound; null, after a 450 reply and a log line, when the
    // bound is reached.
    std::unique_ptr<SpoolFile> ListingSpool(const char* command);
    // Starts a STAT listing of the argument on a worker thread.
    void StartStatListing(std::string_view arg);
    // Copies a finished STAT listing into the open 213 reply and ends it.
    void PumpStatListing();
    // Ends an open STAT reply at once (at a line end), stopping its worker.
    void CutStatListing();

    // SITE and its subcommands (service/core/admin).
    void OnSite(std::string_view arg);
    // AUTH, PBSZ, PROT (SecurityCommands.cpp)
    void OnAuth(std::string_view arg);
    void OnPbsz(std::string_view arg);
    void OnProt(std::string_view arg);
    // AUTH and REIN: both connections back to the plain layer.
    void DropSecurityLayers();
    // SMNT, MACB, HOST: "502 ... not implemented".
    void OnNotImplemented(std::string_view arg);
    // The not-found row: "500 ... not understood".
    void OnUnidentified(std::string_view arg);
    // The data connection and transfers (TransferCommands.cpp)
    void OnPort(std::string_view arg);
    void OnEprt(std::string_view arg);
    void OnPasv(std::string_view arg);
    void OnEpsv(std::string_view arg);
    void OnRetr(std::string_view arg);
    void OnStor(std::string_view arg);
    void OnStou(std::string_view arg);
    void OnAppe(std::string_view arg);
    void OnRest(std::string_view arg);
    void OnAbor(std::string_view arg);
    void OnSize(std::string_view arg);
    void OnMdtm(std::string_view arg);
    void OnMfmt(std::string_view arg);
    void OnClnt(std::string_view arg);
    void OnOptsUtf8(std::string_view arg);
    // HASH (HashCommands.cpp)
    void OnHash(std::string_view arg);
    void FinishHash();
    // RNTO across file systems: the copy on a worker, and its reply.
    void StartMove(const std::string& source, const std::string& target, const std::string& argument);
    void FinishMove();
    // The answer to a login's question asked aside (LoginCommands.cpp).
    void FinishAsking();
    // After a command (or a login's answer): a session that no longer
    // accepts commands sends its 421 and ends. True when it has ended.
    bool EndedForRefusing();
    // RNTO's reply and log line for the outcome of a move (0 or errno).
    void ReplyRenamed(int err, const std::string& argument, const std::string& source, const std::string& target);
    // Reading commands again after a hold or a move.
    void ResumeCommands();
    // Whether the next command must wait: the host check waiting for the
    // client's name, a refused login's hold, a move to another file system,
    // a HASH being computed, or a STAT reply whose listing is still coming
    // (later replies go behind it).
    bool CommandsWait() const;
    // Whether the only wait is for a HASH, which an ABOR may still stop.
    bool OnlyAbortMayPass() const;
    // Whether the first buffered line is a whole ABOR command.
    bool NextLineIsAbort() const;
    // Whether the first buffered line may run now: nothing waits, or it is
    // the ABOR that stops a HASH.
    bool NextLineMayRun() const;
    // ABOR of a LIST, NLST or MLSD listing still being built: stops it with
    // the abort replies; false when none is.
    bool StopDataListing();
    // A worker's completion: a write event for the control socket, which the
    // session's sending side turns into the next step.
    ListingJob::Completion PostWhenDone();
    // Stops a running HASH with its 426; false when none runs.
    bool StopHash();
    void OptsHash(std::string_view value);
    // MLST and MLSD while the instance's MLST setting is 0.
    bool MachineListingDisabled();

    CFtpServer& server_;
    CSessionRecord& record_;
    int connectionNumber_;
    eventloop::Socket socket_ = eventloop::INVALID_SOCKET;
    CSecSock* controlLayer_ = &CSecSock::Plain();
    std::unique_ptr<CTlsSock> controlTls_;  // the control layer when it is not the plain one
    int protection_ = 0;
    sockaddr_storage peer_{};
    socklen_t peerLen_ = 0;
    sockaddr_storage local_{};
    socklen_t localLen_ = 0;
    std::string remoteHost_;
    int lookupHandle_ = 0;
    bool waitForName_ = false;

    std::string replyBuf_;
    CReplyWriter writer_;
    int holdCount_ = 0;
    bool commandsHeld_ = false;  // reading stopped for the hold
    bool corked_ = false;
    bool accepting_ = true;
    std::atomic<bool> countedAsUser_{false};
    bool loggedIn_ = false;
    std::string userName_;
    std::string userDetail_;
    int type_ = kTypeAsciiNonPrint;
    bool blockMode_ = false;
    int structure_ = 0;
    std::string lastCommand_ = "<<None>>";
    std::string status_;
    bool monitor_ = false;
    bool quitRequested_ = false;  // QUIT was the reason for closing
    // After QUIT: the session ends once the client has taken the replies
    // still buffered (the farewell among them).
    bool closeWhenSent_ = false;
    std::string_view currentLine_;  // the whole line of the command being run
    bool readPaused_ = false;       // reading stopped until the reply backlog drains
    uint64_t inputProgress_ = 0;    // bytes taken and lines run (inputProgress)
    bool closingRefused_ = false;   // the closing gate refused during the current command
    // Who is logged in; the home and current directories live here too.
    CSessionAccount account_;
    CFileListingState files_;
    // A login's question while a worker asks it, and what takes the answer.
    std::unique_ptr<ListingJob> loginJob_;
    std::function<void(CFtpSession&)> loginAnswer_;
    // The data side and what it reaches the session through (declared first,
    // so that it outlives the data side).
    CSessionData dataLink_{*this};
    std::unique_ptr<CDataTransfer> transfer_;
};

}  // namespace orvyn
