// FEAT, OPTS, MLST and STAT. STAT with a path lists on the control
// connection: a worker thread builds the listing into a spool file, acting
// as the user, and tells the loop when it is done; the spool's lines then go
// out inside the open 213 reply as the control socket takes them.
#include <atomic>
#include <memory>

#include "platform/eventloop/Winsock.h"
#include "service/accounts/paths/DeviceNames.h"
#include "service/accounts/paths/DiskPath.h"
#include "service/accounts/paths/PathResolver.h"
#include "service/accounts/paths/PathRights.h"
#include "service/accounts/users/UserSettings.h"
#include "service/core/server/FtpServer.h"
#include "service/base/replies/Catalogue.h"
#include "service/base/text/NoCase.h"
#include "service/core/session/FtpSession.h"
#include "service/accounts/paths/FileProbe.h"
#include "service/transfer/listing/ListingProducer.h"
#include "service/transfer/listing/MachineListing.h"
#include "service/transfer/listing/ServerStatus.h"

namespace orvyn {
namespace {

// Reply bytes a STAT listing may queue before it waits for the socket.
constexpr size_t kStatBacklog = 64 * 1024;
constexpr size_t kStatChunk = 16 * 1024;

// What a listing worker resolves paths and judges rights with: copies of
// the session's account state, owned by the worker's callbacks, so that
// nothing the session changes (or frees) is touched from the worker.
struct WorkerView {
    explicit WorkerView(PathResolver r) : resolver(r) {}
    PathResolver resolver;
    std::string root;
    std::string current;
    bool docutech = false;
    VirtualDirs maps;
    PathRights rights;
};

// The worker's view of the session's account, and the reader settings on it.
ReaderSettings WorkerReader(CFtpSession& session, std::shared_ptr<WorkerView>& view) {
    CSessionAccount& account = session.account();
    CFtpServer& server = session.server();
    view = std::make_shared<WorkerView>(session.Resolver());
    view->root = account.restrictionRoot();
    view->current = session.DiskCurrentDirectory();
    view->docutech = account.docutech();
    view->maps = account.maps();
    view->rights.CopyFrom(account.rights());
    // A listing judges every entry at one moment: the settings are read once.
    view->rights.Freeze();

    ReaderSettings reader;
    // Without a login (Secure off) nobody's rights apply: the service's own
    // access decides, as for transfers.
    if (!session.loggedIn() && !server.settings().secure) {
        const int all = RightsWithoutLogin(server.settings().allowPuts);
        reader.rightsOf = [all](const std::string&) { return all; };
    } else {
        reader.rightsOf = [view](const std::string& diskPath) { return view->rights.GetRights(diskPath, false); };
        reader.examinedRightsOf = [view](const std::string& diskPath, const struct stat& st) {
            return view->rights.GetExaminedRights(diskPath, st);
        };
    }
    reader.clientPathOf = [view](const std::string& diskPath) -> std::optional<std::string> {
        std::string shown = diskPath;
        if (!DiskToFtpPath(shown, view->root, view->maps)) return std::nullopt;
        return shown;
    };
    reader.linkLeadsInside = [view](const std::string& linkPath) {
        return LiesBelowRoot(linkPath, view->root, view->maps);
    };
    if (!CUserSettings(server.registry(), nullptr).HideVDirs(session.userName())) {
        for (const auto& [place, target] : account.maps().forward()) {
            reader.virtualDirs.push_back(VirtualDirectory{place, target});
        }
    }
    const NameSuffix& suffix = account.nameSuffix();
    if (suffix.present) reader.nameSuffix = suffix.text;
    return reader;
}

// The request of a LIST, NLST or STAT listing; its options are set already.
void FillListingRequest(CFtpSession& session, ListingRequest& request) {
    std::shared_ptr<WorkerView> view;
    request.reader = WorkerReader(session, view);
    request.resolve = [view](const std::string& clientPath) -> std::optional<std::string> {
        std::string disk;
        if (!view->resolver.Resolve(clientPath, view->root, view->current, view->docutech, view->maps, disk)) {
            return std::nullopt;
        }
        return disk;
    };
    request.docutech = session.account().docutech();
}

ListingJob::Work ProducerWork(ListingRequest request) {
    return [request = std::move(request)](SpoolFile& spool, const std::atomic<bool>& stop) {
        ListingProducer producer(request, &stop);
        ListingOutput out([&spool](std::string_view text) { return spool.Write(text); }, request.docutech);
        return producer.Run(out);
    };
}

void WriteLines(CFtpSession& session, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) session.WriteText(line + "\r\n", false);
}

}  // namespace

void CFtpSession::OnFeat(std::string_view) {
    WriteLines(*this, FeatLines(MachineListingDisabled() ? nullptr : &files_.mlst,
                                "HASH " + DigestFeatList(files_.hashKind)));
    Log('C', "FEAT completed successfully");
    status_ = "Success";
}

