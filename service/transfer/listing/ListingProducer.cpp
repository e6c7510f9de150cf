#include "service/transfer/listing/ListingProducer.h"

#include <sys/stat.h>

#include <algorithm>

#include "service/transfer/listing/EntryOrder.h"
#include "service/transfer/listing/ListingPaths.h"
#include "service/transfer/listing/SortedRuns.h"
#include "service/transfer/listing/Wildcard.h"

namespace orvyn {

namespace lp = listing_paths;
using namespace listing_rights;

namespace {

std::time_t NowOr(std::time_t now) { return now != 0 ? now : std::time(nullptr); }

// Room for a folder's entries, guessed from the folder's size on disk, so
// gathering a large folder does not move every entry again each time the
// vector grows. A generous guess costs address space only: room that is
// never filled is never touched.
std::size_t EntryCountHint(off_t folderSize) {
    constexpr std::size_t kBytesPerEntry = 24;
    constexpr std::size_t kMostEntries = std::size_t{1} << 20;
    if (folderSize <= 0) return 0;
    return std::min(static_cast<std::size_t>(folderSize) / kBytesPerEntry, kMostEntries);
}

}  // namespace

ListingProducer::ListingProducer(ListingRequest request, const std::atomic<bool>* stop)
    : request_(std::move(request)),
      reader_(request_.reader, stop),
      formatter_(request_.options, NowOr(request_.now)) {}

ListingOutcome ListingProducer::Run(ListingOutput& out) {
    work_.clear();
    sections_ = 0;
    work_.push_back(WorkItem{request_.options.path.empty() ? std::string(".") : request_.options.path, 0, nullptr});
    while (!work_.empty()) {
        if (Stopping()) return ListingOutcome::Stopped;
        const WorkItem item = std::move(work_.front());
        work_.pop_front();
        const Step step = Take(item, out);
        if (step == Step::Stop) return ListingOutcome::Stopped;
        if (step == Step::Fail || !out.ok()) return ListingOutcome::Failed;
    }
    return out.Commit(true) ? ListingOutcome::Completed : ListingOutcome::Failed;
}

ListingProducer::Step ListingProducer::Take(const WorkItem& item, ListingOutput& out) {
    // The first component past the literal part that holds a wildcard.
    const std::string& path = item.path;
    std::size_t begin = 0;
    while (begin < path.size()) {
        while (begin < path.size() && lp::IsSeparator(path[begin])) ++begin;
        std::size_t end = begin;
        while (end < path.size() && !lp::IsSeparator(path[end])) ++end;
        if (end > begin && begin >= item.literal && HasWildcard(std::string_view(path).substr(begin, end - begin))) {
            return Expand(item, begin, end, out);
        }
        begin = end;
    }

    const auto disk = request_.resolve ? request_.resolve(path) : std::nullopt;
    if (!disk || disk->empty()) return Step::Go;
    struct stat st;
    if (stat(disk->c_str(), &st) != 0) {
        // A link that leads nowhere is still an entry of its own.
        return lstat(disk->c_str(), &st) == 0 ? ListSingle(path, *disk, out) : Step::Go;
    }
    if (S_ISDIR(st.st_mode) && !request_.options.directoryAsEntry) return ListFolder(item, *disk, out);
    return ListSingle(path, *disk, out);
}

ListingProducer::Step ListingProducer::Expand(const WorkItem& item, std::size_t begin, std::size_t end,
                                              ListingOutput& out) {
    const std::string& path = item.path;
    const std::string prefix = path.substr(0, begin);
    const std::string pattern = path.substr(begin, end - begin);
    const std::string rest = path.substr(end);
    const bool restNamesMore = rest.find_first_not_of("/\\") != std::string::npos;

    std::string parentClient = prefix;
    while (!parentClient.empty() && lp::IsSeparator(parentClient.back())) parentClient.pop_back();
    if (parentClient.empty()) parentClient = prefix.empty() ? std::string(".") : prefix.substr(0, 1);

    const auto disk = request_.resolve ? request_.resolve(parentClient) : std::nullopt;
    if (!disk || disk->empty()) return Step::Go;
    if (!(reader_.RightsOf(*disk, true) & kList)) return Step::Go;

    ReadRequest read;
    read.pattern = pattern;
    read.requireList = true;
    const ListOptions& options = request_.options;
    // Without more path to follow, matching files (and folders with d) form
    // one block without header or total and matching folders are listed
    // after it; with more path, the matching folders are gone into.
    const auto inBlock = [&](const ListEntry& entry) {
        return !restNamesMore && !(entry.IsDirectory() && !options.directoryAsEntry);
    };
    ListContext block;
    std::vector<WorkItem> next;
    const Step step = ForEachSorted(
        *disk, read, 0,
        [&](const ListEntry& entry) {
            if (inBlock(entry)) block.Add(entry);
        },
        [] { return true; },
        [&](ListEntry&& entry) {
            if (!inBlock(entry)) {
                if (entry.IsDirectory()) {
                    const std::string& name = entry.NameOnDisk();
                    next.push_back(WorkItem{prefix + name + (restNamesMore ? rest : std::string()),
                                            prefix.size() + name.size(), nullptr});
                }
                return true;
            }
            if (Stopping()) return false;
            formatter_.AppendLine(out.buffer(), entry, block);
            return out.Commit();
        });
    if (step != Step::Go) return step;
    if (block.count() > 0) {
        if (!out.Commit()) return Step::Fail;
        ++sections_;
    }
    work_.insert(work_.begin(), std::make_move_iterator(next.begin()), std::make_move_iterator(next.end()));
    return Step::Go;
}

ListingProducer::Step ListingProducer::ListFolder(const WorkItem& item, const std::string& disk, ListingOutput& out) {
    // Without the L right a folder contributes nothing, not even its header.
    if (!(reader_.RightsOf(disk, true) & kList)) return Step::Go;
    struct stat st;
    if (stat(disk.c_str(), &st) != 0) return Step::Go;
    // A folder that recursion reaches again below itself (a symbolic link
    // leading back up the tree) would never end: it is not entered.
    for (const Ancestor* a = item.ancestors.get(); a != nullptr; a = a->up.get()) {
        if (a->device == st.st_dev && a->inode == st.st_ino) return Step::Go;
    }

    // Once anything has been written, a folder is introduced by a blank line
    // and its path, so its entries are never taken for the ones above.
    if (sections_ > 0) {
        std::string& buffer = out.buffer();
        buffer.append("\r\n");
        buffer.append(item.path);
        buffer.append(":\r\n");
        if (!out.Commit()) return Step::Fail;
    }
    ++sections_;

    std::vector<std::string> subfolders;
    const ListOptions& options = request_.options;
    const Step step = options.sortOrder() == SortOrder::Unsorted && !options.reverse
                          ? StreamFolder(disk, subfolders, out)
                          : SortedFolder(disk, st.st_size, subfolders, out);
    if (step != Step::Go) return step;

    std::vector<WorkItem> next;
    next.reserve(subfolders.size());
    const auto self = subfolders.empty() ? nullptr
                                         : std::make_shared<const Ancestor>(Ancestor{st.st_dev, st.st_ino, item.ancestors});
    for (const std::string& name : subfolders) {
        std::string child = lp::JoinClient(item.path, name);
        const std::size_t literal = child.size();
        next.push_back(WorkItem{std::move(child), literal, self});
    }
    work_.insert(work_.begin(), std::make_move_iterator(next.begin()), std::make_move_iterator(next.end()));
    return Step::Go;
}

ListingProducer::Step ListingProducer::StreamFolder(const std::string& disk, std::vector<std::string>& subfolders,
                                                    ListingOutput& out) {
    // File-system order: nothing is held. When a total or column widths are
    // needed, a first pass over the folder gathers them.
    const ListOptions& options = request_.options;
    ListContext context;
    if (options.needsTotals()) {
        ReadRequest sizes;
        sizes.sizesOnly = true;
        const auto status = reader_.Read(disk, sizes, [&](ListEntry&& entry) {
            context.Add(entry);
            return true;
        });
        if (status != DirectoryReader::Status::Done) return FromStatus(status);
        if (context.count() > 0) {
            formatter_.AppendTotal(out.buffer(), context);
            if (!out.Commit()) return Step::Fail;
        }
    }
    ReadRequest read;
    read.namesOnly = options.namesOnly();
    const auto status = reader_.Read(disk, read, [&](ListEntry&& entry) {
        formatter_.AppendLine(out.buffer(), entry, context);
        if (options.recursive && entry.IsDirectory()) subfolders.push_back(entry.NameOnDisk());
        return out.Commit();
    });
    if (!out.ok()) return Step::Fail;
    return status == DirectoryReader::Status::Done ? Step::Go : FromStatus(status);
}

ListingProducer::Step ListingProducer::SortedFolder(const std::string& disk, off_t folderSize,
                                                    std::vector<std::string>& subfolders, ListingOutput& out) {
    const ListOptions& options = request_.options;
    ReadRequest read;
    read.namesOnly = options.namesOnly();
    ListContext context;
    const Step step = ForEachSorted(
        disk, read, folderSize, [&](const ListEntry& entry) { context.Add(entry); },
        [&] {
            if (options.needsTotals() && context.count() > 0) formatter_.AppendTotal(out.buffer(), context);
            return true;
        },
        [&](ListEntry&& entry) {
            if (Stopping()) return false;
            formatter_.AppendLine(out.buffer(), entry, context);
            if (options.recursive && entry.IsDirectory()) subfolders.push_back(entry.NameOnDisk());
            return out.Commit();
        });
    if (step != Step::Go) return step;
    return out.Commit() ? Step::Go : Step::Fail;
}

ListingProducer::Step ListingProducer::ForEachSorted(const std::string& disk, const ReadRequest& read,
                                                     off_t folderSize,
                                                     const std::function<void(const ListEntry&)>& seen,
                                                     const std::function<bool()>& ready,
                                                     const std::function<bool(ListEntry&&)>& each) {
    const ListOptions& options = request_.options;
    const SortOrder order = options.sortOrder();
    std::vector<ListEntry> entries;
    entries.reserve(std::min(EntryCountHint(folderSize), SortedRuns::kRunEntries));
    std::unique_ptr<SortedRuns> runs;
    bool triedRuns = false;
    bool spillFailed = false;
    const auto status = reader_.Read(disk, read, [&](ListEntry&& entry) {
        seen(entry);
        entries.push_back(std::move(entry));
        if (entries.size() < SortedRuns::kRunEntries) return true;
        if (!runs && !triedRuns) {
            triedRuns = true;
            runs = SortedRuns::Create();
        }
        // Without a file for the runs the folder is sorted in memory.
        if (!runs) return true;
        SortEntries(entries, order, options.reverse);
        if (!runs->Add(entries)) {
            spillFailed = true;
            return false;
        }
        entries.clear();
        return true;
    });
    if (spillFailed) return Step::Fail;
    if (status != DirectoryReader::Status::Done) return FromStatus(status);
    SortEntries(entries, order, options.reverse);
    if (runs && runs->runs() > 0) {
        if (!entries.empty() && !runs->Add(entries)) return Step::Fail;
        entries = std::vector<ListEntry>();
    }
    if (!ready()) return Step::Fail;

    if (!runs || runs->runs() == 0) {
        for (ListEntry& entry : entries) {
            if (!each(std::move(entry))) return Stopping() ? Step::Stop : Step::Fail;
        }
        return Step::Go;
    }
    const ReaderSettings& settings = reader_.settings();
    switch (runs->Merge(order, options.reverse, settings.owner, settings.group, each)) {
    case SortedRuns::MergeResult::Done:
        return Step::Go;
    case SortedRuns::MergeResult::Stopped:
        return Stopping() ? Step::Stop : Step::Fail;
    case SortedRuns::MergeResult::Failed:
        return Step::Fail;
    }
    return Step::Fail;
}

ListingProducer::Step ListingProducer::ListSingle(const std::string& clientPath, const std::string& disk,
                                                  ListingOutput& out) {
    // The L right is needed on the folder the entry is shown in. That is the
    // folder of the path as the client wrote it: a virtual directory's own
    // place on disk may lie anywhere, even outside the user's root.
    std::string folder = clientPath;
    while (!folder.empty() && lp::IsSeparator(folder.back())) folder.pop_back();
    std::size_t cut = folder.size();
    while (cut > 0 && !lp::IsSeparator(folder[cut - 1])) --cut;
    folder = cut == 0 ? (clientPath.empty() || !lp::IsSeparator(clientPath[0]) ? std::string(".") : clientPath.substr(0, 1))
                      : folder.substr(0, cut);
    const auto folderDisk = request_.resolve ? request_.resolve(folder) : std::nullopt;
    const std::string parent = folderDisk && !folderDisk->empty() ? *folderDisk : lp::Parent(disk);
    if (!(reader_.RightsOf(parent, true) & kList)) return Step::Go;
    auto entry = reader_.ReadOne(disk, lp::ClientLastComponent(clientPath));
    if (!entry) return Step::Go;
    std::vector<ListEntry> one;
    one.push_back(std::move(*entry));
    const Step step = WriteEntries(one, false, out);
    if (step == Step::Go) ++sections_;
    return step;
}

ListingProducer::Step ListingProducer::WriteEntries(const std::vector<ListEntry>& entries, bool withTotal,
                                                    ListingOutput& out) {
    ListContext context;
    for (const ListEntry& entry : entries) context.Add(entry);
    if (withTotal && request_.options.needsTotals() && context.count() > 0) {
        formatter_.AppendTotal(out.buffer(), context);
    }
    for (const ListEntry& entry : entries) {
        if (Stopping()) return Step::Stop;
        formatter_.AppendLine(out.buffer(), entry, context);
        if (!out.Commit()) return Step::Fail;
    }
    return out.Commit() ? Step::Go : Step::Fail;
}

ListingProducer::Step ListingProducer::FromStatus(DirectoryReader::Status status) const {
    switch (status) {
    case DirectoryReader::Status::Done:
    case DirectoryReader::Status::Unreadable:  // nothing to list here
        return Step::Go;
    case DirectoryReader::Status::Stopped:
        return Stopping() ? Step::Stop : Step::Fail;
    case DirectoryReader::Status::Failed:
        return Step::Fail;
    }
    return Step::Fail;
}

}  // namespace orvyn
