// File exceptions: every failure of the transfer file classes is raised as a
// CFileException carrying the operating-system error and its cause. The
// transfer code turns them into replies with the cause's text.
#pragma once

#include <exception>
#include <string>

namespace orvyn {

// Causes, numbered as log lines show them ("RETR failed - file exception %d").
enum class FileCause : int {
    None = 0,
    Generic = 1,
    FileNotFound = 2,
    BadPath = 3,
    TooManyOpenFiles = 4,
    AccessDenied = 5,
    InvalidFile = 6,
    RemoveCurrentDir = 7,
    DirectoryFull = 8,
    BadSeek = 9,
    HardIO = 10,
    SharingViolation = 11,
    LockViolation = 12,
    DiskFull = 13,
    EndOfFile = 14,
};

// The text of a cause, sent after "550 Error on file %.256s: " or
// "451 Local write error on file %.256s: ".
const char* FileCauseText(FileCause cause);

// The cause an errno value stands for: ENOENT file not found, EACCES/EPERM
// access denied, ENOSPC disk full, EMFILE too many open files, ETXTBSY and
// EBUSY (the file is in use) sharing violation, ... 0 is none; anything
// without a better match is generic.
FileCause FileCauseFromErrno(int err);

class CFileException : public std::exception {
public:
    CFileException(FileCause cause, int osError, std::string fileName = {});
    // From an errno value.
    static CFileException FromErrno(int err, std::string fileName = {});

    FileCause cause() const { return cause_; }
    int causeNumber() const { return static_cast<int>(cause_); }
    int osError() const { return osError_; }
    const std::string& fileName() const { return fileName_; }
    const char* Text() const { return FileCauseText(cause_); }
    const char* what() const noexcept override { return FileCauseText(cause_); }

    // The target is held by someone else (sharing or lock violation): the
    // case an upload may move the old file out of the way for. A plain
    // access-denied (no permission, a device or FIFO) is not: moving such a
    // target aside would destroy what the user may not write.
    bool TargetInUse() const {
        return cause_ == FileCause::SharingViolation || cause_ == FileCause::LockViolation;
    }

private:
    FileCause cause_;
    int osError_;
    std::string fileName_;
};

// Throws CFileException::FromErrno(err, fileName).
[[noreturn]] void ThrowFileError(int err, const std::string& fileName);

}  // namespace orvyn
