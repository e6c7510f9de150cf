#include "service/transfer/security/TlsSock.h"

#include <sys/socket.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/eventloop/Winsock.h"
#include "service/transfer/security/CertStore.h"
#include "service/transfer/security/TlsCredentials.h"

namespace orvyn {

using eventloop::WSAEWOULDBLOCK;

namespace {

constexpr int kWsaConnReset = 10054;
// Largest plaintext of one record, and what a record adds to it.
constexpr size_t kMaxRecord = 16384;
constexpr size_t kRecordOverhead = 256;

std::string FormatLine(const char* fmt, unsigned long code) {
    char buf[96];
    std::snprintf(buf, sizeof buf, fmt, static_cast<unsigned>(code));
    return buf;
}

// The security package's code for the library's first queued error.
unsigned long FailureCode(std::string* detail) {
    const unsigned long e = ERR_peek_error();
    if (detail != nullptr && e != 0) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        *detail = buf;
    }
    unsigned long code = tls::kSecEIllegalMessage;
    if (ERR_GET_LIB(e) == ERR_LIB_SSL) {
        switch (ERR_GET_REASON(e)) {
            case SSL_R_UNSUPPORTED_PROTOCOL:
            case SSL_R_NO_SHARED_CIPHER:
            case SSL_R_WRONG_VERSION_NUMBER:
            case SSL_R_VERSION_TOO_LOW:
            case SSL_R_NO_SHARED_GROUPS:
                code = tls::kSecEAlgorithmMismatch;
                break;
            default:
                break;
        }
    }
    ERR_clear_error();
    return code;
}

CTlsSock* LayerOf(SSL* ssl) { return static_cast<CTlsSock*>(SSL_get_app_data(ssl)); }

// Tickets: a ticket made on a control connection, or on a data connection
// that resumed one, carries the control connection's origin.
int GenerateTicket(SSL* ssl, void*) {
    CTlsSock* layer = LayerOf(ssl);
    SSL_SESSION* session = SSL_get_session(ssl);
    if (layer == nullptr || session == nullptr) return 1;
    void* data = nullptr;
    size_t len = 0;
    SSL_SESSION_get0_ticket_appdata(session, &data, &len);
    // A session without an origin is a fresh one: a control connection's
    // gets the connection's origin; a data connection's stands for no
    // control connection and gets none.
    if (len == 0 && layer->isControl()) {
        SSL_SESSION_set1_ticket_appdata(session, layer->origin().data(), layer->origin().size());
    }
    return 1;
}

SSL_TICKET_RETURN DecryptTicket(SSL*, SSL_SESSION*, const unsigned char*, size_t, SSL_TICKET_STATUS status,
                                void*) {
    switch (status) {
        case SSL_TICKET_SUCCESS:
            return SSL_TICKET_RETURN_USE;
        case SSL_TICKET_SUCCESS_RENEW:
            return SSL_TICKET_RETURN_USE_RENEW;
        case SSL_TICKET_EMPTY:
        case SSL_TICKET_NO_DECRYPT:
            return SSL_TICKET_RETURN_IGNORE_RENEW;
        case SSL_TICKET_FATAL_ERR_MALLOC:
        case SSL_TICKET_FATAL_ERR_OTHER:
            return SSL_TICKET_RETURN_ABORT;
        default:
            return SSL_TICKET_RETURN_IGNORE;
    }
}

}  // namespace

