#include "service/transfer/security/TlsCredentials.h"

#include <sys/stat.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "service/base/log/LogSink.h"
#include "service/base/settings/ServerRegistry.h"
#include "service/transfer/security/TlsSock.h"

namespace orvyn {

namespace {

// Win32 numbers of the folder errors the log line shows.
unsigned long StoreErrorCode(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return 2;  // file not found
        case EACCES:
        case EPERM:
            return 5;  // access denied
        default:
            return 31;  // general failure
    }
}

std::string OpenSslError() {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return "unknown error";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

}  // namespace

CTlsCredentials::~CTlsCredentials() { SSL_CTX_free(ctx_); }

std::unique_ptr<CTlsCredentials> CTlsCredentials::Make(const tls::PemBundle& bundle, const std::string& scope,
                                                       std::string* why) {
    ERR_clear_error();
    if (bundle.certificates().empty() || bundle.key() == nullptr) {
        if (why != nullptr) *why = "no private key in the file";
        return nullptr;
    }
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) {
        if (why != nullptr) *why = OpenSslError();
        return nullptr;
    }
    std::unique_ptr<CTlsCredentials> creds(new CTlsCredentials(ctx));
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    bool ok = SSL_CTX_set_cipher_list(ctx, "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL:!eNULL") == 1 &&
              SSL_CTX_set1_groups_list(ctx, "X25519:P-256:X448:P-384:P-521") == 1 &&
              SSL_CTX_use_certificate(ctx, bundle.certificates().front()) == 1;
    for (size_t i = 1; ok && i < bundle.certificates().size(); ++i) {
        ok = SSL_CTX_add1_chain_cert(ctx, bundle.certificates()[i]) == 1;
    }
    ok = ok && SSL_CTX_use_PrivateKey(ctx, bundle.key()) == 1 && SSL_CTX_check_private_key(ctx) == 1;
    if (!ok) {
        if (why != nullptr) *why = OpenSslError();
        return nullptr;
    }
    // Sessions of this instance only.
    unsigned char id[SSL_MAX_SID_CTX_LENGTH];
    unsigned idLen = 0;
    EVP_Digest(scope.data(), scope.size(), id, &idLen, EVP_sha256(), nullptr);
    SSL_CTX_set_session_id_context(ctx, id, std::min<unsigned>(idLen, SSL_MAX_SID_CTX_LENGTH));
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
    CTlsSock::PrepareContext(ctx);
    return creds;
}

bool CTlsCredentialCache::Configured(CServerRegistry& registry) {
    std::vector<uint8_t> hash;
    return registry.ReadBinary("TLS", "CertificateHash", hash) && !hash.empty();
}

// The file as it was read: any write (even within the same second and at
// the same size), a change of its mode or owner, or another file put in its
// place reads it again.
bool CTlsCredentialCache::SameFileState(const struct stat& st) const {
    const struct stat& was = fileState_;
    return st.st_ino == was.st_ino && st.st_dev == was.st_dev && st.st_size == was.st_size &&
           st.st_mtim.tv_sec == was.st_mtim.tv_sec && st.st_mtim.tv_nsec == was.st_mtim.tv_nsec &&
           st.st_ctim.tv_sec == was.st_ctim.tv_sec && st.st_ctim.tv_nsec == was.st_ctim.tv_nsec;
}

unsigned long CTlsCredentialCache::Acquire(CServerRegistry& registry, ILogSink& log,
                                           std::shared_ptr<CTlsCredentials>& out) {
    out.reset();
    std::vector<uint8_t> raw;
    if (!registry.ReadBinary("TLS", "CertificateHash", raw) || raw.empty()) return tls::kSecENoCredentials;
    if (raw.size() != tls::CertHash().size()) return tls::kSecENoCredentials;
    tls::CertHash want{};
    std::copy(raw.begin(), raw.end(), want.begin());
    const std::string dir = tls::CertStoreDir(registry.ReadInt("TLS", "CertificateStore", 0));
    if (dir.empty()) {
        log.Log(-1, '!', "Error 0x%x in CertOpenStore\n", static_cast<unsigned>(StoreErrorCode(EINVAL)));
        return StoreErrorCode(EINVAL);
    }
    if (cached_ && dir == dir_ && want == hash_) {
        struct stat st {};
        if (::stat(path_.c_str(), &st) == 0 && SameFileState(st)) {
            out = cached_;
            return 0;
        }
    }
    cached_.reset();
    std::vector<tls::CertEntry> entries;
    if (const int err = tls::ReadStore(dir, entries); err != 0) {
        log.Log(-1, '!', "Error 0x%x in CertOpenStore\n", static_cast<unsigned>(StoreErrorCode(err)));
        return StoreErrorCode(err);
    }
    for (const tls::CertEntry& entry : entries) {
        if (entry.hash != want) continue;
        tls::PemBundle bundle;
        if (bundle.Read(entry.path) != 0) continue;
        if (bundle.key() != nullptr && tls::KeyFileExposed(bundle.mode(), bundle.owner())) {
            log.Log(-1, '!', "Certificate file %s not used - its private key is readable by others",
                    entry.path.c_str());
            continue;
        }
        std::string why;
        std::unique_ptr<CTlsCredentials> made = CTlsCredentials::Make(bundle, scope_, &why);
        if (!made) {
            log.Log(-1, '!', "Certificate file %s not used - %s", entry.path.c_str(), why.c_str());
            continue;
        }
        struct stat st {};
        ::stat(entry.path.c_str(), &st);
        cached_ = std::move(made);
        dir_ = dir;
        hash_ = want;
        path_ = entry.path;
        fileState_ = st;
        out = cached_;
        return 0;
    }
    return tls::kSecENoCredentials;
}

}  // namespace orvyn
