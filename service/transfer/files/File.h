// The file interface transfers read from and write to: a disk file
// (CBigFile), a conversion command's output (CPopenFile) or a listing spool.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvyn {

class CFile {
public:
    virtual ~CFile() = default;

    // Reads up to size bytes. Returns the count read; 0 means nothing is
    // available now: at the end of the data (Ended() is then true) or, for a
    // source fed by another process, until it writes more. Raises
    // CFileException on failure.
    virtual size_t Read(void* buffer, size_t size) = 0;
    // Writes all of it or raises CFileException.
    virtual void Write(const void* buffer, size_t size) = 0;
    // Closes, raising CFileException when the close reports an error.
    virtual void Close() = 0;
    // Closes and swallows every error (ending a transfer source).
    virtual void Abort() noexcept = 0;
    virtual bool IsOpen() const = 0;
    // True once a read has met the end of the data.
    virtual bool Ended() const = 0;
    // Once Ended(): true when the data ended before the length it had when
    // it was opened (a file cut short while it was read), with how far the
    // reads got and that length.
    virtual bool EndedShort(uint64_t& /*at*/, uint64_t& /*of*/) const { return false; }
    // Where reading or writing has got in the file, and the file's length
    // now; false when the data has no such place (a pipe).
    virtual bool Place(uint64_t& /*position*/, uint64_t& /*length*/) const { return false; }
    // The open disk file the data goes to or comes from, wrapped or not; -1
    // when it is none (a pipe, a spool).
    virtual int DiskDescriptor() const { return -1; }
};

}  // namespace orvyn