// CLNT: the client names itself; the command line in the log says who.
void CFtpSession::OnClnt(std::string_view) {
    WriteText("200 Noted.\r\n", false);
    status_ = "Success";
}

// Names are bytes here and pass through unchanged, so UTF-8 is always on; a
// client may say so either way.
void CFtpSession::OnOptsUtf8(std::string_view arg) {
    const bool on = EqualsNoCase(arg, "ON");
    if (!on && !EqualsNoCase(arg, "OFF")) {
        WriteText("501 OPTS UTF8: ON or OFF\r\n", false);
        status_ = "Fail";
        return;
    }
    WriteText(on ? "200 UTF8 set to on\r\n" : "200 UTF8 set to off\r\n", false);
    status_ = "Success";
}

void CFtpSession::OnOpts(std::string_view arg) {
    if (StartsWithNoCase(arg, "HASH") && (arg.size() == 4 || arg[4] == ' ')) {
        OptsHash(arg.size() > 5 ? arg.substr(5) : std::string_view());
        return;
    }
    const MLST::OptsReply reply = files_.mlst.Opts(arg);
    WriteText(reply.text + "\r\n", false);
    status_ = reply.accepted ? "Success" : "Fail";
}

void CFtpSession::OnMlst(std::string_view arg) {
    const CServerSettings& settings = server_.settings();
    files_.mlst.setUploadAllowed(settings.allowPuts && (!account_.anonymous() || settings.allowAnonPuts));
    const std::string argument = arg.empty() ? std::string(".") : std::string(arg);
    std::optional<MlstItem> item;
    std::string disk, shown;
    int rights = 0;
    bool listed = false;
    {
        UserIdentity user(account_.rights());
        if (user.ok() && ResolvePath(argument, disk)) {
            item = MlstItemAt(disk);
            shown = disk;
            if (item && DiskToFtpPath(shown, account_.restrictionRoot(), account_.maps())) {
                const bool folder = item->type != MlstType::File;
                rights = RightsAt(folder ? WithTrailingSlash(disk) : disk);
                // The facts are those a listing of the folder holding the
                // object shows: where MLSD may not list, MLST finds nothing
                // either (as SIZE and MDTM). The root is always there.
                std::string parentDisk;
                listed = WithoutTrailingSlash(shown) == "/" ||
                         (ResolvePath(ParentOf(shown), parentDisk) &&
                          (RightsAt(WithTrailingSlash(parentDisk)) & kRightList) != 0);
            }
        }
    }
    if (!item || !listed) {
        ReplyText(MSG_MLST_BAD_PATH);
        status_ = "Fail";
        return;
    }
    WriteLines(*this, files_.mlst.ReplyLines(argument, *item, rights, shown));
    status_ = "Success";
}

void CFtpSession::OnStat(std::string_view arg) {
    const std::string hostName = LocalHostName();
    const DataState kind = transfer_->dataState();
    const bool listingSent = kind == DataState::SendListing || kind == DataState::SendMachineListing;
    if (files_.dataJob || (listingSent && transfer_->SourceOpen())) {
        // A LIST, NLST or MLSD listing, being built or sent.
        TransferStatusFacts facts;
        facts.hostName = hostName;
        facts.fileName = files_.dataName;
        facts.listing = true;
        WriteLines(*this, TransferStatusLines(facts));
    } else if (transfer_->SourceOpen()) {
        // A file transfer runs: its name, position and length.
        TransferStatusFacts facts;
        facts.hostName = hostName;
        facts.fileName = transfer_->clientName();
        // Where the transfer has got in its file (after a restart marker, in
        // an upload, behind a line-end conversion alike); for a pipe, the
        // bytes moved.
        if (!transfer_->SourcePlace(facts.position, facts.length)) {
            facts.position = transfer_->bytesTransferred();
            facts.length = transfer_->fileSize();
        }
        WriteLines(*this, TransferStatusLines(facts));
    } else if (arg.empty() || transferInProgress()) {
        ServerStatusFacts facts;
        facts.hostName = hostName;
        facts.clientHostName = remoteHost_;
        facts.clientAddress = PeerAddressText();
        facts.userName = userName_;
        facts.binaryType = type_ != kTypeAsciiNonPrint && type_ != kTypeAsciiTelnet && type_ != kTypeAsciiCarriage;
        facts.transferMode = blockMode_ ? 'B' : 'S';
        WriteLines(*this, ServerStatusLines(facts));
    } else {
        StartStatListing(arg);
        Log('C', "STATus reported successfully");
        return;
    }
    Log('C', "STATus reported successfully");
    status_ = "Success";
}

