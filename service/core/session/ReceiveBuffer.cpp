#include "service/core/session/ReceiveBuffer.h"

#include <string.h>

#include <algorithm>
#include <cstring>

namespace orvyn {

void SecureWipe(void* data, size_t size) {
    if (data != nullptr && size > 0) explicit_bzero(data, size);
}

void SecureWipe(std::string& s) {
    // Growing to the capacity zero-fills the spare room; the wipe then
    // covers every byte the string owns.
    s.resize(s.capacity());
    SecureWipe(s.data(), s.size());
    s.clear();
}

CReceiveBuffer::CReceiveBuffer(size_t lineLimit) : lineLimit_(lineLimit) { Reallocate(kStep); }

CReceiveBuffer::~CReceiveBuffer() { SecureWipe(buf_.get(), capacity_); }

void CReceiveBuffer::SetLineLimit(size_t lineLimit) { lineLimit_ = lineLimit; }

void CReceiveBuffer::Reallocate(size_t newCapacity) {
    std::unique_ptr<char[]> fresh(new char[newCapacity]());
    if (buf_) {
        std::memcpy(fresh.get(), buf_.get(), fill_);
        SecureWipe(buf_.get(), capacity_);
    }
    buf_ = std::move(fresh);
    capacity_ = newCapacity;
    buf_[fill_] = '\0';
}

std::span<char> CReceiveBuffer::PrepareRead() {
    if (fill_ == 0 && capacity_ != kStep) {
        Reallocate(kStep);
    } else if (fill_ + 1 >= capacity_) {
        // Largest capacity needed for the fill to reach the line limit, in
        // whole steps, and never above the hard limit.
        const size_t wanted = std::min(lineLimit_, kHardLimit - 1) + 1;
        const size_t maxCapacity = std::max(kStep, (wanted + kStep - 1) / kStep * kStep);
        if (capacity_ + kStep > maxCapacity) return {};
        Reallocate(capacity_ + kStep);
    }
    return {buf_.get() + fill_, capacity_ - fill_ - 1};
}

void CReceiveBuffer::Commit(size_t n) {
    n = std::min(n, capacity_ - fill_ - 1);
    fill_ += n;
    buf_[fill_] = '\0';
}

void CReceiveBuffer::Consume(size_t n) {
    n = std::min(n, fill_);
    if (n == 0) return;
    std::memmove(buf_.get(), buf_.get() + n, fill_ - n);
    fill_ -= n;
    // The bytes beyond the new fill still hold what was consumed (or a
    // shifted copy of it): wipe them, terminating zero included.
    SecureWipe(buf_.get() + fill_, n);
    buf_[fill_] = '\0';
}

void CReceiveBuffer::SkipHighBitPrefix() {
    size_t n = 0;
    while (n < fill_ && (static_cast<unsigned char>(buf_[n]) & 0x80) != 0) ++n;
    Consume(n);
}

bool CReceiveBuffer::HasLine() const { return fill_ > 0 && std::memchr(buf_.get(), '\n', fill_) != nullptr; }

bool CReceiveBuffer::NextLine(std::string& line) {
    const void* lf = fill_ > 0 ? std::memchr(buf_.get(), '\n', fill_) : nullptr;
    if (lf == nullptr) return false;
    const size_t lfPos = static_cast<size_t>(static_cast<const char*>(lf) - buf_.get());
    size_t len = lfPos;
    if (len > 0 && buf_[len - 1] == '\r') --len;
    line.assign(buf_.get(), len);
    Consume(lfPos + 1);
    // The Telnet escape: a client that follows the Telnet rules sends the
    // byte 0xFF doubled.
    if (line.find("\xff\xff") != std::string::npos) {
        size_t out = 0;
        for (size_t in = 0; in < line.size(); ++in, ++out) {
            line[out] = line[in];
            if (static_cast<unsigned char>(line[in]) == 0xFF && in + 1 < line.size() &&
                static_cast<unsigned char>(line[in + 1]) == 0xFF) {
                ++in;
            }
        }
        line.resize(out);
    }
    return true;
}

std::optional<std::string> CReceiveBuffer::NextLine() {
    std::optional<std::string> line(std::in_place);
    if (!NextLine(*line)) return std::nullopt;
    return line;
}

void CReceiveBuffer::Clear() { Consume(fill_); }

}  // namespace orvyn
