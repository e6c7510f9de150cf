#include "service/transfer/files/LineEndFile.h"

#include <cstring>

namespace orvyn {

CLineEndFile::CLineEndFile(std::unique_ptr<CFile> inner, Direction direction)
    : inner_(std::move(inner)), direction_(direction) {}

size_t CLineEndFile::Read(void* buffer, size_t size) {
    if (direction_ != Direction::ToNetwork || size < 2) return 0;
    work_.resize(size / 2);
    const size_t n = inner_->Read(work_.data(), work_.size());
    char* out = static_cast<char*>(buffer);
    size_t used = 0;
    for (size_t i = 0; i < n; ++i) {
        const char c = work_[i];
        if (c == '\n' && previous_ != '\r') out[used++] = '\r';
        out[used++] = c;
        previous_ = c;
    }
    return used;
}

void CLineEndFile::Write(const void* buffer, size_t size) {
    if (direction_ != Direction::FromNetwork) return;
    const char* in = static_cast<const char*>(buffer);
    work_.clear();
    work_.reserve(size + 1);
    for (size_t i = 0; i < size; ++i) {
        const char c = in[i];
        if (pendingCr_) {
            pendingCr_ = false;
            if (c != '\n') work_ += '\r';
        }
        if (c == '\r') {
            pendingCr_ = true;
            continue;
        }
        work_ += c;
    }
    if (!work_.empty()) inner_->Write(work_.data(), work_.size());
}

void CLineEndFile::Close() {
    if (pendingCr_) {
        pendingCr_ = false;
        inner_->Write("\r", 1);
    }
    inner_->Close();
}

}  // namespace orvyn
