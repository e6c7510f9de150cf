#include "service/core/session/DataTransfer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/eventloop/Winsock.h"
#include "service/accounts/paths/DeviceNames.h"
#include "service/accounts/paths/DiskPath.h"
#include "service/accounts/paths/PathResolver.h"
#include "service/accounts/paths/PathRights.h"
#include "service/core/server/FtpServer.h"
#include "service/core/session/FtpSession.h"
#include "service/transfer/conversions/Conversion.h"
#include "service/transfer/conversions/ConversionCommand.h"
#include "service/transfer/conversions/PopenFile.h"
#include "service/transfer/data/DataAddress.h"
#include "service/transfer/data/PassiveReplies.h"
#include "service/transfer/data/PasvPortSearch.h"
#include "service/transfer/data/SocketTuning.h"
#include "service/transfer/data/WinsockText.h"
#include "service/transfer/files/BigFile.h"
#include "service/transfer/files/FileException.h"
#include "service/transfer/files/RestartMarker.h"
#include "service/transfer/files/TempFileName.h"
#include "service/transfer/files/TransferTexts.h"
#include "service/transfer/listing/SpoolFile.h"

namespace orvyn {

using eventloop::FD_ACCEPT;
using eventloop::FD_CLOSE;
using eventloop::FD_CONNECT;
using eventloop::FD_READ;
using eventloop::FD_WRITE;
using eventloop::INVALID_SOCKET;
using eventloop::Message;
using eventloop::WSAEWOULDBLOCK;

namespace {

constexpr const char* kReply226 = "226 Transfer finished successfully.";

// A listing spool read as a transfer source.
class CSpoolSource : public CFile {
public:
    explicit CSpoolSource(std::unique_ptr<SpoolFile> spool) : spool_(std::move(spool)) {}
    size_t Read(void* buffer, size_t size) override {
        const ssize_t n = spool_->Read(buffer, size);
        if (n < 0) throw CFileException(FileCause::HardIO, EIO);
        if (n == 0) ended_ = true;
        return static_cast<size_t>(n);
    }
    void Write(const void*, size_t) override { throw CFileException(FileCause::AccessDenied, EACCES); }
    void Close() override { spool_.reset(); }
    void Abort() noexcept override { spool_.reset(); }
    bool IsOpen() const override { return spool_ != nullptr; }
    bool Ended() const override { return ended_; }

private:
    std::unique_ptr<SpoolFile> spool_;
    bool ended_ = false;
};

std::string FormatText(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatText(const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return {};
    return std::string(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

std::string Cut(std::string_view text, size_t n) { return std::string(text.substr(0, n)); }

}  // namespace

CDataTransfer::CDataTransfer(CFtpSession& session) : session_(session) {}

CDataTransfer::~CDataTransfer() {
    // The session closes the data connection before it goes; whatever is
    // left here is only released.
    if (pipeFd_ >= 0) {
        session_.server_.dataMap().RemoveKey(pipeFd_);
        session_.server_.loop().AsyncSelect(pipeFd_, nullptr, Message::Data, 0);
        pipeFd_ = -1;
    }
    if (source_) source_->Abort();
}

void CDataTransfer::Reply(std::string_view line) {
    std::string text(line);
    text += "\r\n";
    session_.WriteText(text, false);
}

void CDataTransfer::Status(const char* text) { session_.status_ = text; }

int CDataTransfer::Refuse(std::string_view reply) {
    Reply(reply);
    Status("Fail");
    return 1;
}

// ---- PORT, EPRT -----------------------------------------------------------------

int CDataTransfer::Port(std::string_view arg) { return SetDataTarget(arg, false); }

int CDataTransfer::Eprt(std::string_view arg) { return SetDataTarget(arg, true); }

int CDataTransfer::SetDataTarget(std::string_view arg, bool eprt) {
    if (RefusedAfterEpsvAll()) return 1;
    session_.dataAddressGiven_ = false;
    state_ = DataState::ReceiveFile;
    const CServerSettings& st = session_.server_.settings();
    const DataTargetRules rules{st.disableLowPorts, st.requireBackPort};
    const sockaddr* peer = reinterpret_cast<const sockaddr*>(&session_.peer_);
    DataTarget t = eprt ? ParseEprtArgument(arg, peer, rules) : ParsePortArgument(arg, peer, rules);
    const std::string argText = Cut(arg, 200);
    switch (t.outcome) {
        case DataTargetOutcome::Accepted:
            dataAddr_ = t.address;
            dataAddrLen_ = t.length;
            session_.dataAddressGiven_ = true;
            Reply(t.reply());
            if (eprt) {
                session_.Log('C', kLogEprtSet, t.addressText.c_str(), t.port);
            } else {
                session_.Log('C', kLogPortSet, t.addressText.c_str(), t.port, t.p1, t.p2);
            }
            Status("Success");
            return 0;
        case DataTargetOutcome::BadSyntax:
            Reply(t.reply());
            session_.Log('C', "%s", kLogBadPortParameters);
            break;
        case DataTargetOutcome::Refused:
            Reply(t.reply());
            session_.Log('C', "%s", kLogBadPortParameters);
            session_.Log('!', kLogPortOtherAddress, argText.c_str());
            break;
        case DataTargetOutcome::BadProtocol:
            Reply(t.reply());
            session_.Log('C', kLogEprtBadProtocol, t.protocol);
            break;
    }
    Status("Fail");
    return 1;
}

// ---- PASV, EPSV -----------------------------------------------------------------

// Creates the passive listener and binds it by the instance's port search.
// Returns 0, or 1 after the failure has been replied.
int CDataTransfer::OpenPassiveSocket() {
    CFtpServer& server = session_.server_;
    state_ = DataState::PassiveListening;
    CloseDataSocket(true);
    const sockaddr_storage& local = session_.local_;
    const int fd = ::socket(local.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Reply(kReplyPasvNoSocket);
        session_.Log('!', "%s", kLogPasvNoSocket);
        Status("Fail");
        return 1;
    }
    server.IncrementOpenSockets();
    session_.dataSocket_ = fd;
    sockaddr_storage addr = local;
    const socklen_t len = session_.localLen_;
    auto tryBind = [&](int port) -> int {
        if (addr.ss_family == AF_INET6) {
            reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port = htons(static_cast<uint16_t>(port));
        } else {
            reinterpret_cast<sockaddr_in*>(&addr)->sin_port = htons(static_cast<uint16_t>(port));
        }
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0) return 0;
        return eventloop::WsaFromErrno(errno);
    };
    const long low = server.registry().ReadInt("Security", "LowPort", 0);
    const long high = server.registry().ReadInt("Security", "HighPort", 0);
    const bool random = server.registry().ReadInt("Security", "RandomPorts", 0) != 0;
    const int err = server.pasvPorts().Search(low, high, random, tryBind);
    if (err != 0) {
        if (std::max(low, 0L) >= std::min(high, 65535L)) {
            session_.Log('?', kLogBindErrorCode, err);
            session_.Log('!', kLogPasvBindFailed, err);
        }
        Reply(kReplyPasvNoBind);
        CloseDataSocket(true);
        Status("Fail");
        return 1;
    }
    session_.server_.dataMap().SetAt(fd, &session_.record_);
    server.loop().AsyncSelect(fd, &server, Message::Data, FD_ACCEPT);
    const int window = static_cast<int>(server.registry().ReadInt(nullptr, "WindowSize", 8192));
    RaiseSocketBuffer(fd, SO_SNDBUF, window);
    RaiseSocketBuffer(fd, SO_RCVBUF, window);
    if (::listen(fd, 1) != 0) {
        session_.LogSocketError(eventloop::WsaFromErrno(errno), __LINE__, "listen");
        Reply(kReplyPasvNoBind);
        CloseDataSocket(true);
        Status("Fail");
        return 1;
    }
    return 0;
}

bool CDataTransfer::RefusedAfterEpsvAll() {
    if (!epsvAll_) return false;
    Reply(kReplyOnlyEpsv);
    Status("Fail");
    return true;
}

int CDataTransfer::Pasv(std::string_view) {
    if (RefusedAfterEpsvAll()) return 1;
    if (OpenPassiveSocket() != 0) return 1;
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(session_.dataSocket_, reinterpret_cast<sockaddr*>(&bound), &len);
    const std::optional<in_addr> staticIp =
        ParseStaticIp(session_.server_.registry().ReadString("Security", "PASVStaticIP", ""));
    const auto numbers = PasvNumbers(reinterpret_cast<const sockaddr*>(&bound), staticIp);
    Reply(PasvReplyText(numbers));
    session_.dataAddressGiven_ = true;
    session_.Log('C', "%s", PasvLogText(numbers).c_str());
    Status("Success");
    return 0;
}

int CDataTransfer::Epsv(std::string_view arg) {
    const sockaddr* local = reinterpret_cast<const sockaddr*>(&session_.local_);
    const EpsvRequest req = ParseEpsvArgument(arg, local);
    switch (req.kind) {
        case EpsvKind::All:
            epsvAll_ = true;
            Reply(kReplyEpsvAll);
            Status("Success");
            return 0;
        case EpsvKind::BadProtocol:
            return Refuse(EpsvUnsupportedText(local));
        case EpsvKind::BadSyntax:
            return Refuse(kReplyEpsvIllegal);
        case EpsvKind::Open:
            break;
    }
    if (OpenPassiveSocket() != 0) return 1;
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(session_.dataSocket_, reinterpret_cast<sockaddr*>(&bound), &len);
    const int port = AddressPort(reinterpret_cast<const sockaddr*>(&bound));
    Reply(EpsvReplyText(port));
    session_.dataAddressGiven_ = true;
    session_.Log('C', kLogEpsv, port);
    Status("Success");
    return 0;
}

// ---- opening the data connection -------------------------------------------------

bool CDataTransfer::AllocateBuffer() {
    CFtpServer& server = session_.server_;
    const size_t size = std::max(TransferBufferSize(server.registry().ReadInt(nullptr, "FileBufferSize", 8192)),
                                 kMinBufferSize);
    try {
        if (IsSendingKind(state_)) {
            if (!sendBuf_ || sendBuf_->size() != size || sendBuf_->blockMode() != session_.blockMode_) {
                sendBuf_.emplace(size, session_.blockMode_);
            } else {
                sendBuf_->Clear();
            }
            std::vector<uint8_t>().swap(recvBuf_);
        } else {
            if (recvBuf_.size() != size) recvBuf_.assign(size, 0);
            sendBuf_.reset();
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    recvFill_ = 0;
    return true;
}

void CDataTransfer::FreeBuffer() {
    sendBuf_.reset();
    std::vector<uint8_t>().swap(recvBuf_);
    recvFill_ = 0;
}

bool CDataTransfer::OpenDataConnection(DataState kind) {
    if (IsPassiveState(state_) && session_.dataSocket_ != INVALID_SOCKET) {
        const bool accepted = state_ == DataState::PassiveAccepted;
        state_ = kind;
        if (!AllocateBuffer()) return false;
        if (accepted) Complete(acceptError_);
        return true;
    }
    return OpenActive(kind);
}

bool CDataTransfer::OpenActive(DataState kind) {
    CFtpServer& server = session_.server_;
    decoder_.Reset();
    if (session_.blockMode_ && session_.dataSocket_ != INVALID_SOCKET) {
        // A block-mode connection outlives its transfers: the next one starts
        // on it like on a new connection.
        state_ = kind;
        if (!AllocateBuffer()) return false;
        Complete(0);
        return true;
    }
    CloseDataSocket(true);
    const sockaddr_storage& local = session_.local_;
    const int fd = ::socket(local.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int err = eventloop::WsaFromErrno(errno);
        session_.LogSocketError(err, __LINE__, "socket");
        Complete(err > 10000 ? err : eventloop::WSAEMFILE);
        return false;
    }
    server.IncrementOpenSockets();
    session_.dataSocket_ = fd;
    state_ = kind;
    server.dataMap().SetAt(fd, &session_.record_);
    if (!AllocateBuffer()) return false;
    int err = BindActiveDataSocket(fd, reinterpret_cast<const sockaddr*>(&local), session_.localLen_);
    if (err != 0) {
        Complete(err);
        return true;
    }
    linger lg{0, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    const int window = static_cast<int>(server.registry().ReadInt(nullptr, "WindowSize", 8192));
    if (session_.blockMode_ || IsSendingKind(kind)) RaiseSocketBuffer(fd, SO_SNDBUF, window);
    if (session_.blockMode_ || IsReceivingKind(kind)) RaiseSocketBuffer(fd, SO_RCVBUF, window);
    server.loop().AsyncSelect(fd, &server, Message::Data, FD_CONNECT);
    sockaddr_storage target = dataAddr_;
    socklen_t targetLen = dataAddrLen_;
    if (!AdaptToFamily(target, targetLen, local.ss_family)) {
        Complete(eventloop::WSAEAFNOSUPPORT);
        return true;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&target), targetLen) == 0) {
        Complete(0);
        return true;
    }
    err = eventloop::WsaFromErrno(errno);
    if (errno == EINPROGRESS || err == WSAEWOULDBLOCK) return true;
    Complete(err);
    return true;
}

void CDataTransfer::Complete(int error) {
    CFtpServer& server = session_.server_;
    if (error != 0) {
        EndSource();
        CloseDataSocket(true);
        const ConnectFailureReport r = DescribeConnectFailure(error);
        Reply(r.reply);
        session_.Log('!', "%s", r.warning.c_str());
        Status("Fail");
        FreeBuffer();
        return;
    }
    if (session_.dataSocket_ == INVALID_SOCKET) return;
    if (session_.protection_ < 2 && server.registry().ReadInt("TLS", "ForbidClearData", 0) != 0) {
        Reply("530 All data transfers and file listings must be encrypted.");
        session_.Log('!', "Data transfer attempted without encrypting data channel");
        Status("Fail");
        EndSource();
        CloseDataSocket(true);
        FreeBuffer();
        return;
    }
    if (started_) return;
    started_ = true;
    // The 150 and 226 replies of a short transfer follow each other at once;
    // with Nagle's algorithm the second would wait for the client's delayed
    // acknowledgement of the first, costing tens of milliseconds per file.
    const int one = 1;
    ::setsockopt(session_.socket_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    StartReplyInput in;
    in.kind = state_;
    in.imageType = session_.type_ == kTypeImage;
    in.clientName = clientName_;
    if (!sizeUnknown_) in.bytesToSend = fileSize_;
    Reply(StartReplyText(in));
    uint32_t events = IsSendingKind(state_) ? (FD_READ | FD_WRITE | FD_CLOSE) : (FD_READ | FD_CLOSE);
    transferred_ = 0;
    recvFill_ = 0;
    if (sendBuf_) sendBuf_->Clear();
    server.loop().AsyncSelect(session_.dataSocket_, &server, Message::Data, events);
    WatchPipe();
}

void CDataTransfer::WatchPipe() {
    if (pipe_ == nullptr || pipeFd_ >= 0 || pipe_->fd() < 0) return;
    CFtpServer& server = session_.server_;
    pipeFd_ = pipe_->fd();
    server.dataMap().SetAt(pipeFd_, &session_.record_);
    server.loop().AsyncSelect(pipeFd_, &server, Message::Data, FD_READ | FD_CLOSE);
}

void CDataTransfer::OnAccept(int wsaError) {
    CFtpServer& server = session_.server_;
    if (wsaError != 0) session_.LogSocketError(wsaError, __LINE__, "accept");
    const eventloop::Socket listener = session_.dataSocket_;
    int err = 0;
    eventloop::Socket s = server.loop().Accept(listener, nullptr, nullptr, &err);
    if (s == INVALID_SOCKET && err == WSAEWOULDBLOCK) return;  // nothing waits after all
    acceptError_ = s == INVALID_SOCKET ? (err != 0 ? err : eventloop::WSAEINVAL) : 0;
    CloseDataSocket(true);
    if (s != INVALID_SOCKET) {
        server.IncrementOpenSockets();
        session_.dataSocket_ = s;
        server.dataMap().SetAt(s, &session_.record_);
    }
    if (state_ == DataState::PassiveListening) {
        state_ = DataState::PassiveAccepted;
    } else {
        Complete(acceptError_);
    }
}

void CDataTransfer::CloseDataSocket(bool abortive) {
    const eventloop::Socket d = session_.dataSocket_;
    if (d == INVALID_SOCKET) return;
    CFtpServer& server = session_.server_;
    peerClosedEarly_ = false;
    server.dataMap().RemoveKey(d);
    session_.dataSocket_ = INVALID_SOCKET;
    session_.transferWaitingToWrite_ = false;
    const int err = server.loop().CloseSocket(d, abortive);
    if (err != WSAEWOULDBLOCK) server.DecrementOpenSockets();
}

// ---- events -----------------------------------------------------------------------

void CDataTransfer::OnDataEvent(eventloop::Socket s, uint32_t event, int wsaError) {
    if (s == pipeFd_ && pipeFd_ >= 0) {
        if (session_.dataSocket_ != INVALID_SOCKET && started_) SendLoop();
        return;
    }
    if (s != session_.dataSocket_ || s == INVALID_SOCKET) return;
    if ((event & FD_ACCEPT) != 0) {
        OnAccept(wsaError);
        return;
    }
    if ((event & FD_CONNECT) != 0) {
        Complete(wsaError);
        return;
    }
    if ((event & FD_WRITE) != 0) {
        writeEventPosted_ = false;
        if (IsSendingKind(state_)) SendLoop();
        if (s != session_.dataSocket_) return;
    }
    if ((event & FD_READ) != 0) {
        if (IsReceivingKind(state_) && source_) ReceiveLoop();
        if (s != session_.dataSocket_) return;
    }
    if ((event & FD_CLOSE) != 0) OnClose(wsaError);
}

void CDataTransfer::OnClose(int wsaError) {
    const bool idle = !started_ && !source_ && !sendBuf_ && recvBuf_.empty();
    if (idle && !IsPassiveState(state_)) {
        // A block-mode connection between transfers, or one whose transfer
        // has been dealt with: nothing to finish.
        CloseDataSocket(wsaError != 0);
        return;
    }
    if (wsaError != 0) {
        if (sendBuf_ || !recvBuf_.empty()) Reply("451 Connection reset by client - transfer aborted.");
        session_.Log('C', "Transfer terminated by client closing connection");
        Finish(false);
        return;
    }
    if (IsSendingKind(state_) && Busy()) {
        peerClosedEarly_ = true;
        return;
    }
    if (IsReceivingKind(state_) && source_) {
        // The end of an upload: whatever is still buffered goes to the file.
        ReceiveLoop();
        if (!source_) {
            // Finished (or failed) in there; a block-mode connection the
            // client has closed goes too.
            CloseDataSocket(false);
            return;
        }
    }
    Finish(true);
}

// ---- sending ----------------------------------------------------------------------

void CDataTransfer::SendLoop() {
    CFtpServer& server = session_.server_;
    session_.transferWaitingToWrite_ = false;
    if (!sendBuf_) return;
    if (!started_) {
        Complete(0);
        if (session_.dataSocket_ == INVALID_SOCKET || !sendBuf_) return;
    }
    const eventloop::Socket d = session_.dataSocket_;
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
                } catch (const CFileException& e) {
                    if (e.cause() != FileCause::EndOfFile && !(sizeUnknown_ && e.osError() == EPIPE)) {
                        session_.Log('!', "File Exception %d", e.causeNumber());
                    }
                    ended = true;
                }
                if (n > 0) {
                    sendBuf_->CommitRead(n);
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
        const long n = server.loop().Send(d, unsent.data(), unsent.size(), &err);
        if (n > 0) {
            sendBuf_->MarkSent(static_cast<size_t>(n));
            transferred_ += static_cast<uint64_t>(n);
            moved += static_cast<uint64_t>(n);
            waitingForPipe = false;
            if (moved >= kBytesPerEvent) {
                // Give the other sessions their turn; a posted write event
                // brings this transfer back.
                session_.status_ = DownloadProgressText(transferred_, fileSize_);
                if (!writeEventPosted_) {
                    writeEventPosted_ = true;
                    server.loop().PostEvent(&server, Message::Data, d, FD_WRITE);
                }
                return;
            }
            continue;
        }
        if (n < 0 && err == WSAEWOULDBLOCK) {
            session_.transferWaitingToWrite_ = true;
            session_.status_ = DownloadProgressText(transferred_, fileSize_);
            return;
        }
        if (n < 0) session_.LogSocketError(err, __LINE__, "send");
        Reply(FormatText("451 Error %d in network on send", err));
        session_.Log('!', "Socket error %d while sending data", err);
        Finish(false);
        return;
    }
    session_.status_ = DownloadProgressText(transferred_, fileSize_);
    if (source_) return;  // waiting for the conversion's output
    if (!sendBuf_->Empty()) return;
    if (!session_.blockMode_) ::shutdown(d, SHUT_WR);
    FreeBuffer();
    Reply(kReply226);
    if (peerClosedEarly_ || session_.blockMode_) Finish(true);
}

// ---- receiving --------------------------------------------------------------------

bool CDataTransfer::WriteReceived(size_t n) {
    if (n == 0 || !source_) return true;
    try {
        source_->Write(recvBuf_.data(), n);
    } catch (const CFileException& e) {
        Reply(LocalWriteErrorReplyText(clientName_, e));
        EndSource();
        Finish(false);
        return false;
    }
    if (n < recvFill_) std::memmove(recvBuf_.data(), recvBuf_.data() + n, recvFill_ - n);
    recvFill_ -= n;
    return true;
}

void CDataTransfer::RefreshUploadProgress() {
    auto* file = dynamic_cast<CBigFile*>(source_.get());
    if (file == nullptr) return;
    try {
        session_.status_ = UploadProgressText(file->GetPosition());
    } catch (const CFileException&) {
    }
}

void CDataTransfer::ReceiveLoop() {
    CFtpServer& server = session_.server_;
    const eventloop::Socket d = session_.dataSocket_;
    if (d == INVALID_SOCKET || !source_ || recvBuf_.empty()) return;
    const size_t half = recvBuf_.size() / 2;
    uint64_t moved = 0;
    for (;;) {
        if (recvFill_ > half && !WriteReceived(recvFill_)) return;
        int err = 0;
        uint8_t* at = recvBuf_.data() + recvFill_;
        const long n = server.loop().Recv(d, at, recvBuf_.size() - recvFill_, &err);
        if (n > 0) {
            transferred_ += static_cast<uint64_t>(n);
            moved += static_cast<uint64_t>(n);
            if (session_.blockMode_) {
                size_t consumed = 0;
                recvFill_ += decoder_.Decode(at, static_cast<size_t>(n), &consumed);
                if (decoder_.EndSeen()) {
                    if (!WriteReceived(recvFill_)) return;
                    Reply(kReply226);
                    decoder_.Reset();
                    Finish(true);
                    return;
                }
            } else {
                recvFill_ += static_cast<size_t>(n);
            }
            if (moved >= kBytesPerEvent) break;  // FD_READ comes again for the rest
            continue;
        }
        if (n == 0) {
            if (!WriteReceived(recvFill_)) return;
            if (session_.blockMode_ && !decoder_.EndSeen()) {
                // The connection ended inside a file: the upload is cut short.
                Reply("451 Connection reset by client - transfer aborted.");
                Finish(false);
                return;
            }
            Reply(kReply226);
            Finish(true);
            return;
        }
        if (err == WSAEWOULDBLOCK) break;
        WriteReceived(recvFill_);
        Reply(FormatText("451 Error %d in network on receive", err));
        session_.Log('!', "Socket error %d while receiving data", err);
        EndSource();
        Finish(false);
        return;
    }
    RefreshUploadProgress();
}

// ---- the end of a transfer --------------------------------------------------------

void CDataTransfer::EndSource() {
    CFtpServer& server = session_.server_;
    if (pipeFd_ >= 0) {
        server.dataMap().RemoveKey(pipeFd_);
        server.loop().AsyncSelect(pipeFd_, nullptr, Message::Data, 0);
        pipeFd_ = -1;
    }
    pipe_ = nullptr;
    fileName_.clear();
    if (source_) {
        std::unique_ptr<CFile> s = std::move(source_);
        sizeUnknown_ = false;
        s->Abort();
    }
    session_.transferInProgress_ = false;
}

void CDataTransfer::Finish(bool success) {
    CFtpServer& server = session_.server_;
    const eventloop::Socket d = session_.dataSocket_;
    if (d != INVALID_SOCKET) server.loop().AsyncSelect(d, nullptr, Message::Data, 0);
    // The name of the file moved: the source, and with it fileName_, may
    // have ended before the transfer finishes.
    const std::string name = logName_;
    const std::string bytes = std::to_string(transferred_);
    EndSource();
    Status("Fail");
    FreeBuffer();
    session_.Log('C', "Transfer %s", success ? "finished" : "aborted");
    if (!session_.blockMode_ || !success) CloseDataSocket(!success);
    const char* un = success ? "" : "un";
    switch (state_) {
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
    if (success) Status("Success");
}

void CDataTransfer::Abandon() {
    if (source_ || sendBuf_ || !recvBuf_.empty()) {
        Finish(false);
        return;
    }
    if (started_ && session_.dataSocket_ != INVALID_SOCKET) {
        // Everything was sent and the 226 given; only the client's close was
        // still awaited. A graceful close keeps the last bytes, which may
        // still sit in the socket's send queue.
        Finish(true);
        return;
    }
    EndSource();
    CloseDataSocket(true);
    started_ = false;
}

// ---- paths -------------------------------------------------------------------------

std::string CDataTransfer::CurrentDirectory() {
    std::string dir = session_.account_.currentDirectory();
    if (!dir.empty()) return dir;
    // Without a login (Secure off) the session works in the service's own
    // working directory.
    char buf[4096];
    if (::getcwd(buf, sizeof buf) == nullptr) return "/";
    dir = buf;
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

bool CDataTransfer::Resolve(std::string_view arg, std::string& diskPath, std::string& rightsPath) {
    CFtpServer& server = session_.server_;
    const PathResolver resolver(DeviceNames::ForProcess(server.registry()),
                                server.settings().gfpnMethod == 0 ? JoinMethod::Platform : JoinMethod::Own);
    CSessionAccount& acc = session_.account_;
    std::string link;
    const std::string cwd = CurrentDirectory();
    if (!resolver.Resolve(arg, acc.restrictionRoot(), cwd, acc.docutech(), acc.maps(), diskPath, &link)) {
        return false;
    }
    rightsPath = link.empty() ? diskPath : link;
    return true;
}

bool CDataTransfer::HasRights(const std::string& rightsPath, int required) {
    // Without a login (Secure off) nobody's rights apply: the service's own
    // access to the file decides.
    if (!session_.loggedIn_ && !session_.server_.settings().secure) return true;
    return session_.account_.rights().HasRights(rightsPath, required);
}

std::string CDataTransfer::ClientName(const std::string& diskPath) {
    std::string p = diskPath;
    const CSessionAccount& acc = session_.account_;
    if (!DiskToFtpPath(p, acc.restrictionRoot(), acc.maps())) return std::string(FileNameOf(diskPath));
    return p;
}

bool CDataTransfer::StartConversion(const std::string& requested) {
    CFtpServer& server = session_.server_;
    CServerRegistry& reg = server.registry();
    std::vector<ConversionValue> values;
    for (const std::string& n : std::vector<std::string>(reg.ListNames("Conversions"))) {
        std::string text = reg.ReadString("Conversions", n.c_str(), "");
        if (!text.empty()) values.push_back({n, std::move(text)});
    }
    if (values.empty()) return false;
    const bool binary = session_.type_ == kTypeImage;
    std::optional<ConversionMatch> m = FindConversion(values, requested, binary);
    if (!m) return false;
    std::optional<ConversionCommand> cmd = BuildCommand(m->conversion, m->localPath);
    if (!cmd) return false;
    auto p = std::make_unique<CPopenFile>(&server.childReaper());
    if (!p->Open(cmd->argv, CurrentDirectory())) return false;
    session_.Log('G', kLogConversion, requested.c_str(), cmd->text.c_str(), m->conversion.name.c_str());
    pipe_ = p.get();
    source_ = std::move(p);
    sizeUnknown_ = true;
    fileSize_ = 0;
    transferred_ = 0;
    session_.restartMarker_ = 0;
    return true;
}

// ---- RETR -------------------------------------------------------------------------

int CDataTransfer::Retr(std::string_view arg) {
    started_ = false;
    if (!session_.dataAddressGiven_) {
        dataAddr_ = session_.peer_;
        dataAddrLen_ = session_.peerLen_;
    }
    const std::string argText = Cut(arg, 256);
    std::string path, rightsPath;
    UserIdentity asUser(session_.account_.rights());
    if (!Resolve(arg, path, rightsPath) || !asUser.ok()) {
        Reply(FormatText("550 Error: File %.256s does not exist", argText.c_str()));
        session_.Log('C', "RETR failed - file does not exist");
        Status("Fail");
        return 1;
    }
    if (IsShortcutName(path)) {
        Reply("553 Not allowed to download .LNK files.");
        session_.Log('C', "Unable to RETR file %s - LNK files not allowed (security)", path.c_str());
        Status("Fail");
        return 1;
    }
    if (!HasRights(rightsPath, kRightRead)) {
        session_.Log('C', "RETRieve failed - no rights");
        session_.Log('G', "RETRieve failed - no rights");
        Reply(FormatText("550 You do not have rights to read file %.256s", argText.c_str()));
        fileName_.clear();
        Status("Fail");
        return 1;
    }
    transferred_ = 0;
    struct stat st {};
    bool found = ::stat(path.c_str(), &st) == 0;
    const std::string suffix = session_.account_.nameSuffix().present ? session_.account_.nameSuffix().text : std::string();
    if (!found && !suffix.empty()) {
        const std::string withSuffix = path + suffix;
        if (::stat(withSuffix.c_str(), &st) == 0) {
            path = withSuffix;
            found = true;
        }
    }
    EndSource();
    sizeUnknown_ = false;
    fileSize_ = found ? static_cast<uint64_t>(st.st_size) : 0;
    if (found && S_ISDIR(st.st_mode)) {
        session_.Log('C', "RETR failed - cannot RETR a directory!");
        session_.Log('G', "RETR failed - cannot RETR a directory!");
        return Refuse(FormatText("550 Error: %.256s is a volume or a directory.", argText.c_str()));
    }
    try {
        if (found) {
            source_ = std::make_unique<CBigFile>(path, CBigFile::Mode::Read);
        } else if (!StartConversion(path)) {
            session_.Log('C', "RETR failed - file does not exist");
            session_.Log('G', "RETR failed - file does not exist");
            return Refuse(FormatText("550 Error: File %.256s does not exist", argText.c_str()));
        }
        const uint64_t marker = static_cast<uint64_t>(session_.restartMarker_);
        if (!sizeUnknown_) {
            if (marker != 0 && RetrMarkerBeyondEnd(marker, fileSize_)) {
                Reply(MarkerBeyondEndText(marker, argText));
                session_.Log('C', "%s", kLogRetrMarkerBeyondEnd);
                EndSource();
                Status("Fail");
                return 1;
            }
            fileSize_ -= marker;
            if (marker != 0) static_cast<CBigFile*>(source_.get())->Seek(static_cast<int64_t>(marker),
                                                                          CBigFile::Origin::Begin);
        }
    } catch (const CFileException& e) {
        Reply(FileErrorReplyText(argText, e));
        session_.Log('C', "RETR failed - file exception %d", e.causeNumber());
        EndSource();
        Status("Fail");
        return 1;
    }
    fileName_ = path;
    logName_ = path;
    clientName_ = ClientName(path);
    session_.restartMarker_ = 0;
    session_.transferInProgress_ = true;
    Status("Started");
    const bool ok = OpenDataConnection(DataState::SendFile);
    session_.Log('C', "RETRieve %sed on file %s", ok ? "start" : "fail", argText.c_str());
    return ok ? 0 : 1;
}

// ---- STOR, STOU, APPE -------------------------------------------------------------

int CDataTransfer::Store(std::string_view arg, bool unique, bool append) {
    started_ = false;
    if (!session_.dataAddressGiven_) {
        dataAddr_ = session_.peer_;
        dataAddrLen_ = session_.peerLen_;
    }
    const std::string argText = Cut(arg, 256);
    UserIdentity asUser(session_.account_.rights());
    if (!asUser.ok()) {
        return Refuse("550 You are not allowed to store files to that directory.");
    }
    const std::string suffix = session_.account_.nameSuffix().present ? session_.account_.nameSuffix().text : std::string();
    std::string path, rightsPath;
    bool makeUnique = unique;
    if (!unique || !arg.empty()) {
        if (!Resolve(arg, path, rightsPath)) {
            Reply("550 You are not allowed to store files to that directory.");
            session_.Log('P', "User %s not allowed access to %s", session_.userName_.c_str(), argText.c_str());
            Status("Fail");
            return 1;
        }
        path += suffix;
        rightsPath = rightsPath == path.substr(0, path.size() - suffix.size()) ? path : rightsPath;
        struct stat probe {};
        if (unique && ::lstat(path.c_str(), &probe) != 0) makeUnique = false;
    }
    if (makeUnique) {
        try {
            std::string dir = CurrentDirectory();
            if (!path.empty()) dir = FolderOf(path);
            path = CreateTempFileName(dir, kStouPrefix);
            if (!suffix.empty()) {
                // The name with the suffix is the one used; the empty file
                // made to reserve the number goes.
                ::unlink(path.c_str());
                path += suffix;
            }
            rightsPath = path;
        } catch (const CFileException& e) {
            Reply(FileErrorReplyText(argText, e));
            session_.Log('P', "STORe failed (file error) on file %s", argText.c_str());
            Status("Fail");
            return 1;
        }
    }
    if (IsShortcutName(path)) {
        Reply("553 Not allowed to upload .LNK files.");
        session_.Log('C', "Unable to STOR file %s - LNK files not allowed (security)", path.c_str());
        Status("Fail");
        return 1;
    }
    struct stat st {};
    bool exists = ::stat(path.c_str(), &st) == 0;
    // STOU's own reserved file counts as new.
    if (makeUnique && exists && st.st_size == 0) exists = false;
    if (!HasRights(rightsPath, exists ? kRightOverwrite : kRightCreate)) {
        if (makeUnique) ::unlink(path.c_str());
        Reply("550 You are not allowed to store files to that directory.");
        session_.Log('P', "User %s not allowed access to %s", session_.userName_.c_str(), path.c_str());
        Status("Fail");
        return 1;
    }
    const uint64_t marker = static_cast<uint64_t>(session_.restartMarker_);
    if (exists) {
        if (StorMarkerBeyondEnd(marker, static_cast<uint64_t>(st.st_size))) {
            Reply(MarkerBeyondEndText(marker, argText));
            session_.Log('C', "%s", kLogStorMarkerBeyondEnd);
            Status("Fail");
            return 1;
        }
        if (S_ISDIR(st.st_mode)) {
            Reply(FormatText("550 Error: %.256s is a volume or a directory.", argText.c_str()));
            session_.Log('C', "STOR failed - cannot STOR a directory!");
            session_.Log('P', "STOR failed - cannot STOR a directory!");
            Status("Fail");
            return 1;
        }
    }
    bool retried = false;
    for (;;) {
        transferred_ = 0;
        EndSource();
        try {
            auto file = std::make_unique<CBigFile>(path, CBigFile::Mode::Write);
            if (!(append && marker == 0)) file->SetLength(marker);
            file->SeekToEnd();
            source_ = std::move(file);
            break;
        } catch (const CFileException& e) {
            if (e.TargetInUse() && marker == 0 && !append && !retried) {
                retried = true;
                try {
                    MoveAsideAndDelete(path);
                    continue;
                } catch (const CFileException&) {
                }
            } else if (append && e.cause() == FileCause::FileNotFound && !retried) {
                append = false;
                retried = true;
                continue;
            }
            Reply(FileErrorReplyText(argText, e));
            session_.Log('P', "STORe failed (file error) on file %s", argText.c_str());
            EndSource();
            Status("Fail");
            return 1;
        }
    }
    fileName_ = path;
    logName_ = path;
    clientName_ = ClientName(path);
    session_.transferInProgress_ = true;
    Status("Started");
    decoder_.Reset();
    const bool ok = OpenDataConnection(makeUnique ? DataState::ReceiveUniqueFile : DataState::ReceiveFile);
    session_.Log('P', "STORe %sed on file %s", ok ? "start" : "fail", argText.c_str());
    return ok ? 0 : 1;
}

// ---- REST, ABOR ---------------------------------------------------------------------

int CDataTransfer::Rest(std::string_view arg) {
    const std::optional<int64_t> marker = ParseRestartMarker(arg);
    if (!marker) {
        Reply(RestRefusedText(arg));
        session_.restartMarker_ = 0;
        Status("Fail");
        return 1;
    }
    session_.restartMarker_ = *marker;
    Reply(RestAcceptedText(*marker));
    Status("Success");
    return 0;
}

int CDataTransfer::Abor(std::string_view) {
    if (!source_) {
        Reply("225 ABOR command successful (nothing to abort!)");
        session_.Log('C', "ABORt command successful - nothing to abort!");
        Status("Success");
        return 0;
    }
    Reply("426 Transfer aborted.");
    Reply("226 Abort Successful.");
    session_.Log('C', "ABORt command successful");
    Finish(false);
    Status("Success");
    return 0;
}

// ---- SIZE, MDTM -------------------------------------------------------------------

int CDataTransfer::Size(std::string_view arg) {
    const std::string argText = Cut(arg, 256);
    UserIdentity asUser(session_.account_.rights());
    std::string path, rightsPath;
    struct stat st {};
    if (!asUser.ok() || !Resolve(arg, path, rightsPath)) {
        return Refuse(FormatText("550 Error: File %.256s either does not exist, or is not a normal file", argText.c_str()));
    }
    if (!HasRights(rightsPath, kRightRead) && !HasRights(rightsPath, kRightList)) {
        return Refuse("550 You have no rights to list that directory!");
    }
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        return Refuse(FormatText("550 Error: File %.256s either does not exist, or is not a normal file", argText.c_str()));
    }
    Reply(SizeReplyText(static_cast<uint64_t>(st.st_size)));
    Status("Success");
    return 0;
}

int CDataTransfer::Mdtm(std::string_view arg) {
    const std::string argText = Cut(arg, 256);
    UserIdentity asUser(session_.account_.rights());
    std::string path, rightsPath;
    struct stat st {};
    if (!asUser.ok() || !Resolve(arg, path, rightsPath)) {
        return Refuse(FormatText("550 Error: File %.256s does not exist", argText.c_str()));
    }
    if (!HasRights(rightsPath, kRightList)) {
        return Refuse("550 You have no rights to list that directory!");
    }
    if (::stat(path.c_str(), &st) != 0 || path == "/") {
        return Refuse(FormatText("550 Error: File %.256s does not exist", argText.c_str()));
    }
    const std::string text = MdtmReplyText(st.st_mtime);
    if (text.empty()) {
        return Refuse(FormatText("550 Error: File %.256s does not exist", argText.c_str()));
    }
    Reply(text);
    Status("Success");
    return 0;
}

// ---- listings ----------------------------------------------------------------------

bool CDataTransfer::StartListingTransfer(DataState kind, std::unique_ptr<SpoolFile> spool) {
    if (kind != DataState::SendListing && kind != DataState::SendMachineListing) return false;
    started_ = false;
    if (!session_.dataAddressGiven_) {
        dataAddr_ = session_.peer_;
        dataAddrLen_ = session_.peerLen_;
    }
    EndSource();
    if (!spool || !spool->Rewind()) {
        // The listing could not be made: a failure, not an empty listing.
        Reply("451 Could not open local file.");
        session_.Log('!', "Non-winsock (i.e. file) error %d during connect.", EIO);
        CloseDataSocket(true);
        state_ = DataState::ReceiveFile;
        Status("Fail");
        return false;
    }
    fileSize_ = spool->size();
    sizeUnknown_ = false;
    transferred_ = 0;
    source_ = std::make_unique<CSpoolSource>(std::move(spool));
    clientName_.clear();
    session_.transferInProgress_ = true;
    Status("Started");
    return OpenDataConnection(kind);
}

}  // namespace orvyn
