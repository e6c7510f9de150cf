#include "service/transfer/connection/TransferEngine.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/eventloop/Winsock.h"
#include "service/base/settings/ServerRegistry.h"
#include "service/transfer/connection/DataSession.h"
#include "service/transfer/conversions/PopenFile.h"
#include "service/transfer/data/TransferKind.h"
#include "service/transfer/data/WinsockText.h"
#include "service/transfer/files/BigFile.h"
#include "service/transfer/files/File.h"
#include "service/transfer/files/FileException.h"
#include "service/transfer/files/TransferTexts.h"
#include "service/transfer/security/SecSock.h"
#include "service/transfer/security/TlsSock.h"

namespace orvyn {

using eventloop::FD_CLOSE;
using eventloop::FD_READ;
using eventloop::FD_WRITE;
using eventloop::INVALID_SOCKET;
using eventloop::WSAEWOULDBLOCK;

namespace {

constexpr const char* kReply226 = "226 Transfer finished successfully.";
constexpr const char* kReplyClientReset = "451 Connection reset by client - transfer aborted.";
constexpr const char* kReplyCutShort = "451 The file ended before its announced size - transfer aborted.";
// The same where no size was announced (converted line ends).
constexpr const char* kReplyUnreadable = "451 The file could not be read to its end - transfer aborted.";
// How often a quiet conversion pipe is checked for its command's exit.
constexpr unsigned kPipeCheckMs = 250;

// A data connection whose TLS session is not its control connection's
// while TLS\RequireSessionReuse is set (an error of the layer's range).
constexpr int kNotResumed = static_cast<int>(0x80090350U);

// Codes of the security layer carry facility 9.
bool SecurityError(int err) { return ((static_cast<unsigned>(err) >> 16) & 0x1FFF) == 9; }

// The client has sent nothing that waits unread on the data connection,
// an urgent byte included (which the byte count leaves out).
bool NothingToRead(int s) {
    int n = 0;
    if (::ioctl(s, FIONREAD, &n) != 0 || n != 0) return false;
    pollfd urgent{s, POLLPRI, 0};
    return ::poll(&urgent, 1, 0) == 0;
}

std::string NetworkErrorText(const char* what, int err) {
    char buf[80];
    if (SecurityError(err)) {
        std::snprintf(buf, sizeof buf, "451 Transport security error %x in network on %s", static_cast<unsigned>(err),
                      what);
    } else {
        std::snprintf(buf, sizeof buf, "451 Error %d in network on %s", err, what);
    }
    return buf;
}

}  // namespace

CTransferEngine::CTransferEngine(IDataSession& session, CDataChannel& channel)
    : session_(session), channel_(channel), layer_(&CSecSock::Plain()) {}

CTransferEngine::~CTransferEngine() {
    // The session ends its transfer before it goes; whatever is left here is
    // only released.
    StopWatchingPipe();
    if (source_) source_->Abort();
}

// ---- setting up ---------------------------------------------------------------------

void CTransferEngine::Attach(std::unique_ptr<CFile> source, std::optional<uint64_t> size, CPopenFile* pipe) {
    direct_ = pipe == nullptr ? dynamic_cast<CBigFile*>(source.get()) : nullptr;
    source_ = std::move(source);
    pipe_ = pipe;
    sizeUnknown_ = !size.has_value();
    sizeAnnounced_ = size.has_value();
    fileSize_ = size.value_or(0);
    transferred_ = 0;
    written_ = false;
    endedShort_.reset();
}

void CTransferEngine::Describe(const std::string& localPath, std::string clientName) {
    logName_ = localPath;
    clientName_ = std::move(clientName);
}

bool CTransferEngine::PrepareBuffers() {
    const size_t size = std::max(TransferBufferSize(session_.registry().ReadInt(nullptr, "FileBufferSize", 8192)),
                                 kMinBufferSize);
    decoder_.Reset();
    try {
        if (IsSendingKind(channel_.state())) {
            if (!sendBuf_ || sendBuf_->size() != size || sendBuf_->blockMode() != session_.blockMode()) {
                sendBuf_.emplace(size, session_.blockMode());
            } else {
                sendBuf_->Clear();
            }
            recvBuf_.Release();
        } else {
            if (recvBuf_.size() != size) recvBuf_ = CRawBuffer(size);
            sendBuf_.reset();
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    recvFill_ = 0;
    return true;
}

void CTransferEngine::FreeBuffers() {
    sendBuf_.reset();
    recvBuf_.Release();
    recvFill_ = 0;
}

void CTransferEngine::ConnectionReady(int error) {
    if (error != 0) {
        EndSource();
        channel_.Close(true);
        const ConnectFailureReport r = DescribeConnectFailure(error);
        session_.Reply(r.reply);
        session_.Log('!', "%s", r.warning.c_str());
        session_.SetStatus("Fail");
        FreeBuffers();
        return;
    }
    if (!channel_.open()) return;
    if (session_.protectionState() >= 2) {
        // A block-mode connection keeps its layer from one transfer to the next.
        if (!(session_.blockMode() && tls_)) {
            unsigned long code = 0;
            std::unique_ptr<CTlsSock> layer = session_.NewDataTlsLayer(&code);
            if (!layer) {
                session_.Reply("535 Unable to create server credentials.");
                session_.Log('!', "Unable to open credentials - error %lx", code);
                session_.SetStatus("Fail");
                EndSource();
                channel_.Close(true);
                FreeBuffers();
                return;
            }
            tls_ = std::move(layer);
            layer_ = tls_.get();
            sessionChecked_ = false;
        }
    } else if (session_.registry().ReadInt("TLS", "ForbidClearData", 0) != 0) {
        session_.Reply("530 All data transfers and file listings must be encrypted.");
        session_.Log('!', "Data transfer attempted without encrypting data channel");
        session_.SetStatus("Fail");
        EndSource();
        channel_.Close(true);
        FreeBuffers();
        return;
    }
    if (started_) return;
    started_ = true;
    const DataState kind = channel_.state();
    StartReplyInput in;
    in.kind = kind;
    in.imageType = session_.imageType();
    in.clientName = clientName_;
    if (!sizeUnknown_) in.bytesToSend = fileSize_;
    // A plain file need not wait for the loop's first write event: a new
    // connection has room, and a small file is gone before the loop turns.
    // Its 150 leaves with the first data (and a small file's 226 with it):
    // the client, woken by the 150, finds the data there instead of waiting
    // for it, and one send carries both replies.
    const bool sendNow = direct_ != nullptr && IsSendingKind(kind) && !inSendLoop_;
    if (sendNow) session_.CorkReplies(true);
    session_.Reply(StartReplyText(in));
    transferred_ = 0;
    recvFill_ = 0;
    if (sendBuf_) sendBuf_->Clear();
    if (sendNow && !tls_) {
        if (holdFirstSend_) {
            firstSendHeld_ = true;  // the 150 waits corked with it
            return;
        }
        SendAtOnce();
        return;
    }
    // A TLS layer also writes while receiving (its handshake).
    session_.SelectData(channel_.socket(), IsSendingKind(kind) || tls_ ? (FD_READ | FD_WRITE | FD_CLOSE)
                                                                      : (FD_READ | FD_CLOSE));
    WatchPipe();
    // A client that began its handshake before the transfer command (as
    // some do right after connecting) finds its hello answered now.
    if (tls_ && tls_->state() == CTlsSock::State::Handshaking) {
        const eventloop::Socket d = channel_.socket();
        TakeLayerInput();
        if (d != channel_.socket()) {
            if (sendNow) session_.CorkReplies(false);
            return;
        }
    }
    if (sendNow) {
        SendLoop();
        session_.CorkReplies(false);
    }
}

void CTransferEngine::SendAtOnce() {
    // Most often the whole file is gone, and the connection closed, before
    // its events would ever be needed.
    const eventloop::Socket d = channel_.socket();
    SendLoop();
    session_.CorkReplies(false);
    if (d != channel_.socket() || !started_) return;
    session_.SelectData(d, FD_READ | FD_WRITE | FD_CLOSE);
}

void CTransferEngine::EndFirstSendHold() {
    holdFirstSend_ = false;
    if (std::exchange(firstSendHeld_, false) && started_ && channel_.socket() != INVALID_SOCKET) SendAtOnce();
}

void CTransferEngine::ConnectionClosed() {
    peerClosedEarly_ = false;
    waitingToWrite_ = false;
    layer_ = &CSecSock::Plain();
    tls_.reset();
}

bool CTransferEngine::DropSecurityLayer() {
    if (!tls_) return false;
    const bool busy = Busy();
    Abandon();
    return busy;
}

void CTransferEngine::WatchPipe() {
    if (pipe_ == nullptr || pipeFd_ >= 0 || pipe_->fd() < 0) return;
    pipeFd_ = pipe_->fd();
    session_.RouteData(pipeFd_);
    session_.SelectData(pipeFd_, FD_READ | FD_CLOSE);
    // A command that leaves a helper of its own behind holding the pipe
    // never closes it: its end is its exit, which the pipe does not tell.
    pipeCheck_ = session_.loop().AddTimer(kPipeCheckMs, [this] {
        if (pipe_ != nullptr && !pipe_->IsRunning()) OnPipeEvent();
    });
}

void CTransferEngine::StopWatchingPipe() {
    if (pipeCheck_ != 0) session_.loop().RemoveTimer(pipeCheck_);
    pipeCheck_ = 0;
    if (pipeFd_ < 0) return;
    session_.UnrouteData(pipeFd_);
    session_.SelectData(pipeFd_, 0);
    pipeFd_ = -1;
}

// ---- events -------------------------------------------------------------------------

void CTransferEngine::OnPipeEvent() {
    if (channel_.open() && started_) SendLoop();
}

void CTransferEngine::OnSocketEvent(uint32_t event, int wsaError) {
    const eventloop::Socket s = channel_.socket();
    if ((event & FD_WRITE) != 0) {
        writeEventPosted_ = false;
        if (IsSendingKind(channel_.state())) {
            SendLoop();
        } else if (tls_) {
            tls_->Flush(session_.loop(), s);
        }
        if (s != channel_.socket()) return;
    }
    if ((event & FD_READ) != 0) {
        if (IsReceivingKind(channel_.state()) && source_) {
            ReceiveLoop();
        } else if (tls_) {
            TakeLayerInput();
        }
        if (s != channel_.socket()) return;
    }
    if ((event & FD_CLOSE) != 0) OnClose(wsaError);
}

void CTransferEngine::OnClose(int wsaError) {
    const DataState state = channel_.state();
    const bool idle = !started_ && !source_ && !sendBuf_ && recvBuf_.empty();
    if (idle && !IsPassiveState(state)) {
        // A block-mode connection between transfers, or one whose transfer
        // has been dealt with: nothing to finish.
        channel_.Close(wsaError != 0);
        return;
    }
    if (wsaError != 0) {
        if (sendBuf_ || !recvBuf_.empty()) session_.Reply(kReplyClientReset);
        session_.Log('C', "Transfer terminated by client closing connection");
        Finish(false);
        return;
    }
    if (IsSendingKind(state) && sendBuf_ && tls_ && tls_->state() == CTlsSock::State::Handshaking) {
        // Gone before its handshake was done: nothing can be sent any more
        // (not even the end of an empty file), so no send would ever fail
        // and end the transfer.
        session_.Reply(kReplyClientReset);
        session_.Log('C', "Transfer terminated by client closing connection");
        Finish(false);
        return;
    }
    if (IsSendingKind(state) && Busy()) {
        peerClosedEarly_ = true;
        return;
    }
    if (IsReceivingKind(state) && source_) {
        // The end of an upload: whatever is still buffered goes to the file.
        ReceiveLoop();
        if (!source_) {
            // Finished (or failed) in there; a block-mode connection the
            // client has closed goes too.
            channel_.Close(false);
            return;
        }
    }
    Finish(true);
}

// ---- the security layer -----------------------------------------------------------

long CTransferEngine::SendSome(const uint8_t* data, size_t size, int* wsaError) {
    const long n = layer_->Send(session_.loop(), channel_.socket(), data, size, wsaError);
    if (n > 0 && !SessionAcceptable(wsaError)) return -1;
    return n;
}

long CTransferEngine::ReceiveSome(uint8_t* data, size_t size, int* wsaError) {
    const long n = layer_->Recv(session_.loop(), channel_.socket(), data, size, wsaError);
    if (n >= 0 && !SessionAcceptable(wsaError)) return -1;
    if (n < 0 && *wsaError == WSAEWOULDBLOCK && !SessionAcceptable(wsaError)) return -1;
    return n;
}

bool CTransferEngine::SessionAcceptable(int* wsaError) {
    if (!tls_ || sessionChecked_ || tls_->state() == CTlsSock::State::Handshaking || tls_->failed()) return true;
    sessionChecked_ = true;
    if (IsReceivingKind(channel_.state())) {
        // The handshake went both ways, so the kernel now holds back its
        // acknowledgements in the hope of sending them with data; but an
        // upload gets no data back. A client that writes a small record only
        // once the previous one is acknowledged would wait for the delayed
        // acknowledgement with every file: acknowledge at once instead.
        const int one = 1;
        ::setsockopt(channel_.socket(), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    }
    if (tls_->ResumedOwnSession() || session_.registry().ReadInt("TLS", "RequireSessionReuse", 0) == 0) return true;
    *wsaError = kNotResumed;
    return false;
}

void CTransferEngine::TakeLayerInput() {
    const eventloop::Socket s = channel_.socket();
    int err = tls_->TakeInput(session_.loop(), s);
    if (err != 0 && !started_) {
        // A block-mode connection between transfers: it just goes.
        channel_.Close(true);
        return;
    }
    if (err == 0 && !SessionAcceptable(&err)) err = kNotResumed;
    if (err != 0) {
        ReportNetworkError(err, IsSendingKind(channel_.state()) ? "send" : "receive");
        EndSource();
        Finish(false);
        return;
    }
    // The handshake is done: what waited for it goes (also when the client's
    // closure notice came in the same flight as the end of its handshake).
    const CTlsSock::State state = tls_->state();
    if (IsSendingKind(channel_.state()) && sendBuf_ &&
        (state == CTlsSock::State::Established || state == CTlsSock::State::Closing) && !inSendLoop_) {
        SendLoop();
    }
}

void CTransferEngine::ReportNetworkError(int err, const char* call) {
    if (err == kNotResumed) {
        session_.Reply("425 Data connection refused: its TLS session does not resume the control connection's.");
        session_.Log('!', "Data connection refused - its TLS session is not a resumption of the control "
                          "connection's session");
        return;
    }
    if (err != 0 && !SecurityError(err)) session_.LogSocketError(err, __LINE__, call);
    session_.Reply(NetworkErrorText(call, err));
    if (SecurityError(err)) {
        session_.Log('!', "SSPI error %x while %s data", static_cast<unsigned>(err),
                     std::strcmp(call, "send") == 0 ? "sending" : "receiving");
    } else {
        session_.Log('!', "Socket error %d while %s data", err, std::strcmp(call, "send") == 0 ? "sending" : "receiving");
    }
}

// ---- sending ------------------------------------------------------------------------

void CTransferEngine::SendLoop() {
    // ConnectionReady, which this may call, starts a send loop of its own
    // only from outside one.
    struct Active {
        bool& flag;
        explicit Active(bool& f) : flag(f) { flag = true; }
        ~Active() { flag = false; }
    } active(inSendLoop_);
    waitingToWrite_ = false;
    if (!sendBuf_) return;
    if (!started_) {
        ConnectionReady(0);
        if (!channel_.open() || !sendBuf_) return;
    }
    if (SendDirect()) return;
    uint64_t moved = 0;
    bool waitingForPipe = false;
    for (;;) {
        if (source_) {
            std::span<uint8_t> room = sendBuf_->RefillSpace();
            if (!room.empty()) {
                size_t n = 0;
                bool ended = false;
                try {
                    n = source_->Read(room.data(), room.size());
                    ended = n == 0 && source_->Ended();
                    uint64_t at = 0, of = 0;
                    if (ended && source_->EndedShort(at, of)) endedShort_ = std::make_pair(at, of);
                } catch (const CFileException& e) {
                    if (e.cause() != FileCause::EndOfFile && !(sizeUnknown_ && e.osError() == EPIPE)) {
                        session_.Log('!', "File Exception %d", e.causeNumber());
                        // Unreadable: no more of the file than was sent.
                        if (pipe_ == nullptr) endedShort_ = std::make_pair(transferred_, fileSize_);
                    }
                    ended = true;
                }
                if (n > 0) {
                    sendBuf_->CommitRead(n);
                } else if (ended && endedShort_) {
                    // No end-of-file block for a file cut short: what was
                    // sent must not pass for the whole file.
                    sendBuf_->CancelRefill();
                    EndSource();
                } else if (ended) {
                    sendBuf_->EndOfSource();
                    EndSource();
                } else {
                    // A conversion that has not written yet: its pipe's
                    // read event brings the loop back.
                    sendBuf_->CancelRefill();
                    waitingForPipe = true;
                }
            }
        }
        std::span<const uint8_t> unsent = sendBuf_->Unsent();
        if (unsent.empty()) {
            if (!source_ || waitingForPipe) break;
            continue;
        }
        int err = 0;
        const long n = SendSome(unsent.data(), unsent.size(), &err);
        if (n > 0) {
            sendBuf_->MarkSent(static_cast<size_t>(n));
            transferred_ += static_cast<uint64_t>(n);
            moved += static_cast<uint64_t>(n);
            waitingForPipe = false;
            if (moved >= kBytesPerEvent) {
                GiveWay();
                return;
            }
            continue;
        }
        if (n < 0 && err == WSAEWOULDBLOCK) {
            WaitForRoom();
            return;
        }
        SendFailed(n < 0 ? err : 0, "send");
        return;
    }
    session_.SetStatus(DownloadProgressText(transferred_, fileSize_));
    if (source_) return;  // waiting for the conversion's output
    if (!sendBuf_->Empty()) return;
    EndOfSending();
}

void CTransferEngine::GiveWay() {
    // The other sessions get their turn; a posted write event brings this
    // transfer back.
    session_.SetStatus(DownloadProgressText(transferred_, fileSize_));
    if (writeEventPosted_) return;
    writeEventPosted_ = true;
    session_.PostDataEvent(channel_.socket(), FD_WRITE);
}

void CTransferEngine::WaitForRoom() {
    waitingToWrite_ = true;
    session_.SetStatus(DownloadProgressText(transferred_, fileSize_));
}

void CTransferEngine::SendFailed(int err, const char* call) {
    if (err != 0 && err != kNotResumed && !SecurityError(err)) session_.LogSocketError(err, __LINE__, call);
    if (err == kNotResumed || SecurityError(err)) {
        ReportNetworkError(err, "send");
    } else {
        session_.Reply(NetworkErrorText("send", err));
        session_.Log('!', "Socket error %d while sending data", err);
    }
    Finish(false);
}

void CTransferEngine::EndOfSending() {
    // The file ended before the length the 150 announced, or (where the
    // bytes sent are not the file's: block mode, converted line ends) before
    // the length it had when it was opened: cut short while it was sent, or
    // unreadable. The client must not take what it got for the whole file;
    // the reset tells it so on the data connection too.
    std::optional<std::pair<uint64_t, uint64_t>> cut = endedShort_;
    if (!cut && !session_.blockMode() && transferred_ < fileSize_) cut = std::make_pair(transferred_, fileSize_);
    if (cut) {
        endedShort_.reset();
        session_.Reply(sizeAnnounced_ ? kReplyCutShort : kReplyUnreadable);
        if (cut->second != 0) {
            session_.Log('!', "File ended after %llu of %llu bytes", static_cast<unsigned long long>(cut->first),
                         static_cast<unsigned long long>(cut->second));
        } else {
            session_.Log('!', "File could not be read to its end: %llu bytes sent",
                         static_cast<unsigned long long>(transferred_));
        }
        Finish(false);
        return;
    }
    if (session_.blockMode()) {
        // The connection stays open and no closure notice follows, but what
        // the layer still holds of this file must leave before the 226: the
        // connection is not watched between transfers.
        const int err = layer_->Flush(session_.loop(), channel_.socket());
        if (err == WSAEWOULDBLOCK) {
            WaitForRoom();
            return;
        }
        if (err != 0) {
            SendFailed(err, "send");
            return;
        }
    } else if (tls_ && tls_->state() == CTlsSock::State::Handshaking) {
        // Nothing to send (an empty file or listing), but the client waits
        // for the handshake and then the closure notice: the handshake's end
        // comes back here.
        WaitForRoom();
        return;
    } else if (!tls_ && !peerClosedEarly_ && !channel_.madeHere() && NothingToRead(channel_.socket())) {
        // A plain connection with everything in the kernel's hands: the close
        // sends the end after the last byte, and the client's own close need
        // not be waited for. (Unread input would turn the close into a
        // reset that could overtake the data; such a connection waits.)
        // The replies held back with the 150 leave before the close: a client
        // on another processor reads them while the end of the data arrives.
        FreeBuffers();
        session_.Reply(kReply226);
        session_.CorkReplies(false);
        Finish(true);
        return;
    } else if (layer_->ShutdownSend(session_.loop(), channel_.socket()) == WSAEWOULDBLOCK) {
        // The closure notice waits in the layer: the next write event
        // comes back here.
        WaitForRoom();
        return;
    }
    FreeBuffers();
    session_.Reply(kReply226);
    if (peerClosedEarly_ || session_.blockMode()) Finish(true);
}

bool CTransferEngine::SendDirect() {
    // A plain file in stream mode over a plain connection goes from the page
    // cache to the socket without passing through the process.
    if (direct_ == nullptr || session_.blockMode() || layer_->IsTls() || !sendBuf_->Empty()) return false;
    const eventloop::Socket d = channel_.socket();
    uint64_t moved = 0;
    for (;;) {
        // The length the 150 announced is what is sent: no call is spent on
        // finding the end of a small file.
        if (!sizeUnknown_ && transferred_ >= fileSize_) break;
        int err = 0;
        const size_t ask = sizeUnknown_ ? kDirectChunk : std::min<uint64_t>(kDirectChunk, fileSize_ - transferred_);
        const long n = session_.loop().SendFile(d, direct_->fd(), ask, &err);
        if (n > 0) {
            transferred_ += static_cast<uint64_t>(n);
            moved += static_cast<uint64_t>(n);
            if (moved >= kBytesPerEvent) {
                GiveWay();
                return true;
            }
            continue;
        }
        if (n == 0) break;  // the end of the file
        if (err == eventloop::WSAEOPNOTSUPP) {
            direct_ = nullptr;  // the buffered way from here on
            return false;
        }
        if (err == WSAEWOULDBLOCK) {
            WaitForRoom();
            return true;
        }
        if (err == eventloop::WsaFromErrno(EIO)) {
            // The file could not be read: its end, as for a buffered read.
            session_.Log('!', "File Exception %d", static_cast<int>(FileCause::HardIO));
            break;
        }
        SendFailed(err, "sendfile");
        return true;
    }
    sendBuf_->EndOfSource();
    EndSource();
    session_.SetStatus(DownloadProgressText(transferred_, fileSize_));
    EndOfSending();
    return true;
}

// ---- receiving ----------------------------------------------------------------------

namespace {

// Whether something outside the service took the upload's file from under
// it: deleted it (what the client sent is gone; a file moved, or a link to
// it removed, still holds it, as after a move once it is stored), or, once
// written to, cut it shorter than what was written (the file would be
// stored with a hole where the client's data was). The error to report.
std::optional<CFileException> UploadFileDisturbed(const CFile& target, bool written) {
    const int fd = target.DiskDescriptor();
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return std::nullopt;
    if (st.st_nlink == 0) return CFileException(FileCause::FileNotFound, ENOENT);
    if (written && ::lseek(fd, 0, SEEK_CUR) > st.st_size) return CFileException(FileCause::SharingViolation, EBUSY);
    return std::nullopt;
}

}  // namespace

bool CTransferEngine::WriteReceived(size_t n) {
    if (n == 0 || !source_) return true;
    try {
        if (std::optional<CFileException> disturbed = UploadFileDisturbed(*source_, written_)) throw *disturbed;
        source_->Write(recvBuf_.data(), n);
        written_ = true;
    } catch (const CFileException& e) {
        session_.Reply(LocalWriteErrorReplyText(clientName_, e));
        EndSource();
        Finish(false);
        return false;
    }
    if (n < recvFill_) std::memmove(recvBuf_.data(), recvBuf_.data() + n, recvFill_ - n);
    recvFill_ -= n;
    return true;
}

bool CTransferEngine::SourcePlace(uint64_t& position, uint64_t& length) const {
    if (source_ == nullptr || !source_->Place(position, length)) return false;
    if (IsReceivingKind(channel_.state())) {
        position += recvFill_;
        length = std::max(length, position);
    }
    return true;
}

bool CTransferEngine::CloseReceived() {
    if (!source_) return true;
    if (const std::optional<CFileException> disturbed = UploadFileDisturbed(*source_, written_)) {
        session_.Reply(LocalWriteErrorReplyText(clientName_, *disturbed));
        KeepReceived();
        EndSource();
        Finish(false);
        return false;
    }
    try {
        // What the file still holds back (the CR of a line end that might
        // have continued) goes to disk now; a failing close fails the upload.
        source_->Close();
    } catch (const CFileException& e) {
        session_.Reply(LocalWriteErrorReplyText(clientName_, e));
        EndSource();
        Finish(false);
        return false;
    }
    return true;
}

void CTransferEngine::KeepReceived() {
    if (!source_ || !IsReceivingKind(channel_.state())) return;
    try {
        if (recvFill_ > 0) source_->Write(recvBuf_.data(), recvFill_);
        // The close writes what the file itself holds back (the CR of a
        // line end that might have continued).
        source_->Close();
    } catch (const CFileException&) {
    }
    recvFill_ = 0;
}

void CTransferEngine::RefreshUploadProgress() {
    // Where the disk file has got (behind a line-end conversion alike).
    const int fd = source_ ? source_->DiskDescriptor() : -1;
    const off_t at = fd < 0 ? -1 : ::lseek(fd, 0, SEEK_CUR);
    if (at >= 0) session_.SetStatus(UploadProgressText(static_cast<uint64_t>(at)));
}

void CTransferEngine::ReceiveLoop() {
    if (!channel_.open() || !source_ || recvBuf_.empty()) return;
    const size_t half = recvBuf_.size() / 2;
    uint64_t moved = 0;
    for (;;) {
        if (recvFill_ > half && !WriteReceived(recvFill_)) return;
        int err = 0;
        uint8_t* at = recvBuf_.data() + recvFill_;
        const long n = ReceiveSome(at, recvBuf_.size() - recvFill_, &err);
        if (n > 0) {
            transferred_ += static_cast<uint64_t>(n);
            moved += static_cast<uint64_t>(n);
            if (session_.blockMode()) {
                size_t consumed = 0;
                recvFill_ += decoder_.Decode(at, static_cast<size_t>(n), &consumed);
                if (decoder_.EndSeen()) {
                    if (!WriteReceived(recvFill_) || !CloseReceived()) return;
                    session_.Reply(kReply226);
                    decoder_.Reset();
                    Finish(true);
                    return;
                }
            } else {
                recvFill_ += static_cast<size_t>(n);
            }
            if (moved >= kBytesPerEvent) {
                // FD_READ comes again for what the socket holds; what the
                // layer already took needs an event of its own.
                if (layer_->HasBufferedInput()) session_.PostDataEvent(channel_.socket(), FD_READ);
                break;
            }
            continue;
        }
        if (n == 0) {
            if (!WriteReceived(recvFill_)) return;
            if (session_.blockMode() && !decoder_.EndSeen()) {
                // The connection ended inside a file: the upload is cut short.
                session_.Reply(kReplyClientReset);
                Finish(false);
                return;
            }
            if (!CloseReceived()) return;
            session_.Reply(kReply226);
            Finish(true);
            return;
        }
        if (err == WSAEWOULDBLOCK) break;
        WriteReceived(recvFill_);
        if (err == kNotResumed || SecurityError(err)) {
            ReportNetworkError(err, "receive");
        } else {
            session_.Reply(NetworkErrorText("receive", err));
            session_.Log('!', "Socket error %d while receiving data", err);
        }
        EndSource();
        Finish(false);
        return;
    }
    RefreshUploadProgress();
}

// ---- the end of a transfer ----------------------------------------------------------

void CTransferEngine::EndSource() {
    StopWatchingPipe();
    pipe_ = nullptr;
    direct_ = nullptr;
    if (source_) {
        std::unique_ptr<CFile> s = std::move(source_);
        sizeUnknown_ = false;
        s->Abort();
    }
    claim_.reset();
    inProgress_ = false;
}

void CTransferEngine::Finish(bool success) {
    // A connection that goes is deselected as it is closed.
    const bool closing = !session_.blockMode() || !success;
    // The connection goes first: the client may be waiting for its end.
    if (closing) {
        channel_.Close(!success);
    } else {
        channel_.Deselect();
    }
    // The name of the file moved is kept apart: the source may have ended
    // before the transfer finishes.
    const std::string name = logName_;
    const std::string bytes = std::to_string(transferred_);
    if (!success) KeepReceived();
    EndSource();
    session_.SetStatus("Fail");
    FreeBuffers();
    session_.Log('C', "Transfer %s", success ? "finished" : "aborted");
    const char* un = success ? "" : "un";
    switch (channel_.state()) {
        case DataState::SendFile:
            session_.Log('G', "Got %s bytes of file %s %ssuccessfully", bytes.c_str(), name.c_str(), un);
            break;
        case DataState::SendListing:
        case DataState::SendMachineListing:
            session_.Log('G', "Got file listing %ssuccessfully", un);
            break;
        case DataState::ReceiveFile:
        case DataState::ReceiveUniqueFile:
            session_.Log('P', "Put %s bytes of file %s %ssuccessfully", bytes.c_str(), name.c_str(), un);
            break;
        case DataState::PassiveListening:
        case DataState::PassiveAccepted:
            session_.Log('C', "Closing passive socket - nothing transferred");
            break;
    }
    started_ = false;
    if (success) session_.SetStatus("Success");
}

void CTransferEngine::EndReplacedTransfer() {
    if (!Busy()) {
        SettleAnswered();
        return;
    }
    // Every 150 (or transfer command still waiting for its connection) has
    // its final reply.
    session_.Reply("426 Transfer aborted.");
    Finish(false);
}

void CTransferEngine::SettleAnswered() {
    // Block mode keeps its connection from one transfer to the next.
    if (started_ && channel_.open() && !source_ && !sendBuf_ && recvBuf_.empty() && !session_.blockMode())
        Finish(true);
}

void CTransferEngine::Abandon() {
    if (source_ || sendBuf_ || !recvBuf_.empty()) {
        Finish(false);
        return;
    }
    if (started_ && channel_.open()) {
        // Everything was sent and the 226 given; only the client's close was
        // still awaited. A graceful close keeps the last bytes, which may
        // still sit in the socket's send queue.
        Finish(true);
        return;
    }
    EndSource();
    channel_.Close(true);
    started_ = false;
}

}  // namespace orvyn
