// The send and receive engine of a session's data connection: moves the
// bytes of one transfer between its source or target file and the data
// socket, and ends the transfer with its reply and log lines.
//
// Sending: the send loop refills a CSendBuffer from the source in half-buffer
// reads and sends until the socket would block, then waits for the next
// write event. A conversion's pipe is selected on the loop as well, so a
// child that has written nothing yet holds up nobody. Receiving: the receive
// loop reads until the socket would block and writes to the file in large
// pieces. In block mode the framing is added and stripped on the way and the
// connection stays open between transfers.
//
// Every byte goes through the connection's security layer (CSecSock) in
// SendSome and ReceiveSome, the one place a protected data connection plugs
// in; only a plain file sent in stream mode over the plain layer goes by
// sendfile instead (SendDirect). The engine owns the transfer's file (or pipe, or listing spool) and its
// buffers; the socket belongs to the channel. Loop thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "platform/eventloop/EventLoop.h"
#include "service/transfer/connection/DataChannel.h"
#include "service/transfer/files/UploadClaim.h"
#include "service/transfer/files/BlockFraming.h"
#include "service/transfer/files/RawBuffer.h"
#include "service/transfer/security/TlsSock.h"

namespace orvyn {

class CBigFile;
class CFile;
class CPopenFile;
class CSecSock;
class CTlsSock;
class IDataSession;

class CTransferEngine final : public IChannelOwner {
public:
    // Transfers through the buffer read and write at least half of this per
    // call, whatever FileBufferSize says: smaller disk and socket calls cost
    // more than the memory. Not more: what one call puts in the buffer is
    // taken out again (written to the file, encrypted, sent) while it is
    // still in the processor's cache, which a larger buffer would have left.
    static constexpr size_t kMinBufferSize = 64 * 1024;
    // Bytes one event may move before the loop is given back to the other
    // sessions (the transfer then goes on from a posted event).
    static constexpr uint64_t kBytesPerEvent = 8u * 1024 * 1024;
    // Bytes one sendfile call is asked for.
    static constexpr size_t kDirectChunk = 2u * 1024 * 1024;

    CTransferEngine(IDataSession& session, CDataChannel& channel);
    ~CTransferEngine() override;
    CTransferEngine(const CTransferEngine&) = delete;
    CTransferEngine& operator=(const CTransferEngine&) = delete;

    // ---- setting up a transfer (the transfer commands) ---------------------------
    // A transfer command begins: its 150 is still to come.
    void NewCommand() { started_ = false; }
    // The file, pipe or spool of the next transfer. size: bytes to send, or
    // nullopt when unknown (a conversion's output). pipe: the source when it
    // is a conversion, whose output pipe is then watched on the loop.
    void Attach(std::unique_ptr<CFile> source, std::optional<uint64_t> size, CPopenFile* pipe = nullptr);
    // The local path (for the log line at the end) and the name the client
    // gave (for the 150 and STAT).
    void Describe(const std::string& localPath, std::string clientName);
    // Closes and forgets the source without finishing anything.
    void EndSource();
    // Holds the upload's claim on its file until the source ends.
    void HoldClaim(std::unique_ptr<CUploadClaim> claim) { claim_ = std::move(claim); }
    void SetInProgress(bool on) { inProgress_ = on; }
    // While held, a connection that is ready at once does not start sending
    // until the hold ends, so that the command can log its start first.
    // Ending the hold sends what became ready meanwhile.
    void HoldFirstSend() { holdFirstSend_ = true; }
    void EndFirstSendHold();

    // ---- events ---------------------------------------------------------------------
    // Write, read and close events of the data socket, and the pipe's events.
    void OnSocketEvent(uint32_t event, int wsaError);
    void OnPipeEvent();
    bool watchesPipe(eventloop::Socket s) const { return pipeFd_ >= 0 && s == pipeFd_; }

    // ---- the end --------------------------------------------------------------------
    // Ends the transfer: log lines, the socket closed unless a block-mode
    // transfer succeeded, status.
    void Finish(bool success);
    // Ends whatever runs: a transfer as aborted, else an idle data socket
    // (abortive close).
    void Abandon();
    // AUTH and REIN: a data connection protected by TLS is closed. Returns
    // whether that ended a transfer that was still moving data.
    bool DropSecurityLayer();

