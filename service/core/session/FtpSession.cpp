#include "service/core/session/FtpSession.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>

#include "platform/eventloop/Winsock.h"
#include "service/core/server/FtpServer.h"
#include "service/core/server/HostRules.h"
#include "service/core/server/Listener.h"
#include "service/accounts/paths/DeviceNames.h"
#include "service/base/replies/Catalogue.h"
#include "service/base/text/NoCase.h"
#include "service/core/session/CommandTable.h"
#include "service/core/admin/MonitorFeed.h"
#include "service/core/admin/SiteCommands.h"

namespace orvyn {

using eventloop::FD_CLOSE;
using eventloop::FD_READ;
using eventloop::FD_WRITE;
using eventloop::INVALID_SOCKET;
using eventloop::Message;

namespace {

// Call sites named in "Conn - Status" lines.
constexpr int kSiteRecv = 1101;
constexpr int kSiteSend = 1102;
constexpr int kSiteShutdown = 1103;

// The reply buffer grows in steps of this size and is given back once it
// has been emptied after growing beyond it.
constexpr size_t kReplyStep = 4096;
// Command lines one read event runs before the session yields to the others
// of the process: a client that sends thousands of commands in one go (each
// may cost a flushed log line) must not hold up everybody else meanwhile.
constexpr int kLinesPerTurn = 8;
constexpr uint32_t kControlEvents = FD_READ | FD_WRITE | FD_CLOSE;

}  // namespace

CFtpSession::CFtpSession(CFtpServer& server, CSessionRecord& record, int connectionNumber)
    : server_(server), record_(record), connectionNumber_(connectionNumber) {
    transfer_ = std::make_unique<CDataTransfer>(dataLink_);
    Reset();
}

CFtpSession::~CFtpSession() {
    Reset();
    controlLayer_ = &CSecSock::Plain();
    controlTls_.reset();
    protection_ = 0;
    server_.NotifyObservers(*this, true);
    if (countedAsUser_.exchange(false)) server_.DecrementUserCount();
    if (lookupHandle_ != 0) server_.CancelLookup(*this);
    SecureWipe(replyBuf_);
}

int CFtpSession::AcceptConnection(eventloop::Socket listener) {
    peerLen_ = sizeof peer_;
    int err = 0;
    eventloop::Socket s = server_.loop().Accept(listener, reinterpret_cast<sockaddr*>(&peer_), &peerLen_, &err);
    if (s == INVALID_SOCKET) {
        peerLen_ = 0;
        return err != 0 ? err : eventloop::WSAEINVAL;
    }
    socket_ = s;
    return 0;
}

void CFtpSession::ReadLocalAddress() {
    localLen_ = sizeof local_;
    if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&local_), &localLen_) != 0) localLen_ = 0;
}

std::string CFtpSession::PeerAddressText() const {
    return AddressText(reinterpret_cast<const sockaddr*>(&peer_), peerLen_);
}

void CFtpSession::Log(char category, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    server_.log().LogV(connectionNumber_, category, fmt, ap);
    va_end(ap);
}

void CFtpSession::LogSocketError(int wsaError, int site, const char* call) {
    Log('?', "Conn - Status %d Line %d doing %s on %d", wsaError, site, call, socket_);
}

// ---- replies ------------------------------------------------------------------

void CFtpSession::Reply(int number, ...) {
    va_list ap;
    va_start(ap, number);
    ReplyV(number, ap);
    va_end(ap);
}

void CFtpSession::ReplyV(int number, va_list ap) {
    const char* fmt = MessageText(number);
    if (fmt == nullptr) {
        Log('>', "Message %d is not in the catalogue", number);
        return;
    }
    // The catalogue text's macros are expanded before the arguments go in:
    // an argument may hold what a client sent (a command, a file name),
    // which is shown as it is and never expanded.
    const std::string format = ExpandMacrosInFormat(fmt, *this);
    std::string text;
    if (!FormatCapped(text, format.c_str(), ap)) {
        std::string_view shown(fmt);
        const bool endsLine = shown.size() >= 2 && shown.substr(shown.size() - 2) == "\r\n";
        if (endsLine) shown.remove_suffix(2);
        Log('>', "Format string \"%.*s\" too long!", static_cast<int>(shown.size()), shown.data());
        // The cut text still ends its line: a reply without its line end is
        // never complete, and the client would wait for it for ever.
        if (endsLine && text.size() >= 2) {
            text.resize(text.size() - 2);
            text += "\r\n";
        }
    }
    Feed(text, false);
}

