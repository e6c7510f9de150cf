// The TLS layer of one control or data connection: the server side of TLS
// over the connection's non-blocking socket, driven by the event loop's read
// and write events and never blocking.
//
// Raw records are read into a 64 KiB input buffer and written from a 64 KiB
// output buffer, which the TLS engine reaches through a BIO of this class (no
// socket BIO: every socket call goes through the event loop, so its read and
// write re-enabling holds). States: handshaking (after StartHandshake),
// established, closing (the peer's closure notice came), plain (the
// closure notice has been sent; nothing more passes). A failed handshake or
// record leaves the layer failed: every call fails with the same code.
//
// Error codes given back through *wsaError are Winsock numbers (10054 for a
// connection closed without a closure notice) or the security package's
// codes (facility 9, e.g. 0x80090326), which the callers show in hex.
//
// Session resumption: every layer carries an origin, 16 random bytes made by
// the control connection's layer and handed to the layers of its data
// connections (ExpectOrigin). Sessions and tickets made on a control
// connection carry its origin; ResumedOwnSession tells whether a data
// connection resumed a session of that origin.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/transfer/security/SecSock.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;

namespace orvyn {

class CTlsCredentials;

class CTlsSock final : public CSecSock {
public:
    enum class State { Plain, Handshaking, Established, Closing };
    enum class Role { Control, Data };
    using Origin = std::array<uint8_t, 16>;
    // Writes one warning line to the activity log.
    using WarningLog = std::function<void(const std::string&)>;

    static constexpr size_t kBufferSize = 64 * 1024;

    CTlsSock(std::shared_ptr<CTlsCredentials> credentials, Role role, bool requestClientCertificate,
             WarningLog log);
    ~CTlsSock() override;
    CTlsSock(const CTlsSock&) = delete;
    CTlsSock& operator=(const CTlsSock&) = delete;

    // Enters the handshaking state; the client's first record arrives as
    // ordinary input. 0, or a failure code.
    unsigned long StartHandshake();

    long Send(eventloop::EventLoop& loop, eventloop::Socket s, const void* data, size_t size,
              int* wsaError) override;
    long Recv(eventloop::EventLoop& loop, eventloop::Socket s, void* data, size_t size, int* wsaError) override;
    int Flush(eventloop::EventLoop& loop, eventloop::Socket s) override;
    int ShutdownSend(eventloop::EventLoop& loop, eventloop::Socket s) override;
    int TakeInput(eventloop::EventLoop& loop, eventloop::Socket s) override;
    bool IsTls() const override { return true; }
    bool Ready() const override;
    bool HasBufferedInput() const override;
    uint64_t RecordBytesSent() const override { return recordBytesSent_; }
    int64_t PlainSent() const override { return plainSent_; }
    int64_t PlainReceived() const override { return plainReceived_; }

    State state() const { return state_; }
    bool failed() const { return failure_ != 0; }
    bool isControl() const { return role_ == Role::Control; }
    const Origin& origin() const { return origin_; }
    const std::shared_ptr<CTlsCredentials>& credentials() const { return credentials_; }
    void ExpectOrigin(const Origin& origin) { origin_ = origin; }
    // The handshake is done and resumed a session of this layer's origin.
    bool ResumedOwnSession() const;
    // The negotiated protocol, e.g. "TLSv1.3" (empty before the handshake).
    std::string Protocol() const;

    // Installs what every layer on a context relies on (the ticket
    // callbacks); called once when the context is made.
    static void PrepareContext(SSL_CTX* ctx);

private:
    friend struct TlsBio;

    // One handshake step: 1 established, 0 more input needed, -1 failed
    // (*wsaError set).
    int StepHandshake(eventloop::EventLoop& loop, eventloop::Socket s, int* wsaError);
    // Reads raw bytes into the input buffer: 1 bytes came (or the buffer
    // already held some), 0 would block, -1 end of stream, -2 error (*wsaError).
    int ReadRaw(eventloop::EventLoop& loop, eventloop::Socket s, int* wsaError);
    // Sends queued output: 0 all gone, else WSAEWOULDBLOCK or an error.
    int SendOutput(eventloop::EventLoop& loop, eventloop::Socket s);
    size_t OutputQueued() const { return out_.size() - outHead_; }
    long Fail(unsigned long code, eventloop::Socket s, int* wsaError);
    void SendClosureNotice(eventloop::EventLoop& loop, eventloop::Socket s);
    void Established();

    std::shared_ptr<CTlsCredentials> credentials_;
    Role role_;
    bool requestClientCertificate_;
    WarningLog log_;
    SSL* ssl_ = nullptr;
    State state_ = State::Plain;
    bool closureSent_ = false;
    unsigned long failure_ = 0;
    Origin origin_{};

    std::vector<uint8_t> in_;  // raw bytes [inHead_, inFill_)
    size_t inHead_ = 0;
    size_t inFill_ = 0;
    // While Send makes records: records go to this socket at once when
    // nothing is queued before them.
    eventloop::EventLoop* sendLoop_ = nullptr;
    eventloop::Socket sendSocket_ = eventloop::INVALID_SOCKET;
    std::vector<uint8_t> out_;  // encrypted bytes [outHead_, end)
    size_t outHead_ = 0;
    uint64_t recordBytesSent_ = 0;
    int64_t plainSent_ = 0;
    int64_t plainReceived_ = 0;
};

}  // namespace orvyn