    // ---- state ----------------------------------------------------------------------
    bool SourceOpen() const { return source_ != nullptr; }
    // Data is left to move: the source is open or sent bytes wait in the buffer.
    bool Busy() const { return source_ != nullptr || (sendBuf_ && !sendBuf_->Empty()); }
    // A transfer command has started a transfer that has not ended.
    bool inProgress() const { return inProgress_; }
    // The last send would have blocked: the instance's timer nudges it.
    bool waitingToWrite() const { return waitingToWrite_; }
    uint64_t bytesTransferred() const { return transferred_; }
    // Moves with every byte taken from or given to the connection, the
    // records of a TLS layer included: a sign of progress for the idle rule.
    uint64_t progress() const { return transferred_ + (layer_ != nullptr ? layer_->RecordBytesSent() : 0); }
    uint64_t fileSize() const { return fileSize_; }
    // The source file's place and length (STAT), counting in an upload the
    // received bytes not yet written; false for a pipe.
    bool SourcePlace(uint64_t& position, uint64_t& length) const;
    const std::string& clientName() const { return clientName_; }

    // ---- IChannelOwner ----------------------------------------------------------------
    bool PrepareBuffers() override;
    void ConnectionReady(int wsaError) override;
    void ConnectionClosed() override;
    void SettleAnswered() override;
    void EndReplacedTransfer() override;

private:
    void SendLoop();
    // The first send of a plain file over a connection ready at once.
    void SendAtOnce();
    // Sends a plain file by the kernel (sendfile); false when that cannot be
    // done here (the buffered send loop then runs).
    bool SendDirect();
    // The last byte has gone: shutdown (stream mode), 226, the end.
    void EndOfSending();
    // A full batch has gone: the loop is given back until a posted write event.
    void GiveWay();
    // The socket is full: the next write event goes on.
    void WaitForRoom();
    // A send failed (err 0: the connection took nothing): 451 and the end.
    void SendFailed(int err, const char* call);
    void ReceiveLoop();
    void OnClose(int wsaError);
    // Writes n bytes from the front of the receive buffer; false after a
    // write error (replied, transfer ended).
    bool WriteReceived(size_t n);
    // Closes the file of a complete upload; false (the failure replied and
    // the transfer finished) when the close fails.
    bool CloseReceived();
    // An upload that ends early keeps on disk what arrived before the end:
    // a resumed upload goes on from the size there. Write errors are not
    // reported (the transfer already failed).
    void KeepReceived();
    void RefreshUploadProgress();
    void WatchPipe();
    void StopWatchingPipe();
    void FreeBuffers();
    // The connection's security layer.
    long SendSome(const uint8_t* data, size_t size, int* wsaError);
    long ReceiveSome(uint8_t* data, size_t size, int* wsaError);
    // A protected connection just established: when TLS\RequireSessionReuse
    // is set, its session must resume the control connection's; false
    // (with *wsaError set to kNotResumed) when it does not.
    bool SessionAcceptable(int* wsaError);
    // A write event while the connection only receives, a read event while
    // it only sends: the layer's handshake and closure go on.
    void TakeLayerInput();
    // The reply and log line of a send or receive error.
    void ReportNetworkError(int err, const char* call);

    IDataSession& session_;
    CDataChannel& channel_;
    CSecSock* layer_;
    std::unique_ptr<CTlsSock> tls_;  // the layer of a protected connection
    bool sessionChecked_ = false;
    bool started_ = false;
    bool peerClosedEarly_ = false;
    bool inProgress_ = false;
    bool waitingToWrite_ = false;
    bool writeEventPosted_ = false;
    bool inSendLoop_ = false;
    bool written_ = false;  // an upload has written to its file
    bool holdFirstSend_ = false;
    bool firstSendHeld_ = false;  // ready during the hold: the send is owed

    std::unique_ptr<CFile> source_;
    std::unique_ptr<CUploadClaim> claim_;  // an upload's claim on its file
    CPopenFile* pipe_ = nullptr;  // source_ when it is a conversion's output
    CBigFile* direct_ = nullptr;  // source_ when it is a plain file the kernel can send
    int pipeFd_ = -1;             // the pipe as selected on the loop
    int pipeCheck_ = 0;           // the timer that looks for the command's exit
    bool sizeUnknown_ = false;
    uint64_t fileSize_ = 0;
    // Whether the transfer's 150 announced the size (kept after the source
    // has gone).
    bool sizeAnnounced_ = false;
    // The source's file ended short of its length at the open, or could not
    // be read on: how far its reads got, and that length (0: not known).
    std::optional<std::pair<uint64_t, uint64_t>> endedShort_;
    uint64_t transferred_ = 0;
    std::string clientName_;  // what the client called the file
    std::string logName_;     // the local path, kept for the log line at the end

    std::optional<CSendBuffer> sendBuf_;
    CRawBuffer recvBuf_;
    size_t recvFill_ = 0;
    CBlockDecoder decoder_;
};

}  // namespace orvyn
