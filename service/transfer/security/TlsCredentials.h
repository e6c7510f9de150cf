// Server credentials: one TLS context per certificate chosen for an
// instance, and the instance's cache of it.
//
// A context offers TLS 1.2 and 1.3 only, with ECDHE key exchange and AEAD
// ciphers (the older protocols are broken and never offered). Its session
// cache and its ticket keys belong to the one instance that made it, so a
// session of one instance never resumes on another. Tickets carry the
// origin of the session (the control connection it was first made on), which
// lets a data connection prove it resumed its own control connection's
// session.
#pragma once

#include <sys/stat.h>

#include <sys/types.h>

#include <ctime>
#include <memory>
#include <string>

#include "service/transfer/security/CertStore.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace orvyn {

class CServerRegistry;
class ILogSink;

class CTlsCredentials {
public:
    ~CTlsCredentials();
    CTlsCredentials(const CTlsCredentials&) = delete;
    CTlsCredentials& operator=(const CTlsCredentials&) = delete;

    // A context from one store file's bundle; null when the certificate and
    // key do not make working credentials (why says what failed). scope
    // names the instance.
    static std::unique_ptr<CTlsCredentials> Make(const tls::PemBundle& bundle, const std::string& scope,
                                                 std::string* why);

    SSL_CTX* context() const { return ctx_; }

private:
    explicit CTlsCredentials(SSL_CTX* ctx) : ctx_(ctx) {}
    SSL_CTX* ctx_;
};

// The credentials of one instance, made again only when the instance's
// CertificateHash or CertificateStore or the chosen file changes, so that
// sessions stay resumable across connections.
class CTlsCredentialCache {
public:
    explicit CTlsCredentialCache(std::string scope) : scope_(std::move(scope)) {}

    // The instance's credentials from its TLS values; 0, or the failure code
    // (no certificate configured or found: tls::kSecENoCredentials).
    unsigned long Acquire(CServerRegistry& registry, ILogSink& log, std::shared_ptr<CTlsCredentials>& out);
    // Whether a certificate is configured at all (AUTH answers 502 without).
    static bool Configured(CServerRegistry& registry);

private:
    std::string scope_;
    std::shared_ptr<CTlsCredentials> cached_;
    std::string dir_;
    tls::CertHash hash_{};
    std::string path_;
    struct stat fileState_ {};
    bool SameFileState(const struct stat& st) const;
};

}  // namespace orvyn