void CFtpSession::ReplyText(int number) {
    const char* text = MessageText(number);
    if (text == nullptr) {
        Log('>', "Message %d is not in the catalogue", number);
        return;
    }
    Feed(ExpandMacros(text, *this), false);
}

void CFtpSession::WriteText(std::string_view text, bool continuation) { Feed(text, continuation); }

void CFtpSession::Feed(std::string_view text, bool continuation) {
    if (writer_.Feed(text, continuation, replyBuf_)) SendPending();
}

void CFtpSession::SendPending() {
    if (socket_ == INVALID_SOCKET) return;
    eventloop::EventLoop& loop = server_.loop();
    if (holdCount_ > 0 || corked_ || replyBuf_.empty()) {
        controlLayer_->Flush(loop, socket_);
        return;
    }
    size_t sent = 0;
    while (sent < replyBuf_.size()) {
        int err = 0;
        long n = controlLayer_->Send(loop, socket_, replyBuf_.data() + sent, replyBuf_.size() - sent, &err);
        if (n <= 0) {
            // A TLS layer still in its handshake takes the reply later.
            if (n < 0 && !(controlTls_ && err == eventloop::WSAEWOULDBLOCK)) LogSocketError(err, kSiteSend, "send");
            break;
        }
        sent += static_cast<size_t>(n);
    }
    replyBuf_.erase(0, sent);
    if (replyBuf_.empty() && replyBuf_.capacity() > kReplyStep) std::string().swap(replyBuf_);
    if (readPaused_ && replyBuf_.size() < kReplyBacklogLimit / 2) {
        readPaused_ = false;
        loop.AsyncSelect(socket_, &server_, Message::Command, kControlEvents);
        // Selecting again reports what waits in the socket, not the lines
        // already taken from it.
        if (record_.buffer.HasLine() || controlLayer_->HasBufferedInput()) {
            loop.PostEvent(&server_, Message::Command, socket_, FD_READ);
        }
    }
}

// Sends what is still buffered before the connection closes: a reply held
// back (after a rejected password) or not yet taken by the socket would
// otherwise be lost with the session.
void CFtpSession::FlushBeforeClose() {
    holdCount_ = 0;
    corked_ = false;
    SendPending();
}

// ---- gates ----------------------------------------------------------------------

bool CFtpSession::ClosingGate() {
    if (accepting_) return false;
    closingRefused_ = true;
    ReplyText(MSG_SERVICE_NOT_AVAILABLE);
    Log('L', "Connection terminated - closing connection");
    return true;
}

bool CFtpSession::LoginGate() {
    if (!server_.settings().secure) return false;
    if (!loggedIn_) {
        Log('C', "Command not accepted - user must be logged in");
        ReplyText(MSG_NOT_LOGGED_IN);
        status_ = "Fail";
        return true;
    }
    // Logged in: the current directory, or else the home directory, must
    // still be there for the user.
    if (account_.CheckDirectories(&server_.log(), connectionNumber_)) return false;
    Log('L', "User logged out - path _and_ home directory no longer exist.");
    ReplyText(MSG_DIRECTORIES_DELETED);
    status_ = "Fail";
    loggedIn_ = false;
    userName_.clear();
    return true;
}

// ---- lifecycle --------------------------------------------------------------------

void CFtpSession::Reset() {
    type_ = server_.singleSessionMode() ? kTypeImage : kTypeAsciiNonPrint;
    blockMode_ = false;
    structure_ = 0;
    userName_.clear();
    userDetail_.clear();
    loggedIn_ = false;
    accepting_ = true;
    account_.Reset();
    // A running listing worker stops here.
    files_.Reset();
    CloseDataConnection();
    transfer_->Forget();
    setMonitor(false);
}

void CFtpSession::setMonitor(bool on) {
    if (monitor_ == on) return;
    monitor_ = on;
    server_.monitors().MonitorToggled(*this, on);
}