// The layer's own BIO: the TLS engine reads raw records from the input
// buffer and writes its records into the output buffer.
struct TlsBio {
    static int Write(BIO* b, const char* data, int len) {
        auto* self = static_cast<CTlsSock*>(BIO_get_data(b));
        BIO_clear_retry_flags(b);
        if (len <= 0) return 0;
        if (self->outHead_ > 0 && self->outHead_ == self->out_.size()) {
            self->out_.clear();
            self->outHead_ = 0;
        }
        size_t sent = 0;
        if (self->sendLoop_ != nullptr && self->OutputQueued() == 0) {
            // Nothing queued: the record goes to the socket straight away,
            // and only what the socket does not take is kept.
            int err = 0;
            const long n = self->sendLoop_->Send(self->sendSocket_, data, static_cast<size_t>(len), &err);
            if (n > 0) sent = static_cast<size_t>(n);
            if (n < 0 && err != eventloop::WSAEWOULDBLOCK) self->sendLoop_ = nullptr;  // SendOutput reports it
        }
        self->out_.insert(self->out_.end(), data + sent, data + len);
        return len;
    }
    static int Read(BIO* b, char* data, int len) {
        auto* self = static_cast<CTlsSock*>(BIO_get_data(b));
        BIO_clear_retry_flags(b);
        const size_t have = self->inFill_ - self->inHead_;
        if (have == 0) {
            BIO_set_retry_read(b);
            return -1;
        }
        const size_t n = std::min(have, static_cast<size_t>(len));
        std::memcpy(data, self->in_.data() + self->inHead_, n);
        self->inHead_ += n;
        if (self->inHead_ == self->inFill_) self->inHead_ = self->inFill_ = 0;
        return static_cast<int>(n);
    }
    static long Ctrl(BIO* b, int cmd, long, void*) {
        auto* self = static_cast<CTlsSock*>(BIO_get_data(b));
        switch (cmd) {
            case BIO_CTRL_FLUSH:
                return 1;
            case BIO_CTRL_PENDING:
                return self != nullptr ? static_cast<long>(self->inFill_ - self->inHead_) : 0;
            case BIO_CTRL_WPENDING:
                return self != nullptr ? static_cast<long>(self->OutputQueued()) : 0;
            default:
                return 0;
        }
    }
    static int Create(BIO* b) {
        BIO_set_init(b, 1);
        return 1;
    }
    static BIO_METHOD* Method() {
        static BIO_METHOD* method = [] {
            BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "orvyn tls layer");
            BIO_meth_set_write(m, &TlsBio::Write);
            BIO_meth_set_read(m, &TlsBio::Read);
            BIO_meth_set_ctrl(m, &TlsBio::Ctrl);
            BIO_meth_set_create(m, &TlsBio::Create);
            return m;
        }();
        return method;
    }
};

void CTlsSock::PrepareContext(SSL_CTX* ctx) {
    SSL_CTX_set_session_ticket_cb(ctx, &GenerateTicket, &DecryptTicket, nullptr);
}

CTlsSock::CTlsSock(std::shared_ptr<CTlsCredentials> credentials, Role role, bool requestClientCertificate,
                   WarningLog log)
    : credentials_(std::move(credentials)),
      role_(role),
      requestClientCertificate_(requestClientCertificate),
      log_(std::move(log)) {
    if (role_ == Role::Control) RAND_bytes(origin_.data(), static_cast<int>(origin_.size()));
}

