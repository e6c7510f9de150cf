#include "service/transfer/connection/DataTransfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/accounts/Impersonation.h"
#include "service/accounts/login/SessionAccount.h"
#include "service/accounts/paths/DeviceNames.h"
#include "service/accounts/paths/DiskPath.h"
#include "service/accounts/paths/HeldFolder.h"
#include "service/accounts/paths/PathResolver.h"
#include "service/accounts/paths/PathRights.h"
#include "service/base/log/LogSink.h"
#include "service/base/settings/ServerRegistry.h"
#include "service/base/text/NoCase.h"
#include "service/transfer/connection/DataSession.h"
#include "service/transfer/conversions/Conversion.h"
#include "service/transfer/conversions/ConversionCommand.h"
#include "service/transfer/conversions/PopenFile.h"
#include "service/transfer/files/BigFile.h"
#include "service/transfer/files/FileException.h"
#include "service/transfer/files/RestartMarker.h"
#include "service/transfer/files/FileTimes.h"
#include "service/transfer/files/LineEndFile.h"
#include "service/transfer/files/TempFileName.h"
#include "service/transfer/files/TransferTexts.h"
#include "service/transfer/listing/SpoolFile.h"

namespace orvyn {

namespace {
constexpr const char* kReplyRestWithLineEnds =
    "504 Restart markers are not supported for text transfers while line ends are converted.";
}  // namespace

using eventloop::FD_ACCEPT;
using eventloop::FD_CONNECT;
using eventloop::INVALID_SOCKET;

namespace {

// A listing spool read as a transfer source.
class CSpoolSource : public CFile {
public:
    explicit CSpoolSource(std::unique_ptr<SpoolFile> spool) : spool_(std::move(spool)) {}
    size_t Read(void* buffer, size_t size) override {
        const ssize_t n = spool_->Read(buffer, size);
        if (n < 0) throw CFileException(FileCause::HardIO, EIO);
        if (n == 0) ended_ = true;
        return static_cast<size_t>(n);
    }
    void Write(const void*, size_t) override { throw CFileException(FileCause::AccessDenied, EACCES); }
    void Close() override { spool_.reset(); }
    void Abort() noexcept override { spool_.reset(); }
    bool IsOpen() const override { return spool_ != nullptr; }
    bool Ended() const override { return ended_; }

private:
    std::unique_ptr<SpoolFile> spool_;
    bool ended_ = false;
};

std::string FormatText(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatText(const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return {};
    return std::string(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

std::string Cut(std::string_view text, size_t n) { return std::string(text.substr(0, n)); }

// The session's log for helpers that log through an ILogSink; the session
// adds its own connection number.
class SessionLogSink : public ILogSink {
public:
    explicit SessionLogSink(IDataSession& session) : session_(session) {}
    void LogV(int, char category, const char* format, va_list ap) override { session_.LogV(category, format, ap); }

private:
    IDataSession& session_;
};

}  // namespace

CDataTransfer::CDataTransfer(IDataSession& session)
    : session_(session), channel_(session, engine_), engine_(session, channel_) {}

CDataTransfer::~CDataTransfer() = default;

void CDataTransfer::Forget() {
    channel_.ForgetTarget();
    channel_.ForgetEpsvAll();
    restartMarker_ = 0;
}

void CDataTransfer::OnDataEvent(eventloop::Socket s, uint32_t event, int wsaError) {
    if (engine_.watchesPipe(s)) {
        engine_.OnPipeEvent();
        return;
    }
    if (s != channel_.socket() || s == INVALID_SOCKET) return;
    if ((event & FD_ACCEPT) != 0) {
        channel_.OnAccept(wsaError);
        return;
    }
    if ((event & FD_CONNECT) != 0) {
        channel_.OnConnect(wsaError);
        return;
    }
    engine_.OnSocketEvent(event, wsaError);
}

void CDataTransfer::BeginTransferCommand() {
    // The previous transfer ends first, whether or not this command is then
    // refused: one answered and only waiting for the client's close keeps its
    // last bytes; one still running (or waiting for its connection) gets its
    // 426 before this command's reply.
    engine_.EndReplacedTransfer();
    engine_.NewCommand();
    channel_.DefaultToClientAddress();
}

// ---- paths -------------------------------------------------------------------------

std::string CDataTransfer::CurrentDirectory() {
    std::string dir = session_.account().currentDirectory();
    if (!dir.empty()) return dir;
    // Without a login (Secure off) the session works in the service's own
    // working directory.
    char buf[4096];
    if (::getcwd(buf, sizeof buf) == nullptr) return "/";
    dir = buf;
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

bool CDataTransfer::Resolve(std::string_view arg, std::string& diskPath, std::string& rightsPath) {
    CSessionAccount& acc = session_.account();
    std::string link;
    const std::string cwd = CurrentDirectory();
    if (!session_.Resolver().Resolve(arg, acc.restrictionRoot(), cwd, acc.docutech(), acc.maps(), diskPath, &link)) {
        return false;
    }
    rightsPath = link.empty() ? diskPath : link;
    return true;
}

bool CDataTransfer::OpenedInside(const CBigFile& file, const std::string& diskPath) {
    const CSessionAccount& acc = session_.account();
    if (OpenedBelowRoot(file.fd(), diskPath, acc.restrictionRoot(), acc.maps())) return true;
    session_.Log('!', "File %s was reached outside the restriction %s when opened - refused", diskPath.c_str(),
                 acc.restrictionRoot().c_str());
    return false;
}

bool CDataTransfer::OpenedWithRights(const CBigFile& file, const std::string& diskPath, const std::string& rightsPath,
                                     int required) {
    // Without a login (Secure off) nobody's rights apply, as in HasRights.
    if (!session_.loggedIn() && !session_.policy().secure) return true;
    if (session_.account().rights().OpenedHasRights(rightsPath, file.fd(), required)) return true;
    session_.Log('!', "File %s was reached at a place without the rights when opened - refused", diskPath.c_str());
    return false;
}

bool CDataTransfer::OpenInside(const std::string& path, bool exists, bool append, std::unique_ptr<CBigFile>& file) {
    const CSessionAccount& acc = session_.account();
    if (acc.restrictionRoot().empty()) return true;
    HeldFolder folder(path, acc.restrictionRoot(), acc.maps());
    if (folder.outside()) {
        session_.Log('!', "Folder %s was reached outside the restriction %s when opened - refused",
                     ParentOf(path).c_str(), acc.restrictionRoot().c_str());
        return false;
    }
    if (!folder.ok()) ThrowFileError(folder.error(), path);
    // Not blocking on a FIFO's open; CBigFile refuses what is not a regular
    // file and makes the descriptor blocking.
    const int mode = O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (append ? O_APPEND : 0);
    const char* name = folder.name().c_str();
    int fd;
    do {
        // Made anew never through a link (O_EXCL, O_NOFOLLOW); a name that is
        // there (or has appeared meanwhile) is opened as the file it is.
        fd = exists ? ::openat(folder.fd(), name, mode) : -1;
        if (!exists || (fd < 0 && errno == ENOENT)) {
            fd = ::openat(folder.fd(), name, mode | O_NOFOLLOW | O_CREAT | O_EXCL, 0666);
            if (fd < 0 && errno == EEXIST) fd = ::openat(folder.fd(), name, mode | O_NOFOLLOW);
        }
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) ThrowFileError(errno == ELOOP ? EACCES : errno, path);
    file = std::make_unique<CBigFile>(fd, path);
    return true;
}

bool CDataTransfer::HasRights(const std::string& rightsPath, int required) {
    if (!session_.loggedIn() && !session_.policy().secure) {
        const int mask = RightsWithoutLogin(session_.policy().allowPuts);
        return (mask & required) == required;
    }
    return session_.account().rights().HasRights(rightsPath, required);
}

bool CDataTransfer::HasRightsReached(const std::string& rightsPath, const std::string& diskPath, int required) {
    return HasRights(rightsPath, required) && (rightsPath == diskPath || HasRights(diskPath, required));
}

std::string CDataTransfer::ClientName(const std::string& diskPath) {
    std::string p = diskPath;
    const CSessionAccount& acc = session_.account();
    if (!DiskToFtpPath(p, acc.restrictionRoot(), acc.maps())) return std::string(FileNameOf(diskPath));
    return p;
}

CDataTransfer::ConversionStart CDataTransfer::StartConversion(const std::string& requested) {
    CServerRegistry& reg = session_.registry();
    std::vector<ConversionValue> values;
    for (const std::string& n : std::vector<std::string>(reg.ListNames("Conversions"))) {
        std::string text = reg.ReadString("Conversions", n.c_str(), "");
        if (!text.empty()) values.push_back({n, std::move(text)});
    }
    if (values.empty()) return ConversionStart::None;
    const bool binary = session_.imageType();
    // A local file whose real place lies outside the root is not there for
    // this user: a conversion never reads what a plain RETR could not.
    const CSessionAccount& acc = session_.account();
    SessionLogSink log(session_);
    const LocalProbe insideRoot = [&](const std::string& local) {
        const LocalEntry entry = ProbeLocalEntry(local);
        if (entry == LocalEntry::Missing) return entry;
        return RestrictionCheck(local, acc.restrictionRoot(), acc.maps(), &log, 0) ? entry : LocalEntry::Missing;
    };
    std::optional<ConversionMatch> m = FindConversion(values, requested, binary, insideRoot);
    if (!m) return ConversionStart::None;
    if (!HasRights(m->localPath, kRightRead)) return ConversionStart::NoRights;
    // A folder's command reads all of it as the service and shows its names:
    // the user must be one who may list the folder and every folder inside
    // with entries of its own, and whose access is not a system account's
    // (its file permissions inside the folder are not the service's).
    if (session_.loggedIn() && m->entry == LocalEntry::Directory) {
        PathRights& rights = session_.account().rights();
        if (rights.hasSessionToken() || !HasRights(m->localPath + "/", kRightList) ||
            !rights.EntriesInsideAllow(m->localPath, kRightRead | kRightList)) {
            return ConversionStart::NoRights;
        }
    }
    std::optional<ConversionCommand> cmd = BuildCommand(m->conversion, m->localPath);
    if (!cmd) return ConversionStart::None;
    auto p = std::make_unique<CPopenFile>(&session_.childReaper());
    {
        // The command runs as the service, not with the account's identity
        // (its groups) that this thread acts with now.
        accounts::ServiceScope asService;
        if (!p->Open(cmd->argv, CurrentDirectory())) return ConversionStart::None;
    }
    session_.Log('G', kLogConversion, requested.c_str(), cmd->text.c_str(), m->conversion.name.c_str());
    CPopenFile* pipe = p.get();
    if (ConvertLineEnds()) {
        // A command's text output is text like a file's.
        engine_.Attach(std::make_unique<CLineEndFile>(std::move(p), CLineEndFile::Direction::ToNetwork), std::nullopt,
                       pipe);
    } else {
        engine_.Attach(std::move(p), std::nullopt, pipe);
    }
    restartMarker_ = 0;
    return ConversionStart::Started;
}

// ---- RETR -------------------------------------------------------------------------

void CDataTransfer::Retr(std::string_view arg) {
    BeginTransferCommand();
    if (RefusedForLineEnds()) return;
    const std::string argText = Cut(arg, 256);
    std::string path, rightsPath;
    UserIdentity asUser(session_.account().rights());
    if (!Resolve(arg, path, rightsPath) || !asUser.ok()) {
        session_.Log('C', "RETR failed - file does not exist");
        session_.Refuse(FormatText("550 Error: File %.256s does not exist", argText.c_str()));
        return;
    }
    if (IsShortcutName(path)) {
        session_.Log('C', "Unable to RETR file %s - LNK files not allowed (security)", path.c_str());
        session_.Refuse("553 Not allowed to download .LNK files.");
        return;
    }
    auto refuseNoRights = [&] {
        session_.Log('C', "RETRieve failed - no rights");
        session_.Log('G', "RETRieve failed - no rights");
        session_.Refuse(FormatText("550 You do not have rights to read file %.256s", argText.c_str()));
    };
    if (!HasRightsReached(rightsPath, path, kRightRead)) {
        refuseNoRights();
        return;
    }
    struct stat st {};
    bool found = ::stat(path.c_str(), &st) == 0;
    const NameSuffix& suffix = session_.account().nameSuffix();
    if (!found && suffix.present && !suffix.text.empty()) {
        const std::string withSuffix = path + suffix.text;
        if (::stat(withSuffix.c_str(), &st) == 0) {
            path = withSuffix;
            found = true;
        }
    }
    engine_.EndSource();
    if (found && S_ISDIR(st.st_mode)) {
        session_.Log('C', "RETR failed - cannot RETR a directory!");
        session_.Log('G', "RETR failed - cannot RETR a directory!");
        session_.Refuse(FormatText("550 Error: %.256s is a volume or a directory.", argText.c_str()));
        return;
    }
    try {
        if (found) {
            auto file = std::make_unique<CBigFile>(path, CBigFile::Mode::Read);
            if (!OpenedInside(*file, path) || !OpenedWithRights(*file, path, rightsPath, kRightRead)) {
                session_.Refuse(FormatText("550 Error: File %.256s does not exist", argText.c_str()));
                return;
            }
            const uint64_t marker = static_cast<uint64_t>(restartMarker_);
            const uint64_t size = static_cast<uint64_t>(st.st_size);
            if (marker != 0 && RetrMarkerBeyondEnd(marker, size)) {
                session_.Reply(MarkerBeyondEndText(marker, argText));
                session_.Log('C', "%s", kLogRetrMarkerBeyondEnd);
                session_.SetStatus("Fail");
                return;
            }
            if (marker != 0) file->Seek(static_cast<int64_t>(marker), CBigFile::Origin::Begin);
            if (ConvertLineEnds()) {
                // The converted length is known only at the end.
                engine_.Attach(std::make_unique<CLineEndFile>(std::move(file), CLineEndFile::Direction::ToNetwork),
                               std::nullopt);
            } else {
                engine_.Attach(std::move(file), size - marker);
            }
        } else if (const ConversionStart started = StartConversion(path); started != ConversionStart::Started) {
            if (started == ConversionStart::NoRights) {
                refuseNoRights();
                return;
            }
            session_.Log('C', "RETR failed - file does not exist");
            session_.Log('G', "RETR failed - file does not exist");
            session_.Refuse(FormatText("550 Error: File %.256s does not exist", argText.c_str()));
            return;
        }
    } catch (const CFileException& e) {
        session_.Reply(FileErrorReplyText(argText, e));
        session_.Log('C', "RETR failed - file exception %d", e.causeNumber());
        engine_.EndSource();
        session_.SetStatus("Fail");
        return;
    }
    engine_.Describe(path, ClientName(path));
    restartMarker_ = 0;
    engine_.SetInProgress(true);
    session_.SetStatus("Started");
    // A small file may be sent, and its end logged, as soon as the connection
    // is there: the start is logged first.
    engine_.HoldFirstSend();
    const bool ok = channel_.Open(DataState::SendFile);
    session_.Log('C', "RETRieve %sed on file %s", ok ? "start" : "fail", argText.c_str());
    engine_.EndFirstSendHold();
}

// ---- STOR, STOU, APPE -------------------------------------------------------------

void CDataTransfer::Store(std::string_view arg, bool unique, bool append) {
    BeginTransferCommand();
    if (RefusedForLineEnds()) return;
    const std::string argText = Cut(arg, 256);
    UserIdentity asUser(session_.account().rights());
    if (!asUser.ok()) {
        session_.Refuse("550 You are not allowed to store files to that directory.");
        return;
    }
    const NameSuffix& nameSuffix = session_.account().nameSuffix();
    const std::string suffix = nameSuffix.present ? nameSuffix.text : std::string();
    std::string path, rightsPath;
    bool makeUnique = unique;
    if (!unique || !arg.empty()) {
        if (!Resolve(arg, path, rightsPath)) {
            session_.Log('P', "User %s not allowed access to %s", session_.userName().c_str(), argText.c_str());
            session_.Refuse("550 You are not allowed to store files to that directory.");
            return;
        }
        path += suffix;
        rightsPath = rightsPath == path.substr(0, path.size() - suffix.size()) ? path : rightsPath;
        struct stat probe {};
        if (unique && ::lstat(path.c_str(), &probe) != 0) makeUnique = false;
    }
    if (makeUnique) {
        std::string dir = CurrentDirectory();
        if (!path.empty()) dir = FolderOf(path);
        // The unique name goes beside the existing one. For the root itself
        // ("STOU /") that would be the root's parent: refused before the
        // file system is touched outside the root.
        const CSessionAccount& acc = session_.account();
        if (!LiesBelowRoot(dir, acc.restrictionRoot(), acc.maps())) {
            session_.Log('P', "User %s not allowed access to %s", session_.userName().c_str(), argText.c_str());
            session_.Refuse("550 You are not allowed to store files to that directory.");
            return;
        }
        try {
            path = CreateTempFileName(dir, kStouPrefix);
            if (!suffix.empty()) {
                // The name with the suffix is the one used; the empty file
                // made to reserve the number goes.
                ::unlink(path.c_str());
                path += suffix;
            }
            rightsPath = path;
        } catch (const CFileException& e) {
            session_.Log('P', "STORe failed (file error) on file %s", argText.c_str());
            session_.Refuse(FileErrorReplyText(argText, e));
            return;
        }
    }
    if (IsShortcutName(path)) {
        session_.Log('C', "Unable to STOR file %s - LNK files not allowed (security)", path.c_str());
        session_.Refuse("553 Not allowed to upload .LNK files.");
        return;
    }
    struct stat st {};
    bool exists = ::stat(path.c_str(), &st) == 0;
    // STOU's own reserved file counts as new.
    if (makeUnique && exists && st.st_size == 0) exists = false;
    if (!HasRights(rightsPath, exists ? kRightOverwrite : kRightCreate)) {
        if (makeUnique) ::unlink(path.c_str());
        session_.Log('P', "User %s not allowed access to %s", session_.userName().c_str(), path.c_str());
        session_.Refuse("550 You are not allowed to store files to that directory.");
        return;
    }
    const uint64_t marker = static_cast<uint64_t>(restartMarker_);
    // A marker beyond the end would leave a hole of any size: refused for a
    // new file (size 0) too, before anything is created or cut.
    if (StorMarkerBeyondEnd(marker, exists ? static_cast<uint64_t>(st.st_size) : 0)) {
        if (makeUnique) ::unlink(path.c_str());
        session_.Log('C', "%s", kLogStorMarkerBeyondEnd);
        session_.Refuse(StorMarkerBeyondEndText(marker, argText));
        return;
    }
    if (exists) {
        if (S_ISDIR(st.st_mode)) {
            session_.Log('C', "STOR failed - cannot STOR a directory!");
            session_.Log('P', "STOR failed - cannot STOR a directory!");
            session_.Refuse(FormatText("550 Error: %.256s is a volume or a directory.", argText.c_str()));
            return;
        }
        if (!CUploadClaim::Free(st, append && marker == 0)) {
            session_.Log('P', "STORe refused - another upload is writing %s", path.c_str());
            session_.Refuse(FormatText("450 File %.256s is busy: another upload is writing it.", argText.c_str()));
            return;
        }
    }
    bool retried = false;
    for (;;) {
        engine_.EndSource();
        try {
            // A plain APPE writes at the end as it is at every write, so that
            // what another session appends meanwhile is not overwritten.
            const bool atEnd = append && marker == 0;
            // A new file is made inside its checked folder; an existing one
            // is checked once open, before anything is cut or written.
            std::unique_ptr<CBigFile> file;
            bool inside = OpenInside(path, exists, atEnd, file);
            if (inside && !file) {
                file = std::make_unique<CBigFile>(path, atEnd ? CBigFile::Mode::Append : CBigFile::Mode::Write);
            }
            // A new file was made in its checked folder, never through a
            // link: only one that was there may have led elsewhere.
            if (inside && exists) inside = OpenedInside(*file, path);
            if (inside) inside = OpenedWithRights(*file, path, rightsPath, exists ? kRightOverwrite : kRightCreate);
            if (!inside) {
                session_.Refuse("550 You are not allowed to store files to that directory.");
                return;
            }
            // A new file is empty already and written from its start.
            uint64_t length = file->openedSize();
            if (!(append && marker == 0) && length != marker) {
                file->SetLength(marker);
                length = marker;
            }
            if (length != 0) file->SeekToEnd();
            auto claim = std::make_unique<CUploadClaim>(file->fd(), atEnd);
            if (ConvertLineEnds()) {
                engine_.Attach(std::make_unique<CLineEndFile>(std::move(file), CLineEndFile::Direction::FromNetwork),
                               0);
            } else {
                engine_.Attach(std::move(file), 0);
            }
            engine_.HoldClaim(std::move(claim));
            break;
        } catch (const CFileException& e) {
            if (e.TargetInUse() && marker == 0 && !append && !retried) {
                retried = true;
                try {
                    MoveAsideAndDelete(path);
                    continue;
                } catch (const CFileException&) {
                }
            } else if (append && e.cause() == FileCause::FileNotFound && !retried) {
                append = false;
                retried = true;
                continue;
            }
            session_.Log('P', "STORe failed (file error) on file %s", argText.c_str());
            engine_.EndSource();
            session_.Refuse(FileErrorReplyText(argText, e));
            return;
        }
    }
    engine_.Describe(path, ClientName(path));
    engine_.SetInProgress(true);
    session_.SetStatus("Started");
    const bool ok = channel_.Open(makeUnique ? DataState::ReceiveUniqueFile : DataState::ReceiveFile);
    session_.Log('P', "STORe %sed on file %s", ok ? "start" : "fail", argText.c_str());
}

// ---- REST, ABOR ---------------------------------------------------------------------

bool CDataTransfer::ConvertLineEnds() {
    return !session_.imageType() && session_.registry().ReadInt(nullptr, "TextLineEnds", 0) == 1;
}

bool CDataTransfer::RefusedForLineEnds() {
    if (restartMarker_ == 0 || !ConvertLineEnds()) return false;
    restartMarker_ = 0;
    session_.Log('C', "Restart refused - line ends are converted in this type");
    session_.Refuse(kReplyRestWithLineEnds);
    return true;
}

void CDataTransfer::Rest(std::string_view arg) {
    const std::optional<int64_t> marker = ParseRestartMarker(arg);
    if (!marker) {
        restartMarker_ = 0;
        session_.Refuse(RestRefusedText(arg));
        return;
    }
    if (ConvertLineEnds() && *marker != 0) {
        // Offsets in converted text name no place in the file; only the
        // start does (clients send REST 0 before transfers as a matter of course).
        restartMarker_ = 0;
        session_.Refuse(kReplyRestWithLineEnds);
        return;
    }
    restartMarker_ = *marker;
    session_.Reply(RestAcceptedText(*marker));
    session_.SetStatus("Success");
}

void CDataTransfer::Abor() {
    // A small file may be read whole while it still waits to be sent (for
    // its data connection's handshake): it is still being transferred.
    if (!engine_.Busy()) {
        session_.Reply("225 ABOR command successful (nothing to abort!)");
        session_.Log('C', "ABORt command successful - nothing to abort!");
        session_.SetStatus("Success");
        return;
    }
    session_.Reply("426 Transfer aborted.");
    session_.Reply("226 Abort Successful.");
    session_.Log('C', "ABORt command successful");
    engine_.Finish(false);
    session_.SetStatus("Success");
}

// ---- SIZE, MDTM -------------------------------------------------------------------

bool CDataTransfer::StatForQuery(std::string_view arg, int anyOf, const std::string& missingReply, struct stat* st,
                                 std::string* path) {
    UserIdentity asUser(session_.account().rights());
    if (!asUser.ok()) {
        session_.Refuse(missingReply);
        return false;
    }
    // Rights come first: a path that does not resolve (outside the root
    // among them) has none, and says nothing about what lies there.
    std::string rightsPath;
    const bool resolved = Resolve(arg, *path, rightsPath);
    bool granted = false;
    for (int right = 1; resolved && right <= anyOf && !granted; right <<= 1) {
        if ((anyOf & right) != 0) granted = HasRightsReached(rightsPath, *path, right);
    }
    if (!granted) {
        session_.Refuse("550 You have no rights to list that directory!");
        return false;
    }
    if (::stat(path->c_str(), st) != 0) {
        session_.Refuse(missingReply);
        return false;
    }
    return true;
}

void CDataTransfer::Size(std::string_view arg) {
    const std::string missing = FormatText(
        "550 Error: File %.256s either does not exist, or is not a normal file", Cut(arg, 256).c_str());
    struct stat st {};
    std::string path;
    if (!StatForQuery(arg, kRightRead | kRightList, missing, &st, &path)) return;
    if (!S_ISREG(st.st_mode)) {
        session_.Refuse(missing);
        return;
    }
    if (ConvertLineEnds()) {
        // The size must be what the data connection would carry, which for
        // converted text is known only once it has been sent.
        session_.Refuse("550 The size of a text transfer is not known while line ends are converted.");
        return;
    }
    session_.Reply(SizeReplyText(static_cast<uint64_t>(st.st_size)));
    session_.SetStatus("Success");
}

void CDataTransfer::Mdtm(std::string_view arg) {
    if (const std::optional<TimedPath> timed = SplitTimedPath(arg)) {
        std::string whole, rightsPath;
        struct stat st {};
        bool wholeExists = false;
        {
            UserIdentity asUser(session_.account().rights());
            wholeExists = asUser.ok() && Resolve(arg, whole, rightsPath) && ::stat(whole.c_str(), &st) == 0;
        }
        if (!wholeExists) {
            SetModifiedTime(timed->when, timed->path);
            return;
        }
    }
    const std::string missing = FormatText("550 Error: File %.256s does not exist", Cut(arg, 256).c_str());
    struct stat st {};
    std::string path;
    if (!StatForQuery(arg, kRightList, missing, &st, &path)) return;
    const std::string text = path == "/" ? std::string() : MdtmReplyText(st.st_mtime);
    if (text.empty()) {
        session_.Refuse(missing);
        return;
    }
    session_.Reply(text);
    session_.SetStatus("Success");
}

void CDataTransfer::Mfmt(std::string_view arg) {
    const std::optional<TimedPath> timed = SplitTimedPath(arg);
    if (!timed) {
        session_.Log('C', "MFMT failed - bad time or path \"%.100s\"", std::string(Cut(arg, 100)).c_str());
        session_.Refuse("501 Syntax error: MFMT YYYYMMDDHHMMSS path");
        return;
    }
    SetModifiedTime(timed->when, timed->path);
}

bool CDataTransfer::AttributeTarget(std::string_view pathArg, const char* what, bool userOk, std::string& path) {
    std::string rightsPath;
    if (!userOk || !Resolve(pathArg, path, rightsPath)) {
        session_.Refuse(FormatText("550 Error: File %.256s does not exist", Cut(pathArg, 256).c_str()));
        return false;
    }
    // A virtual directory's folder is not the user's to change through its
    // place, as it is not to remove or rename.
    if (!HasRightsReached(rightsPath, path, kRightOverwrite) ||
        (rightsPath == path && session_.account().maps().IsTarget(path))) {
        session_.Log('C', "Changing the %s of %s failed - no rights", what, path.c_str());
        session_.Refuse(FormatText("550 You do not have rights to change the %s of %.256s", what,
                                   Cut(pathArg, 256).c_str()));
        return false;
    }
    return true;
}

void CDataTransfer::RefuseAttributeChange(int err, std::string_view pathArg, const char* what,
                                          const std::string& path) {
    const std::string shown = Cut(pathArg, 256);
    if (err == ENOENT || err == ENOTDIR) {
        session_.Refuse(FormatText("550 Error: File %.256s does not exist", shown.c_str()));
        return;
    }
    session_.Log('C', "Changing the %s of %s failed - %s", what, path.c_str(), std::strerror(err));
    session_.Refuse(FormatText("550 Could not change the %s of %.256s: %s", what, shown.c_str(), std::strerror(err)));
}

void CDataTransfer::SetModifiedTime(time_t when, std::string_view pathArg, std::string_view success) {
    const std::string shown = Cut(pathArg, 256);
    std::string path;
    UserIdentity asUser(session_.account().rights());
    if (!AttributeTarget(pathArg, "time", asUser.ok(), path)) return;
    const timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
        RefuseAttributeChange(errno, pathArg, "time", path);
        return;
    }
    // A file system holds only so wide a range of times and clamps the rest:
    // what is reported is the time the file now has.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) when = st.st_mtime;
    const std::string stamp = MdtmTimeText(when);
    session_.Log('C', "Modification time of %s set to %s", path.c_str(), stamp.c_str());
    session_.Reply(success.empty() ? FormatText("213 Modify=%s; %.256s", stamp.c_str(), shown.c_str())
                                   : std::string(success));
    session_.SetStatus("Success");
}

void CDataTransfer::SiteChmod(std::string_view args) {
    const size_t blank = args.find(' ');
    const std::string_view modeText = args.substr(0, blank);
    const std::string_view pathArg = blank == std::string_view::npos ? std::string_view() : args.substr(blank + 1);
    unsigned mode = 0;
    bool octal = !modeText.empty() && modeText.size() <= 4 && !pathArg.empty();
    for (char c : modeText) {
        if (c < '0' || c > '7') octal = false;
        mode = mode * 8 + static_cast<unsigned>(c - '0');
    }
    if (!octal) {
        session_.Refuse("501 SITE CHMOD <octal mode, at most 4 digits> <path>");
        return;
    }
    const std::string shown = Cut(pathArg, 256);
    if ((mode & (S_ISUID | S_ISGID)) != 0 && session_.registry().ReadInt("Security", "AllowSetId", 0) != 1) {
        session_.Log('!', "SITE CHMOD %04o of %s refused - set-user-ID and set-group-ID bits are not allowed", mode,
                     shown.c_str());
        session_.Refuse("550 SITE CHMOD: set-user-ID and set-group-ID bits are not allowed here.");
        return;
    }
    std::string path;
    UserIdentity asUser(session_.account().rights());
    if (!AttributeTarget(pathArg, "mode", asUser.ok(), path)) return;
    if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
        RefuseAttributeChange(errno, pathArg, "mode", path);
        return;
    }
    session_.Log('C', "Mode of %s set to %04o", path.c_str(), mode);
    session_.Reply("200 SITE CHMOD command successful.");
    session_.SetStatus("Success");
}

void CDataTransfer::SiteUtime(std::string_view args) {
    // The five-argument form: <path> <atime> <mtime> <ctime> UTC (the path
    // may hold blanks, the times do not).
    std::vector<std::string_view> tail;
    std::string_view rest = args;
    while (tail.size() < 4) {
        const size_t blank = rest.rfind(' ');
        if (blank == std::string_view::npos) break;
        tail.push_back(rest.substr(blank + 1));
        rest = rest.substr(0, blank);
    }
    if (tail.size() == 4 && EqualsNoCase(tail[0], "UTC") && !rest.empty()) {
        const std::optional<time_t> mtime = ParseFtpTime(tail[2]);
        if (mtime && ParseFtpTime(tail[1]) && ParseFtpTime(tail[3])) {
            SetModifiedTime(*mtime, rest, "200 Date/time changed okay.");
            return;
        }
    }
    // The two-argument form: <YYYYMMDDhhmm[ss]> <path>.
    const size_t blank = args.find(' ');
    if (blank != std::string_view::npos && blank + 1 < args.size()) {
        std::string stamp(args.substr(0, blank));
        if (stamp.size() == 12) stamp += "00";
        if (const std::optional<time_t> when = ParseFtpTime(stamp)) {
            SetModifiedTime(*when, args.substr(blank + 1), "200 SITE UTIME command successful.");
            return;
        }
    }
    session_.Refuse("501 SITE UTIME <YYYYMMDDhhmmss> <path>, or SITE UTIME <path> <atime> <mtime> <ctime> UTC");
}

// ---- listings ----------------------------------------------------------------------

bool CDataTransfer::StartListingTransfer(DataState kind, std::unique_ptr<SpoolFile> spool) {
    if (kind != DataState::SendListing && kind != DataState::SendMachineListing) return false;
    BeginTransferCommand();
    engine_.EndSource();
    if (!spool || !spool->Rewind()) {
        // The listing could not be made: a failure, not an empty listing.
        session_.Log('!', "Non-winsock (i.e. file) error %d during connect.", EIO);
        channel_.Reset();
        session_.Refuse("451 Could not open local file.");
        return false;
    }
    const uint64_t size = spool->size();
    engine_.Attach(std::make_unique<CSpoolSource>(std::move(spool)), size);
    engine_.Describe(std::string(), std::string());
    engine_.SetInProgress(true);
    session_.SetStatus("Started");
    return channel_.Open(kind);
}

}  // namespace orvyn
