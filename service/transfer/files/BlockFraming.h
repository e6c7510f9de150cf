// Block mode (MODE B) framing. Every block is a three-byte header -- a
// descriptor byte and a 16-bit count, high byte first -- followed by count
// bytes. A file is sent as data blocks (descriptor 0, at most 65535 bytes
// each) ended by an empty block with the end-of-file descriptor 64.
//
// CSendBuffer is the send side's transfer buffer: it is refilled from the
// source in half-buffer reads and, in block mode, frames each read as one
// block by reserving the header in front of it. CBlockDecoder strips the
// headers of an upload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "service/transfer/files/RawBuffer.h"

namespace orvyn {

inline constexpr size_t kBlockHeaderSize = 3;
inline constexpr size_t kMaxBlockPayload = 65535;
// Descriptor bits.
inline constexpr uint8_t kBlockEndOfRecord = 0x80;
inline constexpr uint8_t kBlockEndOfFile = 0x40;
inline constexpr uint8_t kBlockSuspectErrors = 0x20;
inline constexpr uint8_t kBlockRestartMarker = 0x10;

// Writes a block header at p.
void WriteBlockHeader(uint8_t* p, uint8_t descriptor, uint16_t count);

class CSendBuffer {
public:
    CSendBuffer(size_t size, bool blockMode);

    size_t size() const { return buffer_.size(); }
    bool blockMode() const { return blockMode_; }

    // Where the next read from the source goes, or an empty span when no
    // refill is due (half the buffer or more is still unsent). The span holds
    // at most half the buffer and, in block mode, at most 65535 bytes, with a
    // block header reserved in front of it.
    std::span<uint8_t> RefillSpace();
    // The read into RefillSpace() brought n > 0 bytes: in block mode they
    // become one data block.
    void CommitRead(size_t n);
    // The read brought nothing but the source goes on (a conversion that has
    // not written yet): the reserved header is given back.
    void CancelRefill();
    // The source has ended (a read of 0, or an error treated as the end). In
    // block mode the end-of-file block is queued: the reserved header becomes
    // it, or one is appended when no refill was pending.
    void EndOfSource();

    // Bytes buffered and not yet sent.
    std::span<const uint8_t> Unsent() const;
    // n bytes of Unsent() went out. When everything is sent the buffer
    // empties; when more than half of it has been sent the rest moves to the
    // front.
    void MarkSent(size_t n);
    bool Empty() const { return fill_ == sent_ && !pendingEof_; }
    void Clear();

private:
    void Compact();
    // Appends the end-of-file block queued while the buffer had no room.
    void AppendPendingEof();

    CRawBuffer buffer_;
    bool blockMode_;
    size_t fill_ = 0;
    size_t sent_ = 0;
    size_t header_ = 0;       // offset of the reserved header
    bool reserved_ = false;   // a header is reserved for the pending read
    bool pendingEof_ = false; // the end-of-file block waits for room
};

// Strips block headers from an upload as it arrives, whatever the split of
// the stream into reads (a header may arrive a byte at a time).
// Restart-marker blocks carry a marker, not file data: their bytes are
// dropped. Any other descriptor bits (end of record, suspected errors, bits
// no standard defines) leave the payload as file data.
class CBlockDecoder {
public:
    // Decodes data[0..n) in place. Returns how many file bytes now lie at the
    // front of data. *consumed is how many input bytes belonged to this file:
    // all of them, unless the end-of-file block ended inside the input; the
    // rest then belongs to whatever follows on the connection.
    size_t Decode(uint8_t* data, size_t n, size_t* consumed);

    // The end-of-file block has arrived whole.
    bool EndSeen() const { return endSeen_; }
    // The decoder sits between blocks (no partial header or payload).
    bool AtBlockBoundary() const { return headerFill_ == 0 && remaining_ == 0; }
    // Ready for the next file on the same connection.
    void Reset();

private:
    uint8_t header_[kBlockHeaderSize] = {};
    size_t headerFill_ = 0;
    size_t remaining_ = 0;     // payload bytes of the current block still to come
    uint8_t descriptor_ = 0;
    bool endSeen_ = false;
};

}  // namespace orvyn