void CFtpSession::Greet() {
    // The greeting and farewell lines are the administrators' own text:
    // their macros are expanded.
    for (const std::string& line : server_.greetingLines()) {
        Reply(MSG_GREET_LINE, ExpandMacros(line, *this).c_str());
    }
    Reply(MSG_GREET, kProductVersion);
    Log('L', "Accepted connection from %s", PeerAddressText().c_str());
    transfer_->ForgetTarget();
}

void CFtpSession::SayGoodbye() {
    for (const std::string& line : server_.farewellLines()) {
        Reply(MSG_GOODBYE_LINE, ExpandMacros(line, *this).c_str());
    }
    ReplyText(MSG_GOODBYE);
}

bool CFtpSession::Quit() {
    SayGoodbye();
    status_ = "Success";
    // A busy transfer ends first. After the client's QUIT, replies it has
    // not taken yet (it sent the QUIT behind commands whose replies it reads
    // only now) go before the session ends, from write events.
    const bool unsent = quitRequested_ && !replyBuf_.empty() && socket_ != INVALID_SOCKET;
    if (!TransferBusy() && !unsent) {
        CloseSession();
        return true;
    }
    closeWhenSent_ = !TransferBusy();
    accepting_ = false;
    return false;
}

void CFtpSession::CloseSession() {
    CFtpServer& server = server_;
    if (countedAsUser_.exchange(false)) {
        if (server.registry().ReadInt("Messages", "PlayGoodbyeSound", 0) == 1) server.PlayGoodbyeSound();
        server.DecrementUserCount();
    }
    if (dataSocket() != INVALID_SOCKET) CloseDataConnection();
    FlushBeforeClose();
    if (socket_ != INVALID_SOCKET) {
        int err = controlLayer_->ShutdownSend(server_.loop(), socket_);
        if (err != 0) LogSocketError(err, kSiteShutdown, "shutdown");
    }
    if (loggedIn_) {
        Log('L', "QUIT or close - user %s logged out", userName_.c_str());
    } else {
        Log('L', "QUIT or close - no user name given.");
    }
    const bool single = server.singleSessionMode();
    const int exitCode = quitRequested_ ? 0 : -1;
    eventloop::EventLoop& loop = server.loop();
    server.DestroySession(record_);  // destroys this session
    if (single) loop.Quit(exitCode);
}

bool CFtpSession::OnTimeOut() {
    // A move to another file system, or a hash, takes as long as the file
    // needs: the client waits for the server.
    if (files_.moveJob || files_.hashJob) return false;
    if (dataSocket() == INVALID_SOCKET) {
        CFtpServer& server = server_;
        const eventloop::Socket s = socket_;
        server.loop().AsyncSelect(s, nullptr, Message::Command, 0);
        Reply(MSG_TIMEOUT, static_cast<int>(server.settings().timeOut));
        Log('L', "Connection timed out.");
        CloseSession();
        server.CloseControlSocket(s, false);
        return true;
    }
    if (workerRunning()) return false;
    if (transferInProgress() || TransferBusy()) ReplyText(MSG_TRANSFER_TIMEOUT);
    CloseDataConnection();
    Log('!', "Timeout while transferring data");
    return false;
}

void CFtpSession::CloseDataConnection() { transfer_->Abandon(); }

void CFtpSession::OnDataEvent(eventloop::Socket s, uint32_t event, int wsaError) {
    transfer_->OnDataEvent(s, event, wsaError);
}

bool CFtpSession::TransferBusy() const { return transfer_->Busy(); }

bool CFtpSession::StartListingTransfer(DataState kind, std::unique_ptr<SpoolFile> spool) {
    return transfer_->StartListingTransfer(kind, std::move(spool));
}

void CFtpSession::LookupFinished(int wsaError, const std::string& name) {
    lookupHandle_ = 0;
    remoteHost_ = wsaError == 0 ? name.substr(0, kMaxRemoteHostName) : std::string();
}

// ---- receiving and dispatching --------------------------------------------------

