#include "service/transfer/files/BlockFraming.h"

#include <algorithm>
#include <cstring>

namespace orvyn {

void WriteBlockHeader(uint8_t* p, uint8_t descriptor, uint16_t count) {
    p[0] = descriptor;
    p[1] = static_cast<uint8_t>(count >> 8);
    p[2] = static_cast<uint8_t>(count & 0xff);
}

// ---- CSendBuffer --------------------------------------------------------------

CSendBuffer::CSendBuffer(size_t size, bool blockMode)
    : buffer_(std::max<size_t>(size, 2 * (kBlockHeaderSize + 1))), blockMode_(blockMode) {}

void CSendBuffer::Clear() {
    fill_ = sent_ = 0;
    reserved_ = false;
    pendingEof_ = false;
}

void CSendBuffer::Compact() {
    if (sent_ == 0) return;
    std::memmove(buffer_.data(), buffer_.data() + sent_, fill_ - sent_);
    fill_ -= sent_;
    sent_ = 0;
}

std::span<uint8_t> CSendBuffer::RefillSpace() {
    const size_t half = buffer_.size() / 2;
    if (reserved_) {
        // A refill is already pending; hand out the same space again.
        const size_t start = header_ + kBlockHeaderSize;
        size_t room = std::min(buffer_.size() - start, half);
        room = std::min(room, kMaxBlockPayload);
        return {buffer_.data() + start, room};
    }
    if (fill_ - sent_ >= half) return {};
    const size_t reserve = blockMode_ ? kBlockHeaderSize : 0;
    if (buffer_.size() - fill_ < reserve + 1) Compact();
    size_t start = fill_;
    if (blockMode_) {
        header_ = fill_;
        reserved_ = true;
        start += kBlockHeaderSize;
    }
    size_t room = std::min(buffer_.size() - start, half);
    if (blockMode_) room = std::min(room, kMaxBlockPayload);
    return {buffer_.data() + start, room};
}

void CSendBuffer::CommitRead(size_t n) {
    if (n == 0) {
        CancelRefill();
        return;
    }
    if (blockMode_ && reserved_) {
        WriteBlockHeader(buffer_.data() + header_, 0, static_cast<uint16_t>(n));
        fill_ = header_ + kBlockHeaderSize + n;
        reserved_ = false;
    } else {
        fill_ += n;
    }
}

void CSendBuffer::CancelRefill() {
    reserved_ = false;
}

void CSendBuffer::EndOfSource() {
    if (!blockMode_) {
        reserved_ = false;
        return;
    }
    if (!reserved_) {
        pendingEof_ = true;
        AppendPendingEof();
        return;
    }
    WriteBlockHeader(buffer_.data() + header_, kBlockEndOfFile, 0);
    fill_ = header_ + kBlockHeaderSize;
    reserved_ = false;
}

void CSendBuffer::AppendPendingEof() {
    if (!pendingEof_) return;
    if (buffer_.size() - fill_ < kBlockHeaderSize) Compact();
    if (buffer_.size() - fill_ < kBlockHeaderSize) return;  // after the next send
    WriteBlockHeader(buffer_.data() + fill_, kBlockEndOfFile, 0);
    fill_ += kBlockHeaderSize;
    pendingEof_ = false;
}

std::span<const uint8_t> CSendBuffer::Unsent() const {
    return {buffer_.data() + sent_, fill_ - sent_};
}

void CSendBuffer::MarkSent(size_t n) {
    sent_ += std::min(n, fill_ - sent_);
    if (sent_ == fill_) {
        fill_ = sent_ = 0;
    } else if (sent_ > buffer_.size() / 2) {
        Compact();
    }
    AppendPendingEof();
}

// ---- CBlockDecoder ------------------------------------------------------------

void CBlockDecoder::Reset() {
    headerFill_ = 0;
    remaining_ = 0;
    descriptor_ = 0;
    endSeen_ = false;
}

size_t CBlockDecoder::Decode(uint8_t* data, size_t n, size_t* consumed) {
    size_t in = 0;
    size_t out = 0;
    while (in < n && !endSeen_) {
        if (remaining_ == 0 && headerFill_ < kBlockHeaderSize) {
            header_[headerFill_++] = data[in++];
            if (headerFill_ < kBlockHeaderSize) continue;
            descriptor_ = header_[0];
            remaining_ = (static_cast<size_t>(header_[1]) << 8) | header_[2];
            headerFill_ = 0;
            if (remaining_ == 0 && (descriptor_ & kBlockEndOfFile)) endSeen_ = true;
            continue;
        }
        const size_t take = std::min(remaining_, n - in);
        if (!(descriptor_ & kBlockRestartMarker)) {
            std::memmove(data + out, data + in, take);
            out += take;
        }
        in += take;
        remaining_ -= take;
        if (remaining_ == 0 && (descriptor_ & kBlockEndOfFile)) endSeen_ = true;
    }
    if (consumed != nullptr) *consumed = in;
    return out;
}

}  // namespace orvyn
