// PWD, CWD, CDUP, MKD, RMD, DELE, RNFR, RNTO and the login message. Every
// command resolves its argument under the session's restriction root, checks
// the rights mask at the result and works on the file system as the user;
// the identity is always given back before the reply goes out.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "service/accounts/files/FileNames.h"
#include "service/accounts/files/LoginMessage.h"
#include "service/accounts/paths/DeviceNames.h"
#include "service/accounts/paths/DiskPath.h"
#include "service/accounts/paths/FileProbe.h"
#include "service/accounts/paths/HeldFolder.h"
#include "service/accounts/paths/PathResolver.h"
#include "service/core/server/FtpServer.h"
#include "service/base/replies/Catalogue.h"
#include "service/core/session/FtpSession.h"
#include "service/transfer/files/CrossMove.h"
#include "service/transfer/files/FileException.h"
#include "service/transfer/files/UploadClaim.h"
#include "service/transfer/listing/ListingJob.h"

namespace orvyn {
namespace {

// A file an upload of this process is writing is kept as the upload opened
// it, shared for reading only: it is not deleted or renamed from under the
// upload (EBUSY, a sharing violation), which would still be told 226.
bool BeingUploaded(int folder, const char* name) {
    struct stat st {};
    return ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           !CUploadClaim::Free(st, false);
}

int DeleteUnlessUploading(int folder, const char* name) {
    if (BeingUploaded(folder, name)) {
        errno = EBUSY;
        return -1;
    }
    return ::unlinkat(folder, name, 0);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

// Moves a file or folder; the target must not exist yet. Returns 0 or errno.
// What a folder's move to another file system is refused with.
constexpr const char* kOtherFileSystemText = "The system cannot move the file to a different disk drive.";

int MoveNoReplace(const HeldFolder& from, const HeldFolder& to) {
    const char* fromName = from.name().c_str();
    const char* toName = to.name().c_str();
#ifdef SYS_renameat2
    if (::syscall(SYS_renameat2, from.fd(), fromName, to.fd(), toName, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
#endif
    // A file system without the atomic form: check, then rename.
    struct stat st {};
    if (::fstatat(to.fd(), toName, &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
    return ::renameat(from.fd(), fromName, to.fd(), toName) == 0 ? 0 : errno;
}

// What path leads to now: the file itself (not a link's target) and the
// folder it is in; nullopt when either cannot be reached.
std::optional<CFileListingState::PlaceId> PlaceOf(const std::string& path) {
    struct stat file {}, folder {};
    if (::lstat(path.c_str(), &file) != 0 || ::stat(ParentOf(path).c_str(), &folder) != 0) return std::nullopt;
    return CFileListingState::PlaceId{file.st_dev, file.st_ino, folder.st_dev, folder.st_ino};
}

}  // namespace

std::unique_ptr<HeldFolder> CFtpSession::HoldFolderOf(const std::string& diskPath) {
    // The root itself and a virtual directory's folder are never made,
    // removed or renamed by name (their folders are not the user's).
    const std::string& root = account_.restrictionRoot();
    if ((!root.empty() && WithoutTrailingSlash(diskPath) == WithoutTrailingSlash(root)) ||
        account_.maps().IsTarget(diskPath)) {
        errno = EACCES;
        return nullptr;
    }
    auto folder = std::make_unique<HeldFolder>(diskPath, root, account_.maps());
    if (folder->outside()) {
        Log('!', "Folder of %s was reached outside the restriction %s when opened - refused", diskPath.c_str(),
            root.c_str());
        errno = EACCES;
        return nullptr;
    }
    if (!folder->ok()) {
        errno = folder->error();
        return nullptr;
    }
    return folder;
}

bool CFtpSession::InHeldFolder(const std::string& diskPath, int (*work)(int folder, const char* name)) {
    const std::unique_ptr<HeldFolder> folder = HoldFolderOf(diskPath);
    return folder && work(folder->fd(), folder->name().c_str()) == 0;
}

std::string CFtpSession::DiskCurrentDirectory() {
    const std::string& current = account_.currentDirectory();
    return current.empty() ? transfer_->CurrentDirectory() : current;
}

int CFtpSession::RightsAt(const std::string& diskPath) {
    if (!loggedIn_ && !server_.settings().secure) return RightsWithoutLogin(server_.settings().allowPuts);
    return account_.rights().GetRights(diskPath, true);
}

bool CFtpSession::HasRightsAt(const std::string& diskPath, int required) {
    if (!loggedIn_ && !server_.settings().secure) return (RightsAt(diskPath) & required) == required;
    return account_.rights().HasRights(diskPath, required);
}

bool CFtpSession::ResolvePath(std::string_view ftpPath, std::string& diskPath, std::string* linkBase) {
    return Resolver().Resolve(ftpPath, account_.restrictionRoot(), DiskCurrentDirectory(), account_.docutech(),
                              account_.maps(), diskPath, linkBase);
}

std::string CFtpSession::ResolveLinkItself(std::string_view ftpPath) {
    const size_t cut = ftpPath.find_last_of("/\\");
    const std::string_view name = cut == std::string_view::npos ? ftpPath : ftpPath.substr(cut + 1);
    if (name.empty() || name == "." || name == "..") return {};
    std::string_view folder = cut == std::string_view::npos ? std::string_view(".") : ftpPath.substr(0, cut + 1);
    std::string folderPath;
    if (!ResolvePath(folder, folderPath)) return {};
    std::string path = WithTrailingSlash(folderPath) + std::string(name);
    struct stat st {};
    if (path.size() > kMaxDiskPath || ::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return {};
    return path;
}

void CFtpSession::SendLoginMessage(const std::string& directory, int code) {
    if (directory.empty()) return;
    std::string path;
    if (!Resolver().Resolve(kLoginMessageFile, account_.restrictionRoot(), directory, account_.docutech(),
                            account_.maps(), path)) {
        return;
    }
    std::vector<std::string> lines;
    {
        UserIdentity user(account_.rights());
        if (!user.ok()) return;
        lines = ReadMessageLines(path);
    }
    char prefix[8];
    std::snprintf(prefix, sizeof prefix, "%03d-", code % 1000);
    for (const std::string& line : lines) Feed(ExpandMacros(prefix + line + "\r\n", *this), false);
}

void CFtpSession::OnPwd(std::string_view) {
    const std::string path = account_.FtpCurrentDirectory();
    Reply(MSG_PWD, path.c_str());
    Log('C', "XPWD successful");
    status_ = "Success";
}

void CFtpSession::OnCdup(std::string_view) { OnCwd(".."); }

void CFtpSession::OnCwd(std::string_view arg) {
    const std::string argument(arg);
    std::string result;
    bool refused = false;  // the 501 reply is owed
    {
        UserIdentity user(account_.rights());
        const bool resolved = user.ok() && ResolvePath(arg, result) && result.size() <= kMaxDiskPath;
        if (!resolved) result.clear();
        if (!resolved) {
            refused = true;
            Log('C', "Path %s is defined as having no rights", result.c_str());
            Log('C', "CWD %.100s failed - no rights to path %s", argument.c_str(), result.c_str());
        } else if (!RestrictionCheck(WithTrailingSlash(result), account_.restrictionRoot(), account_.maps(),
                                     &server_.log(), connectionNumber_)) {
            refused = true;
            Log('C', "Current directory is \"%s\", not subdirectory of \"%s\".", result.c_str(),
                account_.homeDirectory().c_str());
            Log('C', "CWD %.100s failed - no rights to path %s", argument.c_str(), result.c_str());
        } else if (RightsAt(WithTrailingSlash(result)) == 0) {
            refused = true;
            Log('C', "Path %s is defined as having no rights", result.c_str());
            Log('C', "CWD %.100s failed - no rights to path %s", argument.c_str(), result.c_str());
        } else if (IsDirectory(result)) {
            const std::string next = WithTrailingSlash(result);
            // File names differ by letter case here, so the comparison
            // does too.
            const bool changed = next != account_.currentDirectory();
            account_.setCurrentDirectory(next);
            if (server_.settings().messageFtp && changed) SendLoginMessage(next, 250);
        } else {
            result.clear();
        }
    }
    if (refused) {
        const std::string current = account_.FtpCurrentDirectory();
        Reply(MSG_CWD_REFUSED, argument.c_str(), current.c_str());
        status_ = "Fail";
        return;
    }
    if (result.empty()) {
        Reply(MSG_CWD_UNKNOWN, argument.c_str());
        Log('C', "CWD %.100s failed - path does not exist", argument.c_str());
        status_ = "Fail";
        return;
    }
    const std::string shown = account_.FtpCurrentDirectory();
    Reply(MSG_CWD_DONE, shown.c_str());
    Log('C', "CWD %s successful", account_.currentDirectory().c_str());
    status_ = "Success";
}

void CFtpSession::OnMkd(std::string_view arg) {
    const std::string argument(arg);
    status_ = "Fail";
    UserIdentity user(account_.rights());
    std::string result;
    if (!user.ok() || !ResolvePath(arg, result)) result.clear();
    if (account_.docutech() && !result.empty() && !ContainsDocutechMark(result)) {
        result += kDocutechExtension;
        if (result.size() > kMaxDiskPath) result.clear();
    }
    if (!HasRightsAt(result, kRightCreate)) {
        ReplyText(MSG_MKD_NO_RIGHTS);
        Log('C', "No rights to create directory %s", result.c_str());
        return;
    }
    if (!InHeldFolder(result, [](int dir, const char* name) { return ::mkdirat(dir, name, 0777); })) {
        Reply(MSG_MKD_FAILED, argument.c_str());
        Log('C', "Not allowed to create directory %s", result.c_str());
        return;
    }
    Reply(MSG_MKD_DONE, argument.c_str());
    Log('C', "Created directory %s", result.c_str());
    status_ = "Success";
}

void CFtpSession::OnRmd(std::string_view arg) {
    const std::string argument(arg);
    status_ = "Fail";
    UserIdentity user(account_.rights());
    std::string result;
    std::string linkBase;
    if (!user.ok() || !ResolvePath(arg, result, &linkBase)) {
        result.clear();
        linkBase.clear();
    }
    const std::string& checked = linkBase.empty() ? result : linkBase;
    // The directory a virtual directory stands for is shown elsewhere and may
    // be every user's: it is never removed (or renamed) through its place.
    if (!HasRightsAt(checked, kRightOverwrite) ||
        (linkBase.empty() && account_.maps().IsTarget(result))) {
        ReplyText(MSG_RMD_NO_RIGHTS);
        Log('C', "No rights to remove directory %s", result.c_str());
        return;
    }
    bool removed;
    if (!linkBase.empty() && (!Exists(result) || IsDirectory(result))) {
        // A shortcut to a folder: the shortcut goes, the folder stays.
        removed = InHeldFolder(linkBase + std::string(kShortcutExtension),
                               [](int dir, const char* name) { return ::unlinkat(dir, name, 0); });
    } else {
        removed = InHeldFolder(result, [](int dir, const char* name) { return ::unlinkat(dir, name, AT_REMOVEDIR); });
    }
    if (!removed) {
        Reply(MSG_RMD_FAILED, argument.c_str());
        Log('C', "Not allowed to remove directory %s", result.c_str());
        return;
    }
    Reply(MSG_RMD_DONE, argument.c_str());
    Log('C', "Removed directory %s", result.c_str());
    status_ = "Success";
}

void CFtpSession::OnDele(std::string_view arg) {
    const std::string argument(arg);
    UserIdentity user(account_.rights());
    std::string path;
    std::string linkBase;
    if (!user.ok() || !ResolvePath(arg, path, &linkBase)) {
        path = user.ok() ? ResolveLinkItself(arg) : std::string();
        linkBase.clear();
    }
    // The shortcut file itself is deleted, never what it leads to.
    if (!linkBase.empty()) path = linkBase + std::string(kShortcutExtension);
    if (!HasRightsAt(path, kRightOverwrite)) {
        ReplyText(MSG_DELE_NO_RIGHTS);
        Log('C', "DELEte file %s failed - no rights", path.c_str());
        status_ = "Fail";
        return;
    }
    if (!InHeldFolder(path, DeleteUnlessUploading)) {
        const int err = errno;
        Reply(MSG_DELE_ERROR, argument.c_str(), FileCauseText(FileCauseFromErrno(err)));
        Log('C', "DELEte file %s failed", path.c_str());
        status_ = "Fail";
        return;
    }
    ReplyText(MSG_DELETED);
    Log('C', "DELEte file %s successful", path.c_str());
    status_ = "Success";
}

void CFtpSession::OnRnfr(std::string_view arg) {
    const std::string argument(arg);
    files_.renameSource.reset();
    bool exists = false;
    bool allowed = false;
    std::string source;
    {
        UserIdentity user(account_.rights());
        std::string linkBase;
        if (!user.ok() || !ResolvePath(arg, source, &linkBase)) {
            source = user.ok() ? ResolveLinkItself(arg) : std::string();
            linkBase.clear();
        }
        exists = Exists(source);
        const NameSuffix& suffix = account_.nameSuffix();
        if (!exists && !source.empty() && suffix.present && !suffix.text.empty()) {
            source += suffix.text;
            exists = Exists(source);
        }
        if (!linkBase.empty()) source = linkBase + std::string(kShortcutExtension);
        if (source.size() > kMaxDiskPath) source.clear();
        allowed = HasRightsAt(source, kRightOverwrite) &&
                  (!linkBase.empty() || !account_.maps().IsTarget(source));
    }
    if (!allowed) {
        ReplyText(MSG_RENAME_NO_RIGHTS);
        Log('C', "RNFR failed - no rights in directory for file %s", argument.c_str());
        status_ = "Fail";
        return;
    }
    std::optional<CFileListingState::PlaceId> place;
    if (exists) {
        UserIdentity user(account_.rights());
        if (user.ok()) place = PlaceOf(source);
    }
    if (!exists || !place) {
        ReplyText(MSG_RNFR_MISSING);
        Log('C', "RNFR failed - source file %s does not exist", argument.c_str());
        status_ = "Fail";
        return;
    }
    files_.renameSource = std::move(source);
    files_.renameSourceId = *place;
    ReplyText(MSG_RNFR_READY);
    status_ = "Success";
}

void CFtpSession::OnRnto(std::string_view arg) {
    if (!files_.renameSource) {
        ReplyText(MSG_RNTO_WITHOUT_RNFR);
        Log('C', "RNTO failed - no preceding RNFR");
        status_ = "Fail";
        return;
    }
    // Consumed whatever the outcome.
    const std::string source = std::move(*files_.renameSource);
    files_.renameSource.reset();
    const std::string argument(arg);

    UserIdentity user(account_.rights());
    if (!user.ok() || PlaceOf(source) != files_.renameSourceId) {
        // The path no longer leads to what RNFR judged (a folder on the way
        // was replaced, by a link perhaps): nothing is renamed.
        ReplyText(MSG_RENAME_NO_RIGHTS);
        Log('C', "RNTO failed - %s is no longer the file RNFR named", source.c_str());
        status_ = "Fail";
        return;
    }
    std::string target;
    if (ResolvePath(arg, target)) {
        const NameSuffix& suffix = account_.nameSuffix();
        target = RenameTarget(target, suffix.present ? std::string_view(suffix.text) : std::string_view(), source,
                              argument);
        if (target.size() > kMaxDiskPath) target.clear();
    } else {
        target.clear();
    }
    if (!HasRightsAt(target, kRightCreate)) {
        ReplyText(MSG_RENAME_NO_RIGHTS);
        Log('C', "RNTO failed - no rights in directory for file %s", argument.c_str());
        status_ = "Fail";
        return;
    }
    // The name given, and the name it resolves to ("x.lnk." and
    // "x.lnk::$DATA" become "x.lnk").
    if (CheckRenameNames(source, argument) == RenameCheck::ToShortcut ||
        CheckRenameNames(source, target) == RenameCheck::ToShortcut) {
        ReplyText(MSG_RNTO_TO_SHORTCUT);
        Log('C', "RNTO failed - cannot rename non-LNK file to LNK (security)");
        status_ = "Fail";
        return;
    }
    // Renamed between the two folders held open and judged, so that neither
    // path can be turned elsewhere after the checks.
    int err = 0;
    {
        const std::unique_ptr<HeldFolder> from = HoldFolderOf(source);
        const std::unique_ptr<HeldFolder> to = from ? HoldFolderOf(target) : nullptr;
        if (!from || !to) {
            err = errno;
        } else if (BeingUploaded(from->fd(), from->name().c_str())) {
            err = EBUSY;
        } else {
            err = MoveNoReplace(*from, *to);
        }
    }
    if (err == EXDEV) {
        // Another file system: a file is copied there on a worker, which
        // the next commands wait for; a folder cannot go.
        struct stat st {};
        if (::lstat(source.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            StartMove(source, target, argument);
            return;
        }
        Reply(MSG_RNTO_ERROR, argument.c_str(), kOtherFileSystemText);
        Log('C', "RNTO %s (from %s) failed - another file system", target.c_str(), source.c_str());
        status_ = "Fail";
        return;
    }
    ReplyRenamed(err, argument, source, target);
}

void CFtpSession::ReplyRenamed(int err, const std::string& argument, const std::string& source,
                               const std::string& target) {
    if (err != 0) {
        const FileCause cause = FileCauseFromErrno(err);
        Reply(MSG_RNTO_ERROR, argument.c_str(), FileCauseText(cause));
        Log('C', "RNTO %s (from %s) failed - error %d", target.c_str(), source.c_str(), static_cast<int>(cause));
        status_ = "Fail";
        return;
    }
    ReplyText(MSG_RENAMED);
    Log('C', "RNTO %s (from %s) successful", target.c_str(), source.c_str());
    status_ = "Success";
}

void CFtpSession::StartMove(const std::string& source, const std::string& target, const std::string& argument) {
    std::unique_ptr<SpoolFile> spool = ListingSpool("RNTO");
    if (!spool) return;
    // The spool carries the outcome back: the worker writes the errno.
    ListingJob::Work work = [source, target](SpoolFile& out, const std::atomic<bool>& stop) {
        const int err = MoveAcrossFileSystems(source, target, stop);
        if (err == ECANCELED) return ListingOutcome::Stopped;
        out.Write(std::to_string(err));
        return ListingOutcome::Completed;
    };
    files_.moveJob = std::make_unique<ListingJob>(account_.token(), std::move(spool), std::move(work), PostWhenDone());
    if (!files_.moveJob->Start()) {
        files_.moveJob.reset();
        Reply(MSG_RNTO_ERROR, argument.c_str(), FileCauseText(FileCause::Generic));
        status_ = "Fail";
        return;
    }
    files_.moveSource = source;
    files_.moveTarget = target;
    files_.moveArgument = argument;
    Log('C', "RNTO %s (from %s) - copying to another file system", target.c_str(), source.c_str());
    status_ = "Started";
}

void CFtpSession::FinishMove() {
    const std::string text = CFileListingState::TakeText(files_.moveJob);
    ReplyRenamed(text.empty() ? EIO : std::atoi(text.c_str()), files_.moveArgument, files_.moveSource,
                 files_.moveTarget);
    files_.moveSource.clear();
    files_.moveTarget.clear();
    files_.moveArgument.clear();
    if (!CommandsWait()) ResumeCommands();
}

}  // namespace orvyn
