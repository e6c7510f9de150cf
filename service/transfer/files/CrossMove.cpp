#include "service/transfer/files/CrossMove.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace orvyn {
namespace {

constexpr size_t kPiece = 1 << 20;

// Copies the whole of in to out; 0 or errno.
int CopyData(int in, int out, const std::atomic<bool>& stop) {
    bool kernelCopy = true;
    std::vector<char> buffer;
    for (;;) {
        if (stop.load()) return ECANCELED;
        ssize_t n = -1;
        if (kernelCopy) {
            n = ::copy_file_range(in, nullptr, out, nullptr, kPiece, 0);
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                kernelCopy = false;  // the plain way from here on
                continue;
            }
        } else {
            if (buffer.empty()) buffer.resize(kPiece);
            n = ::read(in, buffer.data(), buffer.size());
            for (ssize_t done = 0; n > 0 && done < n;) {
                const ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n - done));
                if (w < 0) {
                    if (errno == EINTR) continue;
                    return errno;
                }
                done += w;
            }
        }
        if (n == 0) return 0;
        if (n < 0 && errno != EINTR) return errno;
    }
}

// Gives the copy the original's owner where this process may (as a rename
// would have kept it) and the original's mode. Set-user-ID and set-group-ID
// stay only where the copy's owner (or group) is still the original's: a
// move must never make another account's program run as this process's.
int TakeOwnerAndMode(int out, const struct stat& original) {
    struct stat now {};
    if (::fstat(out, &now) != 0) return errno;
    if (now.st_uid != original.st_uid || now.st_gid != original.st_gid) {
        // Refused unless privileged; the copy is then the mover's, as with mv.
        (void)::fchown(out, original.st_uid, original.st_gid);
        if (::fstat(out, &now) != 0) return errno;
    }
    mode_t mode = original.st_mode & 07777;
    if (now.st_uid != original.st_uid) mode &= ~mode_t(S_ISUID);
    if (now.st_gid != original.st_gid) mode &= ~mode_t(S_ISGID);
    return ::fchmod(out, mode) == 0 ? 0 : errno;
}

}  // namespace

int MoveAcrossFileSystems(const std::string& from, const std::string& to, const std::atomic<bool>& stop) {
    const int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (in < 0) return errno == ELOOP ? EISDIR : errno;
    struct stat st {};
    if (::fstat(in, &st) != 0) {
        const int err = errno;
        ::close(in);
        return err;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(in);
        return EISDIR;
    }
    // Private until it is complete; its own mode comes at the end.
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        const int err = errno;
        ::close(in);
        return err;
    }
    int err = CopyData(in, out, stop);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (err == 0) err = TakeOwnerAndMode(out, st);
    if (err == 0 && ::futimens(out, times) != 0) err = errno;
    // The copy must be safe on disk before the original goes.
    if (err == 0 && ::fsync(out) != 0) err = errno;
    if (::close(out) != 0 && err == 0) err = errno;
    ::close(in);
    if (err == 0 && stop.load()) err = ECANCELED;
    if (err == 0 && ::unlink(from.c_str()) != 0) err = errno;
    if (err != 0) ::unlink(to.c_str());
    return err;
}

}  // namespace orvyn
