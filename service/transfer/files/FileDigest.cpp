#include "service/transfer/files/FileDigest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "service/base/text/NoCase.h"

namespace orvyn {
namespace {

constexpr DigestKind kAll[] = {DigestKind::Sha256, DigestKind::Sha1, DigestKind::Md5};
constexpr size_t kChunk = 256 * 1024;

const EVP_MD* Algorithm(DigestKind kind) {
    switch (kind) {
        case DigestKind::Sha256: return EVP_sha256();
        case DigestKind::Sha1: return EVP_sha1();
        case DigestKind::Md5: return EVP_md5();
    }
    return nullptr;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

const char* DigestName(DigestKind kind) {
    switch (kind) {
        case DigestKind::Sha256: return "SHA-256";
        case DigestKind::Sha1: return "SHA-1";
        case DigestKind::Md5: return "MD5";
    }
    return "";
}

std::optional<DigestKind> DigestByName(std::string_view name) {
    for (DigestKind k : kAll) {
        if (EqualsNoCase(name, DigestName(k))) return k;
    }
    return std::nullopt;
}

std::string DigestFeatList(DigestKind current) {
    std::string out;
    for (DigestKind k : kAll) {
        if (!out.empty()) out += ';';
        out += DigestName(k);
        if (k == current) out += '*';
    }
    return out;
}

DigestResult DigestFile(const std::string& path, DigestKind kind, const std::atomic<bool>& stop) {
    DigestResult r;
    FdCloser file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0) {
        r.error = errno;
        return r;
    }
    if (!S_ISREG(st.st_mode)) {
        r.error = EISDIR;
        return r;
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), Algorithm(kind), nullptr) != 1) {
        r.error = ENOMEM;
        return r;
    }
    std::vector<unsigned char> buffer(kChunk);
    for (;;) {
        if (stop.load(std::memory_order_relaxed)) {
            r.outcome = DigestResult::Outcome::Stopped;
            return r;
        }
        const ssize_t n = ::read(file.fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            r.error = errno;
            return r;
        }
        if (n == 0) break;
        EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(n));
        r.size += static_cast<uint64_t>(n);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) {
        r.error = EIO;
        return r;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    r.hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        r.hex += kHex[digest[i] >> 4];
        r.hex += kHex[digest[i] & 15];
    }
    r.outcome = DigestResult::Outcome::Done;
    return r;
}

}  // namespace orvyn
