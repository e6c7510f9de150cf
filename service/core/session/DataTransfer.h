// The data side of one FTP session: how its data connection comes to exist
// (PORT, EPRT, PASV, EPSV, the active connect, the passive accept), the
// transfers that run over it (RETR, STOR, STOU, APPE, listings), the restart
// marker, ABOR, SIZE and MDTM, and how the connection ends.
//
// One object per session, owned by it; everything runs on the event loop's
// thread. The data socket itself stays in the session (the instance's timer
// and disconnect code read it there); this object keeps the rest.
//
// Sending: the send loop refills a CSendBuffer from the transfer source in
// half-buffer reads and sends until the socket would block, then waits for
// the next write event. A conversion's pipe is selected on the loop as well,
// so a child that has written nothing yet holds up nobody. Receiving: the
// receive loop reads until the socket would block and writes to the file in
// large pieces. In block mode the framing is added and stripped on the way
// and the connection stays open between transfers.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/eventloop/EventLoop.h"
#include "service/transfer/data/TransferKind.h"
#include "service/transfer/files/BlockFraming.h"

namespace orvyn {

class CFile;
class CFileException;
class CFtpSession;
class CPopenFile;
class SpoolFile;

class CDataTransfer {
public:
    // Stream-mode transfers read and write at least half of this per call,
    // whatever FileBufferSize says: small disk and socket calls cost far
    // more than the memory.
    static constexpr size_t kMinBufferSize = 512 * 1024;
    // Bytes one event may move before the loop is given back to the other
    // sessions (the transfer then goes on from a posted event).
    static constexpr uint64_t kBytesPerEvent = 8u * 1024 * 1024;

    explicit CDataTransfer(CFtpSession& session);
    ~CDataTransfer();
    CDataTransfer(const CDataTransfer&) = delete;
    CDataTransfer& operator=(const CDataTransfer&) = delete;

    // ---- commands (argument as the client sent it; 0 on success) -------------
    int Port(std::string_view arg);
    int Eprt(std::string_view arg);
    int Pasv(std::string_view arg);
    int Epsv(std::string_view arg);
    int Retr(std::string_view arg);
    // STOR (unique false, append false), STOU (unique), APPE (append).
    int Store(std::string_view arg, bool unique, bool append);
    int Rest(std::string_view arg);
    int Abor(std::string_view arg);
    int Size(std::string_view arg);
    int Mdtm(std::string_view arg);

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
    void Abandon();

    bool SourceOpen() const { return source_ != nullptr; }
    // Data is left to move: the source is open or sent bytes wait in the buffer.
    bool Busy() const { return source_ != nullptr || (sendBuf_ && !sendBuf_->Empty()); }
    DataState dataState() const { return state_; }
    uint64_t bytesTransferred() const { return transferred_; }
    // What STAT shows of a running file transfer: the name the client gave,
    // the bytes moved so far and the file's length (0 for uploads).
    const std::string& clientName() const { return clientName_; }
    uint64_t fileSize() const { return fileSize_; }
    bool epsvAll() const { return epsvAll_; }
    // REIN: the client may set up data connections any way again.
    void ForgetEpsvAll() { epsvAll_ = false; }

private:
    // ---- data connection -----------------------------------------------------
    int SetDataTarget(std::string_view arg, bool eprt);
    // PORT, EPRT and PASV after EPSV ALL: replies 503 and returns true.
    bool RefusedAfterEpsvAll();
    bool OpenDataConnection(DataState kind);
    bool OpenActive(DataState kind);
    void Complete(int error);
    void OnAccept(int wsaError);
    void CloseDataSocket(bool abortive);
    int OpenPassiveSocket();
    bool AllocateBuffer();
    void FreeBuffer();

    // ---- transfers -------------------------------------------------------------
    void SendLoop();
    void ReceiveLoop();
    void OnClose(int wsaError);
    void Finish(bool success);
    void EndSource();
    // Writes n bytes from the front of the receive buffer; false after a
    // write error (replied, transfer ended).
    bool WriteReceived(size_t n);
    void RefreshUploadProgress();
    void WatchPipe();

    // ---- paths -------------------------------------------------------------------
    // Resolves a client path to a disk path; rightsPath receives the path the
    // rights are judged on (the shortcut's place, or the disk path).
    bool Resolve(std::string_view arg, std::string& diskPath, std::string& rightsPath);
    bool HasRights(const std::string& rightsPath, int required);
    std::string CurrentDirectory();
    std::string ClientName(const std::string& diskPath);
    bool StartConversion(const std::string& requested);

    void Reply(std::string_view line);
    // Sends a refusal, sets the status text to "Fail" and returns 1.
    int Refuse(std::string_view reply);
    void Status(const char* text);

    CFtpSession& session_;
    DataState state_ = DataState::ReceiveFile;
    sockaddr_storage dataAddr_{};
    socklen_t dataAddrLen_ = 0;
    int acceptError_ = 0;
    bool started_ = false;
    bool peerClosedEarly_ = false;
    bool epsvAll_ = false;

    std::unique_ptr<CFile> source_;
    CPopenFile* pipe_ = nullptr;  // source_ when it is a conversion's output
    int pipeFd_ = -1;             // the pipe as selected on the loop
    bool sizeUnknown_ = false;
    uint64_t fileSize_ = 0;
    uint64_t transferred_ = 0;
    std::string fileName_;    // local path of the file being transferred
    std::string clientName_;  // what the client called it
    std::string logName_;     // fileName_ kept for the log line at the end
    bool writeEventPosted_ = false;

    std::optional<CSendBuffer> sendBuf_;
    std::vector<uint8_t> recvBuf_;
    size_t recvFill_ = 0;
    CBlockDecoder decoder_;
};

}  // namespace orvyn