CTlsSock::~CTlsSock() {
    if (ssl_ == nullptr) return;
    // A connection that ends without a closure notice (an aborted transfer,
    // a reset) would take its session out of the cache with it; the session
    // is still good, so it stays.
    if (failure_ == 0) SSL_set_shutdown(ssl_, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    SSL_free(ssl_);
    std::fill(in_.begin(), in_.end(), 0);
}

unsigned long CTlsSock::StartHandshake() {
    if (!credentials_ || credentials_->context() == nullptr) return tls::kSecENoCredentials;
    ERR_clear_error();
    ssl_ = SSL_new(credentials_->context());
    BIO* bio = ssl_ != nullptr ? BIO_new(TlsBio::Method()) : nullptr;
    if (bio == nullptr) {
        SSL_free(ssl_);
        ssl_ = nullptr;
        ERR_clear_error();
        return tls::kSecEInternalError;
    }
    BIO_set_data(bio, this);
    SSL_set_bio(ssl_, bio, bio);
    SSL_set_app_data(ssl_, this);
    if (requestClientCertificate_) {
        SSL_set_verify(ssl_, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
    }
    // No tickets after a data connection's handshake: an uploading client
    // does not read the connection, and closing it with a ticket unread
    // resets it, so the end of the upload would be lost. Clients resume the
    // control connection's session, whose tickets may be used again.
    if (role_ == Role::Data) SSL_set_num_tickets(ssl_, 0);
    SSL_set_accept_state(ssl_);
    in_.resize(kBufferSize);
    out_.reserve(kBufferSize);
    state_ = State::Handshaking;
    return 0;
}

long CTlsSock::Fail(unsigned long code, eventloop::Socket s, int* wsaError) {
    failure_ = code;
    state_ = State::Plain;
    ::shutdown(s, SHUT_RDWR);
    *wsaError = static_cast<int>(code);
    return -1;
}

int CTlsSock::SendOutput(eventloop::EventLoop& loop, eventloop::Socket s) {
    while (OutputQueued() > 0) {
        int err = 0;
        const long n = loop.Send(s, out_.data() + outHead_, OutputQueued(), &err);
        if (n <= 0) return n < 0 ? err : WSAEWOULDBLOCK;
        outHead_ += static_cast<size_t>(n);
        recordBytesSent_ += static_cast<uint64_t>(n);
    }
    out_.clear();
    outHead_ = 0;
    return 0;
}

int CTlsSock::ReadRaw(eventloop::EventLoop& loop, eventloop::Socket s, int* wsaError) {
    if (inHead_ > 0) {
        std::memmove(in_.data(), in_.data() + inHead_, inFill_ - inHead_);
        inFill_ -= inHead_;
        inHead_ = 0;
    }
    if (inFill_ == in_.size()) return 1;
    int err = 0;
    const long n = loop.Recv(s, in_.data() + inFill_, in_.size() - inFill_, &err);
    if (n > 0) {
        inFill_ += static_cast<size_t>(n);
        return 1;
    }
    if (n == 0) return -1;
    if (err == WSAEWOULDBLOCK) return 0;
    *wsaError = err;
    return -2;
}

void CTlsSock::Established() {
    state_ = State::Established;
    SSL_SESSION* session = SSL_get_session(ssl_);
    if (role_ != Role::Control || session == nullptr) return;
    void* data = nullptr;
    size_t len = 0;
    SSL_SESSION_get0_ticket_appdata(session, &data, &len);
    if (SSL_session_reused(ssl_) == 1) {
        // A control connection that resumed an earlier one's session is that
        // client again: the origin the session carries (which the tickets
        // made here keep) is this connection's own from now on.
        if (len == origin_.size()) std::memcpy(origin_.data(), data, len);
        return;
    }
    // A session kept in the cache (not in a ticket) carries the origin too.
    if (len == 0) SSL_SESSION_set1_ticket_appdata(session, origin_.data(), origin_.size());
}

int CTlsSock::StepHandshake(eventloop::EventLoop& loop, eventloop::Socket s, int* wsaError) {
    ERR_clear_error();
    const int r = SSL_do_handshake(ssl_);
    // Tokens go out at once; the rest waits for the next write event.
    const int sent = SendOutput(loop, s);
    if (r == 1) {
        Established();
        return 1;
    }
    const int e = SSL_get_error(ssl_, r);
    if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) && (sent == 0 || sent == WSAEWOULDBLOCK)) return 0;
    std::string detail;
    const unsigned long code = sent != 0 && sent != WSAEWOULDBLOCK ? static_cast<unsigned long>(sent)
                                                                   : FailureCode(&detail);
    if (log_) {
        log_(FormatLine("SSL / TLS negotiation failed - error is 0x%x", code));
        if (!detail.empty()) log_("TLS: " + detail);
    }
    Fail(code, s, wsaError);
    return -1;
}