void CFtpSession::OnControlEvent(uint32_t event, int) {
    if ((event & FD_READ) != 0) {
        OnRead();  // may destroy the session; nothing may follow
        return;
    }
    if ((event & FD_WRITE) != 0) {
        // A listing worker signals with a write event: a finished STAT
        // listing joins its open reply, a finished data listing starts its
        // transfer.
        if (files_.StatOutputWaiting()) {
            PumpStatListing();
            return;
        }
        if (files_.DataListingReady()) SendDataListing();
        if (files_.HashReady()) FinishHash();
        if (files_.MoveReady()) FinishMove();
        if (loginJob_ && loginJob_->finished()) {
            FinishAsking();  // may end the session; nothing may follow
            return;
        }
        SendPending();
        if (closeWhenSent_ && replyBuf_.empty()) CloseSession();  // destroys the session
    }
}

void CFtpSession::ClientClosed() {
    CFtpServer& server = server_;
    const eventloop::Socket s = socket_;
    if (!replyBuf_.empty() && s != INVALID_SOCKET) {
        // A client that only shut down its sending side still reads: what is
        // buffered goes to the kernel in one piece, as far as it lets the
        // send buffer grow, and leaves after the close.
        int size = 0;
        socklen_t len = sizeof size;
        if (::getsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, &len) == 0) {
            const int wanted = static_cast<int>(std::min<size_t>(static_cast<size_t>(size) + replyBuf_.size(),
                                                                 kReplyBacklogLimit * 4));
            ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &wanted, sizeof wanted);
        }
    }
    CloseSession();  // sends what it can; destroys the session
    // A graceful close: a reset would throw away what the client has not
    // read yet.
    server.CloseControlSocket(s, false);
}

void CFtpSession::OnRead() {
    if (closeWhenSent_) return;  // lines after QUIT are not read
    CReceiveBuffer& buf = record_.buffer;
    if (replyBuf_.size() >= kReplyBacklogLimit) {
        // The client does not read its replies: stop reading its commands
        // until the backlog drains (write events keep coming).
        readPaused_ = true;
        server_.loop().AsyncSelect(socket_, &server_, Message::Command, FD_WRITE | FD_CLOSE);
        return;
    }
    // While only an ABOR may pass, reading goes on until a whole line is
    // there: it passes if it is one, else it waits with the rest.
    const bool waiting = CommandsWait();
    if (waiting && (!OnlyAbortMayPass() || (buf.HasLine() && !NextLineIsAbort()))) {
        HoldCommands();
        return;
    }
    // Lines left over from a hold, or from the last turn, are worked off
    // before anything more is read.
    const bool readNow = !buf.HasLine();
    if (readNow) {
        std::span<char> room = buf.PrepareRead();
        if (room.empty()) {
            if (waiting) {
                HoldCommands();
                return;
            }
            CloseSession();
            return;
        }
        int err = 0;
        long n = controlLayer_->Recv(server_.loop(), socket_, room.data(), room.size(), &err);
        if (n <= 0) {
            if (controlLayer_->IsTls()) {
                SendPending();
                if (n < 0 && err != eventloop::WSAEWOULDBLOCK) {
                    // A failed handshake or record ends the session; so
                    // does a client gone without the closure notice.
                    CFtpServer& server = server_;
                    const eventloop::Socket s = socket_;
                    server.loop().AsyncSelect(s, nullptr, Message::Command, 0);
                    CloseSession();
                    server.CloseControlSocket(s, true);
                }
            }
            return;
        }
        buf.Commit(static_cast<size_t>(n));
        buf.SkipHighBitPrefix();
        inputProgress_ += static_cast<uint64_t>(n);
    }

    std::string line;
    int ran = 0;
    bool stopped = false;
    while (NextLineMayRun() && buf.NextLine(line)) {
        ++inputProgress_;
        LineOutcome outcome = ProcessLine(line);
        if (outcome == LineOutcome::Gone) {
            SecureWipe(line);
            return;
        }
        stopped = outcome == LineOutcome::StopParsing;
        if (stopped) break;
        // Telnet's interrupt and synch (IAC IP IAC DM) before an ABOR that
        // came in one read behind another command.
        buf.SkipHighBitPrefix();
        if (CommandsWait() && !OnlyAbortMayPass()) {
            HoldCommands();
            stopped = true;
            break;
        }
        if (++ran == kLinesPerTurn) break;
    }
    if (buf.HasLine() && !NextLineMayRun()) HoldCommands();
    SecureWipe(line);
    if (!buf.HasLine() && buf.fill() > 0 && buf.fill() >= buf.lineLimit()) {
        CloseSession();
        return;
    }
    // The rest of a turn's lines come back after the other sessions' events.
    // Records already taken from the socket are not announced by it again,
    // and neither is what waited in it while buffered lines were worked off.
    const bool more = controlLayer_->HasBufferedInput() || (!stopped && (buf.HasLine() || !readNow));
    if (more && !CommandsWait() && !readPaused_) {
        server_.loop().PostEvent(&server_, Message::Command, socket_, FD_READ);
    }
}

