#include "service/transfer/security/CertStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace orvyn::tls {

namespace {

constexpr size_t kMaxFileSize = 1024 * 1024;

std::string SubjectText(X509* cert) {
    BIO* out = BIO_new(BIO_s_mem());
    if (out == nullptr) return {};
    X509_NAME_print_ex(out, X509_get_subject_name(cert), 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long n = BIO_get_mem_data(out, &data);
    std::string text(data != nullptr && n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string());
    BIO_free(out);
    return text;
}

std::string TimeText(const ASN1_TIME* t) {
    struct tm tm {};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return "?";
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

}  // namespace

std::string CertRoot() {
    const char* env = std::getenv("ORVYN_CERTDIR");
    return env != nullptr && *env != '\0' ? std::string(env) : std::string("/etc/orvyn/certs");
}

std::string CertStoreDir(long number, bool debugService) {
    switch (number) {
        case 0:
            return CertRoot() + (debugService ? "/service-debug" : "/service");
        case 1:
            return CertRoot() + "/machine";
        default:
            return {};
    }
}

PemBundle::~PemBundle() {
    for (X509* c : certs_) X509_free(c);
    EVP_PKEY_free(key_);
}

int PemBundle::Read(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return errno;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return EINVAL;
    }
    if (static_cast<size_t>(st.st_size) > kMaxFileSize) {
        ::close(fd);
        return EFBIG;
    }
    mode_ = st.st_mode & 07777;
    owner_ = st.st_uid;
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    BIO* in = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    if (in == nullptr) return ENOMEM;
    while (X509* cert = PEM_read_bio_X509(in, nullptr, nullptr, nullptr)) certs_.push_back(cert);
    BIO_free(in);
    in = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    if (in == nullptr) return ENOMEM;
    // An encrypted key would ask for a pass phrase: an empty one is given,
    // so such a key simply does not load.
    key_ = PEM_read_bio_PrivateKey(in, nullptr, [](char*, int, int, void*) { return 0; }, nullptr);
    BIO_free(in);
    std::fill(text.begin(), text.end(), '\0');
    return certs_.empty() ? EINVAL : 0;
}

CertHash PemBundle::hash() const {
    CertHash h{};
    if (certs_.empty()) return h;
    unsigned len = 0;
    unsigned char md[EVP_MAX_MD_SIZE];
    if (X509_digest(certs_.front(), EVP_sha1(), md, &len) == 1 && len == h.size()) {
        std::copy(md, md + len, h.begin());
    }
    return h;
}

bool KeyFileExposed(unsigned mode, unsigned owner) {
    if ((mode & (S_IRGRP | S_IROTH | S_IWGRP | S_IWOTH)) != 0) return true;
    return owner != 0 && owner != static_cast<unsigned>(::geteuid());
}

int ReadStore(const std::string& dir, std::vector<CertEntry>& out, std::vector<SkippedFile>* skipped) {
    out.clear();
    if (skipped != nullptr) skipped->clear();
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return errno;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        CertEntry entry;
        entry.path = dir + "/" + name;
        PemBundle bundle;
        if (const int err = bundle.Read(entry.path); err != 0) {
            if (skipped != nullptr) skipped->push_back({entry.path, err});
            continue;
        }
        X509* first = bundle.certificates().front();
        entry.subject = SubjectText(first);
        entry.notAfter = TimeText(X509_get0_notAfter(first));
        entry.hash = bundle.hash();
        entry.chainLength = static_cast<int>(bundle.certificates().size());
        entry.hasKey = bundle.key() != nullptr;
        entry.keyExposed = entry.hasKey && KeyFileExposed(bundle.mode(), bundle.owner());
        out.push_back(std::move(entry));
    }
    return 0;
}

std::string HashText(const CertHash& hash) {
    static const char* const kDigits = "0123456789abcdef";
    std::string text;
    for (uint8_t b : hash) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

bool ParseHashText(std::string_view text, CertHash& out) {
    size_t n = 0;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':') continue;
        int v;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else {
            return false;
        }
        if (high < 0) {
            high = v;
            continue;
        }
        if (n == out.size()) return false;
        out[n++] = static_cast<uint8_t>(high << 4 | v);
        high = -1;
    }
    return n == out.size() && high < 0;
}

}  // namespace orvyn::tls