void CTlsSock::SendClosureNotice(eventloop::EventLoop& loop, eventloop::Socket s) {
    if (!closureSent_ && (state_ == State::Established || state_ == State::Closing)) {
        ERR_clear_error();
        SSL_shutdown(ssl_);
        ERR_clear_error();
        closureSent_ = true;
    }
    SendOutput(loop, s);
    state_ = State::Plain;
}

long CTlsSock::Recv(eventloop::EventLoop& loop, eventloop::Socket s, void* data, size_t size, int* wsaError) {
    if (failure_ != 0) {
        *wsaError = static_cast<int>(failure_);
        return -1;
    }
    if (state_ == State::Plain) return 0;  // the closure notice went: nothing more passes
    if (size == 0) return 0;
    auto* to = static_cast<uint8_t*>(data);
    size_t got = 0;
    for (;;) {
        if (state_ == State::Handshaking) {
            const int r = StepHandshake(loop, s, wsaError);
            if (r < 0) return -1;
            if (r == 0) {
                const int raw = ReadRaw(loop, s, wsaError);
                if (raw == 1) continue;
                if (raw == 0) {
                    *wsaError = WSAEWOULDBLOCK;
                    return -1;
                }
                if (raw == -1) *wsaError = kWsaConnReset;
                return -1;
            }
            continue;
        }
        ERR_clear_error();
        const int n = SSL_read(ssl_, to + got, static_cast<int>(std::min<size_t>(size - got, 1u << 30)));
        if (n > 0) {
            got += static_cast<size_t>(n);
            plainReceived_ += n;
            if (got == size) return static_cast<long>(got);
            continue;
        }
        const int e = SSL_get_error(ssl_, n);
        const int sent = SendOutput(loop, s);  // a reply the engine made (key update, alert)
        if (e == SSL_ERROR_WANT_READ) {
            const int raw = ReadRaw(loop, s, wsaError);
            if (raw == 1 && inFill_ > inHead_) continue;
            if (got > 0) return static_cast<long>(got);
            if (raw == 0 || raw == 1) {
                *wsaError = WSAEWOULDBLOCK;
                return -1;
            }
            if (raw == -1) {
                if (log_) log_("Secure Transport error - TCP stream closed without accompanying closure message.");
                *wsaError = kWsaConnReset;
                return -1;
            }
            return -1;
        }
        if (e == SSL_ERROR_ZERO_RETURN) {
            // The peer's closure notice: ours answers it once everything
            // before it has been handed out.
            state_ = State::Closing;
            if (got > 0) return static_cast<long>(got);
            SendClosureNotice(loop, s);
            return 0;
        }
        if (got > 0) return static_cast<long>(got);
        std::string detail;
        const unsigned long code = sent != 0 && sent != WSAEWOULDBLOCK ? static_cast<unsigned long>(sent)
                                                                       : FailureCode(&detail);
        if (log_ && !detail.empty()) log_("TLS: " + detail);
        return Fail(code, s, wsaError);
    }
}

int CTlsSock::TakeInput(eventloop::EventLoop& loop, eventloop::Socket s) {
    if (failure_ != 0) return static_cast<int>(failure_);
    int err = 0;
    for (;;) {
        if (state_ == State::Handshaking) {
            const int r = StepHandshake(loop, s, &err);
            if (r < 0) return err;
            if (r == 1) continue;
        } else if (state_ == State::Established) {
            // Records other than data (a closure notice, post-handshake
            // messages) are worked off; data stays for Recv.
            uint8_t probe;
            ERR_clear_error();
            const int n = SSL_peek(ssl_, &probe, 1);
            SendOutput(loop, s);
            if (n > 0) return 0;
            const int e = SSL_get_error(ssl_, n);
            if (e == SSL_ERROR_ZERO_RETURN) {
                state_ = State::Closing;
                return 0;
            }
            if (e != SSL_ERROR_WANT_READ) {
                const unsigned long code = FailureCode(nullptr);
                Fail(code, s, &err);
                return err;
            }
        } else {
            // Closing: whatever still comes (the peer's closure notice) is
            // read and dropped, so that the socket's close can be seen.
            inHead_ = inFill_ = 0;
            const int raw = ReadRaw(loop, s, &err);
            inHead_ = inFill_ = 0;
            if (raw == 1) continue;
            return raw == -2 ? err : 0;
        }
        const int raw = ReadRaw(loop, s, &err);
        if (raw == 1 && inFill_ > inHead_ && inFill_ < in_.size()) continue;
        if (raw == -2) return err;
        return 0;  // would block, or the end (the close event follows)
    }
}