// While a refused login's reply is held back the session reads no further
// command: a client that sends its guesses in one go gets them answered one
// hold at a time, like one that waits for each reply.
void CFtpSession::HoldCommands() {
    if (commandsHeld_) return;
    commandsHeld_ = true;
    server_.loop().AsyncSelect(socket_, &server_, Message::Command, FD_WRITE | FD_CLOSE);
}

void CFtpSession::EndHold() {
    holdCount_ = 0;
    SendPending();
    if (CommandsWait()) return;  // the move's or the STAT reply's end reads on
    ResumeCommands();
}

bool CFtpSession::LinesWaiting() const {
    return accepting_ && !readPaused_ && replyBuf_.size() < kReplyBacklogLimit &&
           (record_.buffer.HasLine() || controlLayer_->HasBufferedInput()) && NextLineMayRun();
}

bool CFtpSession::CommandsWait() const {
    return holdCount_ > 0 || waitForName_ || files_.moveJob || files_.statOpen || files_.hashJob || loginJob_;
}

void CFtpSession::HostCheckDone() {
    if (!CommandsWait()) ResumeCommands();
}

bool CFtpSession::OnlyAbortMayPass() const {
    // A HASH is stopped by ABOR; everything else waits for its 213.
    return files_.hashJob && holdCount_ == 0 && !waitForName_ && !files_.moveJob && !files_.statOpen;
}

bool CFtpSession::NextLineMayRun() const {
    return !CommandsWait() || (OnlyAbortMayPass() && NextLineIsAbort());
}

bool CFtpSession::NextLineIsAbort() const {
    const CReceiveBuffer& buf = record_.buffer;
    if (!buf.HasLine() || buf.fill() < 4 || !EqualsNoCase(std::string_view(buf.data(), 4), "ABOR")) return false;
    const char after = buf.fill() > 4 ? buf.data()[4] : '\0';
    return after == '\r' || after == '\n' || after == ' ';
}

void CFtpSession::ResumeCommands() {
    eventloop::EventLoop& loop = server_.loop();
    if (commandsHeld_) {
        commandsHeld_ = false;
        // Selecting again reports data waiting in the socket.
        loop.AsyncSelect(socket_, &server_, Message::Command, kControlEvents);
    }
    // Lines already taken from the socket, and what a TLS layer decrypted
    // but has not handed on yet, need an event of their own: a session that
    // only let an ABOR pass read no further meanwhile, held or not.
    if (record_.buffer.HasLine() || controlLayer_->HasBufferedInput()) {
        loop.PostEvent(&server_, Message::Command, socket_, eventloop::FD_READ);
    }
}

