#include "service/transfer/files/UploadClaim.h"

#include <map>

namespace orvyn {
namespace {

struct Writers {
    int appending = 0;
    int overwriting = 0;
};

std::map<std::pair<uint64_t, uint64_t>, Writers>& Table() {
    static std::map<std::pair<uint64_t, uint64_t>, Writers> table;
    return table;
}

std::pair<uint64_t, uint64_t> KeyOf(const struct stat& st) {
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

}  // namespace

bool CUploadClaim::Free(const struct stat& st, bool append) {
    const auto it = Table().find(KeyOf(st));
    if (it == Table().end()) return true;
    return append ? it->second.overwriting == 0 : it->second.appending == 0 && it->second.overwriting == 0;
}

CUploadClaim::CUploadClaim(int fd, bool append) : append_(append) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return;
    key_ = KeyOf(st);
    Writers& w = Table()[key_];
    ++(append ? w.appending : w.overwriting);
    held_ = true;
}

CUploadClaim::~CUploadClaim() {
    if (!held_) return;
    const auto it = Table().find(key_);
    if (it == Table().end()) return;
    --(append_ ? it->second.appending : it->second.overwriting);
    if (it->second.appending == 0 && it->second.overwriting == 0) Table().erase(it);
}

}  // namespace orvyn
