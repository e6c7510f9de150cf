// The receive buffer of a control connection: the bytes received and not yet
// parsed into command lines.
//
// The capacity starts at 512 bytes, grows by 512 whenever the buffer is full
// up to one byte below its capacity, and drops back to a fresh 512-byte
// buffer as soon as it has been emptied. A terminating zero always follows
// the unparsed bytes.
//
// Consumed bytes never linger: every byte removed from the buffer, and every
// buffer given up when growing or shrinking, is overwritten with zeros. That
// is what keeps passwords (the argument of PASS) out of memory once their line
// has been handled; SecureWipe does the same for the copy of the line the
// caller holds.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace orvyn {

// Overwrites memory so that the compiler cannot drop the write.
void SecureWipe(void* data, size_t size);
// Overwrites the whole allocation of s (not only its current size), then
// empties it.
void SecureWipe(std::string& s);

class CReceiveBuffer {
public:
    static constexpr size_t kStep = 512;
    // Growth never goes beyond this, whatever line limit is configured (the
    // buffer grows in small steps, so a huge limit would also cost copies).
    static constexpr size_t kHardLimit = 64 * 1024;

    // lineLimit: the longest unterminated input the owner accepts (its
    // MaxCmdLine). The capacity is kept just large enough for the fill to
    // reach that limit, so the owner's "fill >= lineLimit" check can fire.
    explicit CReceiveBuffer(size_t lineLimit = 2048);
    ~CReceiveBuffer();
    CReceiveBuffer(const CReceiveBuffer&) = delete;
    CReceiveBuffer& operator=(const CReceiveBuffer&) = delete;

    void SetLineLimit(size_t lineLimit);
    size_t lineLimit() const { return lineLimit_; }

    // Makes room for a receive (grow or shrink as described above) and
    // returns the space to receive into: capacity - fill - 1 bytes. An empty
    // span means the buffer cannot grow any further: the line limit has been
    // passed and the owner must close the connection.
    std::span<char> PrepareRead();
    // Appends n bytes received into the span of PrepareRead and stores the
    // terminating zero after them.
    void Commit(size_t n);

    // Drops bytes with the high bit set (0x80..0xFF) from the start of the
    // buffer: the Telnet interrupt and data-mark bytes clients send ahead of
    // ABOR.
    void SkipHighBitPrefix();

    // Takes the first complete line off the front of the buffer: the text up
    // to the first LF, without the LF and without one CR right before it,
    // and with each doubled 0xFF (the Telnet escape of that byte) made one.
    // Returns false (nothing consumed) when no LF is buffered. line is
    // overwritten, so a caller holding a secret can wipe one string it owns.
    bool NextLine(std::string& line);
    std::optional<std::string> NextLine();

    // True when a complete line is buffered.
    bool HasLine() const;

    // Drops everything (wiped).
    void Clear();

    size_t fill() const { return fill_; }
    size_t capacity() const { return capacity_; }
    // The unparsed bytes, followed by a terminating zero.
    const char* data() const { return buf_.get(); }

private:
    void Reallocate(size_t newCapacity);
    void Consume(size_t n);

    std::unique_ptr<char[]> buf_;
    size_t capacity_ = 0;
    size_t fill_ = 0;
    size_t lineLimit_;
};

}  // namespace orvyn