void CFtpSession::StartStatListing(std::string_view arg) {
    const std::string argument(arg);
    std::unique_ptr<SpoolFile> spool = ListingSpool("STAT");
    if (!spool) return;
    Reply(MSG_STAT_LISTING_HEAD, argument.c_str());
    transfer_->ForgetRestartMarker();
    files_.statOpen = true;
    files_.statName = "File Listing \"" + argument + "\"";
    ListingRequest request;
    request.options = ListOptions::Parse(argument, 'l');
    if (HasParentStep(request.options.path)) {
        ReplyText(MSG_STAT_ILLEGAL_PATH);
        files_.statOpen = false;
        files_.statName.clear();
        ReplyText(MSG_STAT_LISTING_END);
        status_ = "Fail";
        return;
    }

    FillListingRequest(*this, request);
    files_.statJob = std::make_unique<ListingJob>(account_.token(), std::move(spool),
                                                  ProducerWork(std::move(request)), PostWhenDone());
    if (!files_.statJob->Start()) {
        files_.statJob.reset();
        files_.statOpen = false;
        files_.statName.clear();
        // No worker, no listing: a failure, never an empty folder.
        ReplyText(MSG_STAT_LISTING_FAILED);
        ReplyText(MSG_STAT_LISTING_END);
        status_ = "Fail";
        return;
    }
    Log('C', "Stat listing started for path/wildcard %s", argument.c_str());
    status_ = "Started";
}

void CFtpSession::PumpStatListing() {
    files_.pumping = true;
    if (!files_.statSpool && files_.statJob && files_.statJob->finished()) {
        files_.statSpool = files_.statJob->TakeSpool();  // null when the listing failed
        if (!files_.statSpool && files_.statJob->outcome() == ListingOutcome::Failed) {
            // Not an empty folder: the client is told, inside the open reply.
            ReplyText(MSG_STAT_LISTING_FAILED);
            Log('!', "STAT listing failed - folder or spool could not be read or written");
        }
        files_.statJob.reset();
    }
    char chunk[kStatChunk];
    while (files_.statSpool) {
        while (files_.statSpool && replyBuf_.size() < kStatBacklog) {
            const ssize_t n = files_.statSpool->Read(chunk, sizeof chunk);
            if (n > 0) {
                writer_.Feed(std::string_view(chunk, static_cast<size_t>(n)), true, replyBuf_);
            } else {
                files_.statSpool.reset();
            }
        }
        SendPending();
        if (!replyBuf_.empty()) break;  // the socket is full: its next write event goes on
    }
    if (!files_.statSpool) {
        files_.statOpen = false;
        files_.statName.clear();
        status_ = "Success";
        files_.pumping = false;
        ReplyText(MSG_STAT_LISTING_END);
        // Commands that came meanwhile are read now.
        if (!CommandsWait()) ResumeCommands();
        return;
    }
    files_.pumping = false;
}

void CFtpSession::CutStatListing() {
    if (files_.statJob) files_.statJob->Stop();
    files_.statJob.reset();
    // Spool text already queued may end inside a line: finish that line.
    char chunk[kStatChunk];
    while (files_.statSpool && writer_.state() != CReplyWriter::kStartState) {
        const ssize_t n = files_.statSpool->Read(chunk, sizeof chunk);
        if (n <= 0) break;
        const std::string_view text(chunk, static_cast<size_t>(n));
        const size_t end = text.find('\n');
        writer_.Feed(text.substr(0, end == std::string_view::npos ? text.size() : end + 1), true, replyBuf_);
    }
    if (writer_.state() != CReplyWriter::kStartState) writer_.Feed("\r\n", true, replyBuf_);
    files_.statSpool.reset();
    files_.statOpen = false;
    files_.pumping = false;
    files_.statName.clear();
    ReplyText(MSG_STAT_LISTING_END);
}

ListingJob::Completion CFtpSession::PostWhenDone() {
    eventloop::EventLoop* loop = &server_.loop();
    CFtpServer* target = &server_;
    const eventloop::Socket s = socket_;
    return [loop, target, s](ListingOutcome) {
        loop->PostEvent(target, eventloop::Message::Command, s, eventloop::FD_WRITE);
    };
}

std::unique_ptr<SpoolFile> CFtpSession::ListingSpool(const char* command) {
    const CServerSettings& settings = server_.settings();
    const std::string address = PeerAddressText();
    ListingQuota::Refusal why = ListingQuota::Refusal::None;
    std::shared_ptr<void> place =
        server_.listingQuota().Take(address, settings.maxListings, settings.maxListingsPerAddress, &why);
    if (!place) {
        if (why == ListingQuota::Refusal::Address) {
            Log('!', "%s refused - %ld listings from %s in progress already", command, settings.maxListingsPerAddress,
                address.c_str());
            ReplyText(MSG_LISTINGS_BUSY_ADDRESS);
        } else {
            Log('!', "%s refused - %ld listings in progress already", command, settings.maxListings);
            ReplyText(MSG_LISTINGS_BUSY);
        }
        status_ = "Fail";
        return nullptr;
    }
    std::unique_ptr<SpoolFile> spool = SpoolFile::Create();
    spool->Keep(std::move(place));
    return spool;
}

