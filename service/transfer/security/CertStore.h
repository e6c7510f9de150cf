// The certificate stores: folders of PEM files under $ORVYN_CERTDIR
// (default /etc/orvyn/certs). Store 0 is the service's own folder
// ("service", or "service-debug" for the debug service), store 1 the
// machine's ("machine"). A file holds the server certificate first, then its
// intermediates, then the private key; it is known by the SHA-1 hash of its
// first certificate's DER encoding.
//
// Reading a store never fails on one bad file: such a file is listed with
// what could be read of it (or not at all when it holds no certificate).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace orvyn::tls {

using CertHash = std::array<uint8_t, 20>;

// Result codes of the credential requests (the security package's numbers).
inline constexpr unsigned long kSecENoCredentials = 0x8009030EUL;
inline constexpr unsigned long kSecEUnknownCredentials = 0x8009030DUL;
inline constexpr unsigned long kSecEInternalError = 0x80090304UL;
inline constexpr unsigned long kSecEIllegalMessage = 0x80090326UL;
inline constexpr unsigned long kSecEAlgorithmMismatch = 0x80090331UL;

// The certificate folder: $ORVYN_CERTDIR or the default.
std::string CertRoot();
// The folder of store `number` (0 service, 1 machine); empty for any other
// number.
std::string CertStoreDir(long number, bool debugService = false);

struct CertEntry {
    std::string path;
    std::string subject;   // one line, "CN=..., O=..."
    std::string notAfter;  // "YYYY-MM-DD HH:MM:SS UTC"
    CertHash hash{};
    int chainLength = 0;      // certificates in the file
    bool hasKey = false;      // a private key follows the certificates
    bool keyExposed = false;  // group or others may read it, or another account owns it
};

// A file of a store folder that holds no usable certificate, with the errno
// of reading it (EINVAL: not a regular file, or no certificate in it).
struct SkippedFile {
    std::string path;
    int error = 0;
};

// The certificates of a store folder in name order; 0, or the errno of
// opening the folder. The files passed over go to *skipped when given.
int ReadStore(const std::string& dir, std::vector<CertEntry>& out, std::vector<SkippedFile>* skipped = nullptr);

// Whether a key file's owner and mode keep it from anyone but the service's
// account (root counts as the service's, as it can read everything anyway).
bool KeyFileExposed(unsigned mode, unsigned owner);

// One store file as read: its certificates in order and its key.
class PemBundle {
public:
    PemBundle() = default;
    ~PemBundle();
    PemBundle(const PemBundle&) = delete;
    PemBundle& operator=(const PemBundle&) = delete;
    // 0, or the errno of reading the file; a file without a certificate
    // reads as EINVAL. Files over 1 MiB are not read (EFBIG).
    int Read(const std::string& path);
    const std::vector<X509*>& certificates() const { return certs_; }
    EVP_PKEY* key() const { return key_; }
    CertHash hash() const;
    unsigned mode() const { return mode_; }
    unsigned owner() const { return owner_; }

private:
    std::vector<X509*> certs_;
    EVP_PKEY* key_ = nullptr;
    unsigned mode_ = 0;
    unsigned owner_ = 0;
};

std::string HashText(const CertHash& hash);  // 40 lower-case hex digits
// Accepts 40 hex digits, optionally separated by blanks or colons.
bool ParseHashText(std::string_view text, CertHash& out);

}  // namespace orvyn::tls
