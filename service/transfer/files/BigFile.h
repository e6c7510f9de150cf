// CBigFile: a disk file with 64-bit positions and lengths and range locks.
// Every failure raises a CFileException carrying errno.
//
// Only regular files are ever opened: a character or block device, a FIFO, a
// socket or a directory is refused as access denied, so no device can be read
// or written through a transfer and no FIFO can stall the server. The open
// itself never blocks: it is made non-blocking (a FIFO without a writer would
// otherwise wait), the type is checked on the open descriptor, and only then
// is the descriptor made blocking again for ordinary disk I/O.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "service/transfer/files/File.h"

namespace orvyn {

class CBigFile : public CFile {
public:
    enum class Mode {
        Read,       // read only
        Write,      // write only; created when missing, never truncated by the open
        Append,     // as Write, and every write goes to the end
        CreateNew,  // write only; fails when the name exists
    };
    enum class Origin { Begin, Current, End };

    CBigFile() = default;
    // Opens path; raises CFileException.
    CBigFile(const std::string& path, Mode mode, bool followLinks = true);
    // Takes over an open descriptor (closed by this object from now on, even
    // when it is refused); raises CFileException when it is not a regular file.
    explicit CBigFile(int fd, std::string path = {});
    ~CBigFile() override;
    CBigFile(const CBigFile&) = delete;
    CBigFile& operator=(const CBigFile&) = delete;
    CBigFile(CBigFile&& other) noexcept;
    CBigFile& operator=(CBigFile&& other) noexcept;

    // Opens path (closing what was open). With followLinks false a symbolic
    // link as the last component is refused.
    void Open(const std::string& path, Mode mode, bool followLinks = true);

    // 64-bit positioning; returns the new position.
    uint64_t Seek(int64_t offset, Origin origin);
    uint64_t SeekToEnd() { return Seek(0, Origin::End); }
    uint64_t GetPosition() const;
    // Truncates or extends the file to length bytes.
    void SetLength(uint64_t length);
    uint64_t GetLength() const;
    // Exclusive lock of a byte range (shared when the file is read only);
    // a range held by another open file raises a lock violation.
    void LockRange(uint64_t position, uint64_t count);
    void UnlockRange(uint64_t position, uint64_t count);

    size_t Read(void* buffer, size_t size) override;
    void Write(const void* buffer, size_t size) override;
    void Close() override;
    void Abort() noexcept override;
    bool IsOpen() const override { return fd_ >= 0; }
    bool Ended() const override { return ended_; }
    bool EndedShort(uint64_t& at, uint64_t& of) const override;
    bool Place(uint64_t& position, uint64_t& length) const override;
    int DiskDescriptor() const override { return fd_; }

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // The file's length when it was opened.
    uint64_t openedSize() const { return openedSize_; }

private:
    // Refuses anything but a regular file and makes the descriptor blocking.
    // openFlags: the flags it was opened with, when known (-1: ask).
    void Adopt(int fd, int openFlags = -1);
    [[noreturn]] void Fail(int err) const;

    int fd_ = -1;
    bool writable_ = false;
    bool ended_ = false;
    uint64_t openedSize_ = 0;
    std::string path_;
};

}  // namespace orvyn
