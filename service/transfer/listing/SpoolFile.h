// The file a listing is written into before it is sent.
//
// It is created new in the temporary folder under a name made of the first
// three characters of a prefix, a hexadecimal number and ".TMP" (exclusive
// create, readable and writable by the service only) and unlinked at once,
// so it vanishes with its descriptor whatever happens to the process. When
// no such file can be made, or it stops taking writes, the spool lives in
// memory instead.
//
// Writes are buffered; Rewind flushes them and moves to the start for
// reading. One object owns the descriptor and closes it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace orvyn {

// The system temporary folder: $TMPDIR when it names a folder, else /tmp.
std::string SystemTempDir();

class SpoolFile {
public:
    static constexpr std::string_view kPrefix = "ORV";

    // A spool in folder (the system temporary folder when empty), falling
    // back to memory. Never fails.
    static std::unique_ptr<SpoolFile> Create(const std::string& folder = std::string(),
                                             std::string_view prefix = kPrefix);
    // The same, trying the numbers from first upwards (wrapping, never 0).
    static std::unique_ptr<SpoolFile> Create(const std::string& folder, std::string_view prefix, unsigned first);
    // A spool in memory only.
    static std::unique_ptr<SpoolFile> InMemory();

    ~SpoolFile();
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    // Appends bytes. When the file cannot take them (disk full) the spool
    // moves to memory with what it held. False only when that fails too; the
    // spool is then unusable and every later Write fails too.
    bool Write(std::string_view bytes);
    // Flushes pending bytes and sets the read position to the start.
    bool Rewind();
    // Reads up to size bytes from the read position: the count, 0 at the
    // end, -1 on an error.
    ssize_t Read(void* buffer, std::size_t size);

    std::uint64_t size() const { return size_; }
    bool inMemory() const { return fd_ < 0; }
    // The name the file was created under (empty for a spool in memory).
    const std::string& createdName() const { return name_; }

    // Keeps something alive as long as the spool: the listing's place in
    // its instance's bound (ListingQuota).
    void Keep(std::shared_ptr<void> kept) { kept_ = std::move(kept); }

private:
    SpoolFile() = default;
    bool Flush();
    // Reads back what the file holds and goes on in memory; false (and
    // failed) when that cannot be done.
    bool MoveToMemory();

    static constexpr std::size_t kBufferSize = 64 * 1024;

    int fd_ = -1;
    std::string name_;
    std::string memory_;   // the content when in memory
    std::string pending_;  // written, not yet in the file
    std::uint64_t size_ = 0;
    std::uint64_t readPos_ = 0;
    bool failed_ = false;
    std::shared_ptr<void> kept_;
};

}  // namespace orvyn