// ---- LIST, NLST, MLSD ------------------------------------------------------------------

void CFtpSession::OnList(std::string_view arg) { StartDataListing(arg, "LIST", 'l'); }

void CFtpSession::OnNlst(std::string_view arg) { StartDataListing(arg, "NLST", '1'); }

void CFtpSession::StartDataListing(std::string_view arg, const char* command, char defaultLetter) {
    status_ = "Fail";
    transfer_->ForgetRestartMarker();
    const std::string argument(arg);
    if (files_.dataJob) files_.dataJob->Stop();
    files_.dataJob.reset();
    ListingRequest request;
    request.options = ListOptions::Parse(argument, defaultLetter);
    if (HasParentStep(argument)) {
        ReplyText(MSG_LIST_PARENT_STEP);
        Log('C', "%s failed - bad parameters %.250s", command, argument.c_str());
        return;
    }
    std::unique_ptr<SpoolFile> spool = ListingSpool(command);
    if (!spool) return;
    FillListingRequest(*this, request);
    files_.dataKind = DataState::SendListing;
    files_.dataName = "File Listing \"" + argument + "\"";
    files_.dataJob = std::make_unique<ListingJob>(account_.token(), std::move(spool),
                                                  ProducerWork(std::move(request)), PostWhenDone());
    const bool started = files_.dataJob->Start();
    if (!started) files_.dataJob.reset();
    Log('C', "%s started %ssuccessfully for path/wildcard %s", command, started ? "" : "un", argument.c_str());
    if (!started) {
        // Nothing to send: the transfer side answers for an empty source.
        StartListingTransfer(DataState::SendListing, nullptr);
        return;
    }
    status_ = "Started";
}

void CFtpSession::OnMlsd(std::string_view arg) {
    status_ = "Fail";
    transfer_->ForgetRestartMarker();
    if (files_.dataJob) files_.dataJob->Stop();
    files_.dataJob.reset();
    const std::string argument = arg.empty() ? std::string(".") : std::string(arg);
    std::string folder;
    bool listable = false;
    bool mayList = true;
    {
        UserIdentity user(account_.rights());
        const bool resolved = user.ok() && ResolvePath(argument, folder);
        // Rights first, as for SIZE and MDTM: the answer says nothing about
        // what lies where the user may not list.
        mayList = resolved && (RightsAt(WithTrailingSlash(folder)) & kRightList) != 0;
        listable = mayList && IsDirectory(folder);
    }
    if (!listable) {
        if (mayList) {
            ReplyText(MSG_MLSD_NOT_DIRECTORY);
        } else {
            WriteText("550 You have no rights to list that directory!\r\n", false);
        }
        return;
    }
    std::unique_ptr<SpoolFile> spool = ListingSpool("MLSD");
    if (!spool) return;
    const CServerSettings& settings = server_.settings();
    files_.mlst.setUploadAllowed(settings.allowPuts && (!account_.anonymous() || settings.allowAnonPuts));
    std::shared_ptr<WorkerView> view;
    ReaderSettings reader = WorkerReader(*this, view);
    ListingJob::Work work = [mlst = files_.mlst, reader = std::move(reader), folder,
                             docutech = account_.docutech()](SpoolFile& spool, const std::atomic<bool>& stop) {
        MachineListing listing(mlst, reader, &stop);
        ListingOutput out([&spool](std::string_view text) { return spool.Write(text); }, docutech);
        return listing.Run(folder, out);
    };
    files_.dataKind = DataState::SendMachineListing;
    files_.dataName = "File Listing [MLST] \"" + argument + "\"";
    files_.dataJob = std::make_unique<ListingJob>(account_.token(), std::move(spool), std::move(work),
                                                  PostWhenDone());
    const bool started = files_.dataJob->Start();
    if (!started) files_.dataJob.reset();
    Log('C', "%s started %ssuccessfully for path/wildcard %s", "MLST", started ? "" : "un", argument.c_str());
    if (!started) {
        StartListingTransfer(DataState::SendMachineListing, nullptr);
        return;
    }
    status_ = "Started";
}

void CFtpSession::SendDataListing() {
    std::unique_ptr<SpoolFile> spool = files_.dataJob->TakeSpool();  // null when the listing failed
    const DataState kind = files_.dataKind;
    files_.dataJob.reset();
    StartListingTransfer(kind, std::move(spool));
}

}  // namespace orvyn