long CTlsSock::Send(eventloop::EventLoop& loop, eventloop::Socket s, const void* data, size_t size,
                    int* wsaError) {
    if (failure_ != 0) {
        *wsaError = static_cast<int>(failure_);
        return -1;
    }
    int sent = SendOutput(loop, s);
    if (sent != 0 && sent != WSAEWOULDBLOCK) {
        *wsaError = sent;
        return -1;
    }
    if (size == 0) return 0;
    if (state_ == State::Handshaking || state_ == State::Plain) {
        *wsaError = state_ == State::Plain ? eventloop::WSAESHUTDOWN : WSAEWOULDBLOCK;
        return -1;
    }
    // Records are made while the output buffer has room for one more; they
    // go out together.
    const auto* from = static_cast<const uint8_t*>(data);
    size_t taken = 0;
    sendLoop_ = &loop;
    sendSocket_ = s;
    while (taken < size && OutputQueued() + kMaxRecord + kRecordOverhead <= kBufferSize) {
        ERR_clear_error();
        const int n = SSL_write(ssl_, from + taken, static_cast<int>(std::min(size - taken, kMaxRecord)));
        if (n <= 0) {
            const int e = SSL_get_error(ssl_, n);
            if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) break;
            sendLoop_ = nullptr;
            return Fail(FailureCode(nullptr), s, wsaError);
        }
        taken += static_cast<size_t>(n);
    }
    sendLoop_ = nullptr;
    if (taken == 0) {
        *wsaError = WSAEWOULDBLOCK;
        return -1;
    }
    plainSent_ += static_cast<int64_t>(taken);
    sent = SendOutput(loop, s);
    if (sent != 0 && sent != WSAEWOULDBLOCK) {
        *wsaError = sent;
        return -1;
    }
    return static_cast<long>(taken);
}

int CTlsSock::Flush(eventloop::EventLoop& loop, eventloop::Socket s) {
    if (failure_ != 0) return static_cast<int>(failure_);
    return SendOutput(loop, s);
}

int CTlsSock::ShutdownSend(eventloop::EventLoop& loop, eventloop::Socket s) {
    if (failure_ == 0) {
        SendClosureNotice(loop, s);
        if (OutputQueued() > 0) return WSAEWOULDBLOCK;
    }
    if (::shutdown(s, SHUT_WR) == 0) return 0;
    return eventloop::WsaFromErrno(errno);
}

bool CTlsSock::Ready() const { return state_ == State::Established || OutputQueued() > 0; }

bool CTlsSock::HasBufferedInput() const {
    if (ssl_ == nullptr || failure_ != 0 || state_ == State::Plain) return false;
    return SSL_pending(ssl_) > 0 || inFill_ > inHead_;
}

bool CTlsSock::ResumedOwnSession() const {
    if (ssl_ == nullptr || state_ == State::Handshaking || SSL_session_reused(ssl_) != 1) return false;
    SSL_SESSION* session = SSL_get_session(ssl_);
    void* data = nullptr;
    size_t len = 0;
    if (session == nullptr) return false;
    SSL_SESSION_get0_ticket_appdata(session, &data, &len);
    return len == origin_.size() && std::memcmp(data, origin_.data(), len) == 0;
}

std::string CTlsSock::Protocol() const {
    if (ssl_ == nullptr || state_ == State::Handshaking) return {};
    return SSL_get_version(ssl_);
}

}  // namespace orvyn
