#include "service/transfer/files/FileException.h"

#include <cerrno>
#include <utility>

namespace orvyn {

const char* FileCauseText(FileCause cause) {
    switch (cause) {
    case FileCause::None: return "No error occurred.";
    case FileCause::Generic: break;
    case FileCause::FileNotFound: return "The file could not be located.";
    case FileCause::BadPath: return "All or part of the path is invalid.";
    case FileCause::TooManyOpenFiles: return "The permitted number of open files was exceeded.";
    case FileCause::AccessDenied: return "The file could not be accessed.";
    case FileCause::InvalidFile: return "There was an attempt to use an invalid file handle.";
    case FileCause::RemoveCurrentDir: return "The current working directory cannot be removed.";
    case FileCause::DirectoryFull: return "There are no more directory entries.";
    case FileCause::BadSeek: return "There was an error trying to set the file pointer.";
    case FileCause::HardIO: return "There was a hardware error.";
    case FileCause::SharingViolation: return "SHARE.EXE was not loaded, or a shared region was locked.";
    case FileCause::LockViolation: return "There was an attempt to lock a region that was already locked.";
    case FileCause::DiskFull: return "The disk is full.";
    case FileCause::EndOfFile: return "The end of file was reached.";
    }
    return "An unspecified error occurred.";
}

FileCause FileCauseFromErrno(int err) {
    switch (err) {
    case 0: return FileCause::None;
    case ENOENT: return FileCause::FileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EXDEV: return FileCause::BadPath;
    case EMFILE:
    case ENFILE: return FileCause::TooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case EEXIST:
    case ENXIO:
    case ENODEV:
    case EOPNOTSUPP: return FileCause::AccessDenied;
    case EBADF: return FileCause::InvalidFile;
    case ENOTEMPTY: return FileCause::RemoveCurrentDir;
    case EMLINK: return FileCause::DirectoryFull;
    case ESPIPE:
    case EOVERFLOW: return FileCause::BadSeek;
    case EIO: return FileCause::HardIO;
    case ETXTBSY:
    case EBUSY: return FileCause::SharingViolation;
    case EDEADLK:
    case ENOLCK: return FileCause::LockViolation;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return FileCause::DiskFull;
    default: return FileCause::Generic;
    }
}

CFileException::CFileException(FileCause cause, int osError, std::string fileName)
    : cause_(cause), osError_(osError), fileName_(std::move(fileName)) {}

CFileException CFileException::FromErrno(int err, std::string fileName) {
    return CFileException(FileCauseFromErrno(err), err, std::move(fileName));
}

void ThrowFileError(int err, const std::string& fileName) {
    throw CFileException::FromErrno(err, fileName);
}

}  // namespace orvyn
