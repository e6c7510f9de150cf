#include "service/transfer/files/BigFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>

#include "service/transfer/files/FileException.h"

namespace orvyn {
namespace {

int OpenFlags(CBigFile::Mode mode) {
    switch (mode) {
    case CBigFile::Mode::Read: return O_RDONLY;
    case CBigFile::Mode::Write: return O_WRONLY | O_CREAT;
    case CBigFile::Mode::Append: return O_WRONLY | O_CREAT | O_APPEND;
    case CBigFile::Mode::CreateNew: return O_WRONLY | O_CREAT | O_EXCL;
    }
    return O_RDONLY;
}

}  // namespace

CBigFile::CBigFile(const std::string& path, Mode mode, bool followLinks) {
    Open(path, mode, followLinks);
}

CBigFile::CBigFile(int fd, std::string path) : path_(std::move(path)) {
    Adopt(fd);
}

CBigFile::~CBigFile() {
    Abort();
}

CBigFile::CBigFile(CBigFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      writable_(other.writable_),
      ended_(other.ended_),
      openedSize_(other.openedSize_),
      path_(std::move(other.path_)) {}

CBigFile& CBigFile::operator=(CBigFile&& other) noexcept {
    if (this != &other) {
        Abort();
        fd_ = std::exchange(other.fd_, -1);
        writable_ = other.writable_;
        ended_ = other.ended_;
        openedSize_ = other.openedSize_;
        path_ = std::move(other.path_);
    }
    return *this;
}

void CBigFile::Fail(int err) const {
    ThrowFileError(err, path_);
}

void CBigFile::Open(const std::string& path, Mode mode, bool followLinks) {
    Abort();
    path_ = path;
    ended_ = false;
    int flags = OpenFlags(mode) | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (!followLinks) flags |= O_NOFOLLOW;
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // A FIFO without a reader (ENXIO) and a socket (ENXIO) are devices,
        // not files; a refused link is simply not accessible.
        const int err = errno;
        if (err == ELOOP && !followLinks) Fail(EACCES);
        Fail(err);
    }
    Adopt(fd, flags);
}

void CBigFile::Adopt(int fd, int openFlags) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        Fail(err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw CFileException(FileCause::AccessDenied, EACCES, path_);
    }
    const int fl = openFlags >= 0 ? openFlags & ~(O_CREAT | O_EXCL | O_TRUNC | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC)
                                  : fcntl(fd, F_GETFL);
    if (fl < 0 || ((fl & O_NONBLOCK) != 0 && fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0)) {
        const int err = errno;
        ::close(fd);
        Fail(err);
    }
    fd_ = fd;
    writable_ = (fl & O_ACCMODE) != O_RDONLY;
    openedSize_ = static_cast<uint64_t>(st.st_size);
}

uint64_t CBigFile::Seek(int64_t offset, Origin origin) {
    if (fd_ < 0) Fail(EBADF);
    const int whence = origin == Origin::Begin ? SEEK_SET : (origin == Origin::Current ? SEEK_CUR : SEEK_END);
    const off_t pos = lseek(fd_, static_cast<off_t>(offset), whence);
    if (pos < 0) {
        // A position before the start is a bad seek, whatever errno says.
        throw CFileException(FileCause::BadSeek, errno, path_);
    }
    ended_ = false;
    return static_cast<uint64_t>(pos);
}

uint64_t CBigFile::GetPosition() const {
    if (fd_ < 0) Fail(EBADF);
    const off_t pos = lseek(fd_, 0, SEEK_CUR);
    if (pos < 0) throw CFileException(FileCause::BadSeek, errno, path_);
    return static_cast<uint64_t>(pos);
}

void CBigFile::SetLength(uint64_t length) {
    if (fd_ < 0) Fail(EBADF);
    if (length > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
        throw CFileException(FileCause::BadSeek, EINVAL, path_);
    }
    int rc;
    do {
        rc = ftruncate(fd_, static_cast<off_t>(length));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        // ftruncate on a descriptor not open for writing says EINVAL.
        if (err == EINVAL && !writable_) throw CFileException(FileCause::AccessDenied, err, path_);
        Fail(err);
    }
}

uint64_t CBigFile::GetLength() const {
    if (fd_ < 0) Fail(EBADF);
    struct stat st {};
    if (fstat(fd_, &st) != 0) Fail(errno);
    return static_cast<uint64_t>(st.st_size);
}

void CBigFile::LockRange(uint64_t position, uint64_t count) {
    if (fd_ < 0) Fail(EBADF);
    struct flock fl {};
    fl.l_type = writable_ ? F_WRLCK : F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(position);
    fl.l_len = static_cast<off_t>(count);
    if (fcntl(fd_, F_OFD_SETLK, &fl) != 0) {
        const int err = errno;
        if (err == EAGAIN || err == EACCES) throw CFileException(FileCause::LockViolation, err, path_);
        Fail(err);
    }
}

void CBigFile::UnlockRange(uint64_t position, uint64_t count) {
    if (fd_ < 0) Fail(EBADF);
    struct flock fl {};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(position);
    fl.l_len = static_cast<off_t>(count);
    if (fcntl(fd_, F_OFD_SETLK, &fl) != 0) Fail(errno);
}

size_t CBigFile::Read(void* buffer, size_t size) {
    if (fd_ < 0) Fail(EBADF);
    ssize_t n;
    do {
        n = ::read(fd_, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) Fail(errno);
    if (n == 0 && size > 0) ended_ = true;
    return static_cast<size_t>(n);
}

bool CBigFile::EndedShort(uint64_t& at, uint64_t& of) const {
    if (!ended_ || writable_ || fd_ < 0) return false;
    const off_t pos = lseek(fd_, 0, SEEK_CUR);
    if (pos < 0) return false;
    at = static_cast<uint64_t>(pos);
    of = openedSize_;
    return at < of;
}

bool CBigFile::Place(uint64_t& position, uint64_t& length) const {
    struct stat st {};
    const off_t pos = fd_ < 0 ? -1 : lseek(fd_, 0, SEEK_CUR);
    if (pos < 0 || fstat(fd_, &st) != 0) return false;
    position = static_cast<uint64_t>(pos);
    length = static_cast<uint64_t>(st.st_size);
    return true;
}

void CBigFile::Write(const void* buffer, size_t size) {
    if (fd_ < 0) Fail(EBADF);
    const char* p = static_cast<const char*>(buffer);
    while (size > 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail(errno);
        }
        if (n == 0) Fail(ENOSPC);  // a regular file that takes nothing is full
        p += n;
        size -= static_cast<size_t>(n);
    }
}

void CBigFile::Close() {
    if (fd_ < 0) return;
    const int fd = std::exchange(fd_, -1);
    // The descriptor is gone after close whatever it reports (EINTR too).
    if (::close(fd) != 0 && errno != EINTR) Fail(errno);
}

void CBigFile::Abort() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

}  // namespace orvyn