CFtpSession::LineOutcome CFtpSession::ProcessLine(std::string& line) {
    // A command sees every settings change made before it arrived.
    reg::NewReadEpoch();
    // A complete line is what keeps a session from timing out.
    record_.lastActivity = eventloop::EventLoop::TickCount();
    // Locals: the handler may destroy the session.
    CFtpServer& server = server_;
    CSessionRecord* const rec = &record_;
    const eventloop::Socket s = socket_;
    // Commands wait while a STAT reply is open (CommandsWait); one that is
    // processed anyway ends that reply first, so replies never interleave.
    if (files_.statOpen) CutStatListing();

    // A command line ends at a NUL, for the handler as for the log and the
    // last command shown to administrators.
    if (const size_t nul = line.find('\0'); nul != std::string::npos) {
        SecureWipe(line.data() + nul, line.size() - nul);
        line.resize(nul);
    }
    const CommandEntry& e = LookupCommand(line);
    const int number = e.number;
    closingRefused_ = false;
    if (line.size() < static_cast<size_t>(e.nameLen)) {
        Log('$', "Command string \"%.100s\" gives command %s, length %d - commlocalbuff's length is %d\r\n",
            line.c_str(), e.name, e.nameLen, static_cast<int>(line.size()));
    }
    const bool isPass = number == CMD_PASS;
    // A SITE line that carries a password is shown with it masked.
    std::optional<std::string> masked = number == CMD_SITE ? MaskedSiteLine(line) : std::nullopt;
    if (IsNotFound(e)) {
        Log('!', "Unidentified command %s", line.c_str());
        lastCommand_ = line;
    } else {
        lastCommand_ = isPass ? std::string("PASS xxxx") : masked ? *masked : line;
        if (!isPass) Log('C', "Command \"%.100s\" received", lastCommand_.c_str());
    }
    const std::string_view arg = CommandArgument(e, line);
    switch (CheckArgument(e, arg)) {
        case ArgCheck::Missing:
            Reply(MSG_NEEDS_PARAMETER, e.name);
            break;
        case ArgCheck::Unexpected:
            Reply(MSG_NO_PARAMETERS, e.name);
            break;
        case ArgCheck::Ok:
            currentLine_ = line;
            Dispatch(e, arg);
            break;
    }
    if (isPass || masked) SecureWipe(line);

    if (server.FindSession(s) != rec) return LineOutcome::Gone;
    currentLine_ = {};
    // A QUIT during a transfer lets it finish; the data events close the
    // session afterwards.
    if (!(number == CMD_QUIT && (TransferBusy() || closeWhenSent_)) && EndedForRefusing()) return LineOutcome::Gone;
    if (number != CMD_REST) transfer_->ForgetRestartMarker();
    // A login whose answer is still coming shows itself once it has come.
    if (!loginJob_) server.NotifyObservers(*this, false);
    if (const eventloop::Socket data = dataSocket(); data != INVALID_SOCKET) {
        switch (number) {
            case CMD_RETR: case CMD_STOR: case CMD_STOU: case CMD_APPE:
            case CMD_LIST: case CMD_NLST: case CMD_PASV: case CMD_MLSD:
                server.dataMap().SetAt(data, rec);
                break;
            default:
                break;
        }
    }
    return number == CMD_QUIT ? LineOutcome::StopParsing : LineOutcome::Continue;
}

bool CFtpSession::EndedForRefusing() {
    if (accepting_) return false;
    // A session that no longer accepts commands ends here. The 421 goes out
    // once per command: not again when the handler's own gate sent it.
    if (!closingRefused_) ClosingGate();
    CloseSession();
    return true;
}

void CFtpSession::Dispatch(const CommandEntry& command, std::string_view arg) {
    if ((command.gates & kGateMachineListing) != 0 && MachineListingDisabled()) {
        OnNotImplemented(arg);
        return;
    }
    if ((command.gates & kGateClosing) != 0 && ClosingGate()) return;
    if ((command.gates & kGateLogin) != 0 && LoginGate()) return;
    try {
        (this->*command.handler)(arg);
    } catch (const std::bad_alloc&) {
        // Out of memory (an address-space limit, say): this command fails,
        // the service and its other sessions go on.
        try {
            Log('!', "Out of memory during command %s", command.name);
            WriteText("451 Requested action aborted: local error in processing.\r\n", false);
        } catch (const std::bad_alloc&) {
        }
        status_ = "Fail";
    }
}

PathResolver CFtpSession::Resolver() const {
    return PathResolver(DeviceNames::ForProcess(server_.registry()),
                        server_.settings().gfpnMethod == 0 ? JoinMethod::Platform : JoinMethod::Own);
}

bool CFtpSession::MachineListingDisabled() { return server_.registry().ReadInt(nullptr, "MLST", 1) == 0; }

// ---- macro source --------------------------------------------------------------

bool CFtpSession::LoginRequired() { return server_.settings().secure; }

std::string CFtpSession::Email() { return server_.registry().ReadString(nullptr, "Email", ""); }

std::string CFtpSession::CurrentDirectory() { return account_.FtpCurrentDirectory(); }

std::string CFtpSession::FreeSpaceKb() {
    const std::string& dir = account_.currentDirectory();
    return FreeSpaceKbText(dir.empty() ? "/" : dir);
}

long CFtpSession::MaxUsers() { return server_.settings().maxUsers; }

long CFtpSession::UserCount() { return server_.userCount(); }

}  // namespace orvyn
