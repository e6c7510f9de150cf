#include "service/transfer/listing/SpoolFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace orvyn {
namespace {

constexpr unsigned kNumbers = 0xFFFF;

unsigned NextNumber(unsigned n) { return n >= kNumbers ? 1 : n + 1; }

unsigned TickNumber() {
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch();
    const unsigned n = static_cast<unsigned>(std::chrono::duration_cast<std::chrono::milliseconds>(ticks).count()) & kNumbers;
    return n == 0 ? 1 : n;
}

}  // namespace

std::string SystemTempDir() {
    const char* env = std::getenv("TMPDIR");
    if (env != nullptr && env[0] == '/') {
        struct stat st;
        if (stat(env, &st) == 0 && S_ISDIR(st.st_mode)) return env;
    }
    return "/tmp";
}

std::unique_ptr<SpoolFile> SpoolFile::InMemory() { return std::unique_ptr<SpoolFile>(new SpoolFile()); }

std::unique_ptr<SpoolFile> SpoolFile::Create(const std::string& folder, std::string_view prefix) {
    return Create(folder, prefix, TickNumber());
}

std::unique_ptr<SpoolFile> SpoolFile::Create(const std::string& folder, std::string_view prefix, unsigned first) {
    std::unique_ptr<SpoolFile> spool(new SpoolFile());
    std::string dir = folder.empty() ? SystemTempDir() : folder;
    if (dir.back() != '/') dir.push_back('/');
    const std::string stem(prefix.substr(0, 3));
    unsigned number = (first == 0 || first > kNumbers) ? 1 : first;
    for (unsigned tries = 0; tries < kNumbers; ++tries, number = NextNumber(number)) {
        char tail[16];
        std::snprintf(tail, sizeof tail, "%X.TMP", number);
        const std::string name = stem + tail;
        const std::string path = dir + name;
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            break;  // the folder cannot take a file: keep the spool in memory
        }
        if (unlink(path.c_str()) != 0) {
            // A spool that would stay behind on disk is not used.
            close(fd);
            break;
        }
        spool->fd_ = fd;
        spool->name_ = name;
        break;
    }
    return spool;
}

SpoolFile::~SpoolFile() {
    if (fd_ >= 0) close(fd_);
}

bool SpoolFile::Flush() {
    std::size_t done = 0;
    while (done < pending_.size()) {
        const ssize_t n = pwrite(fd_, pending_.data() + done, pending_.size() - done,
                                 static_cast<off_t>(size_ - (pending_.size() - done)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return MoveToMemory();
        done += static_cast<std::size_t>(n);
    }
    pending_.clear();
    return true;
}

bool SpoolFile::MoveToMemory() {
    // Whatever made the write fail (most often a full disk), what the file
    // took is still there to be read back: the spool goes on in memory, as
    // one that could not be created at all.
    const std::uint64_t onDisk = size_ - pending_.size();
    std::string content;
    try {
        content.resize(static_cast<std::size_t>(onDisk));
        content += pending_;
    } catch (const std::bad_alloc&) {
        failed_ = true;
        return false;
    }
    std::size_t got = 0;
    while (got < onDisk) {
        const ssize_t n = pread(fd_, content.data() + got, static_cast<std::size_t>(onDisk) - got,
                                static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failed_ = true;
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    close(fd_);
    fd_ = -1;
    name_.clear();
    memory_ = std::move(content);
    pending_.clear();
    pending_.shrink_to_fit();
    return true;
}

bool SpoolFile::Write(std::string_view bytes) {
    if (failed_) return false;
    if (fd_ < 0) {
        memory_.append(bytes);
        size_ += bytes.size();
        return true;
    }
    pending_.append(bytes);
    size_ += bytes.size();
    return pending_.size() < kBufferSize || Flush();
}

bool SpoolFile::Rewind() {
    readPos_ = 0;
    if (failed_) return false;
    return fd_ < 0 || Flush();
}

ssize_t SpoolFile::Read(void* buffer, std::size_t size) {
    if (failed_) return -1;
    if (fd_ < 0) {
        const std::size_t left = memory_.size() - static_cast<std::size_t>(readPos_);
        const std::size_t n = std::min(left, size);
        std::memcpy(buffer, memory_.data() + readPos_, n);
        readPos_ += n;
        return static_cast<ssize_t>(n);
    }
    if (!pending_.empty() && !Flush()) return -1;
    for (;;) {
        const ssize_t n = pread(fd_, buffer, size, static_cast<off_t>(readPos_));
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) readPos_ += static_cast<std::uint64_t>(n);
        return n;
    }
}

}  // namespace orvyn
