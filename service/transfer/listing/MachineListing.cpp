#include "service/transfer/listing/MachineListing.h"

#include "service/transfer/listing/ListingPaths.h"

namespace orvyn {

namespace lp = listing_paths;

bool MachineLineWriter::WriteLine(MlstType type, const ListEntry& entry, const std::string& name) {
    MlstItem item;
    item.type = type;
    item.size = entry.size;
    item.modified = entry.writeTime;
    std::string& buffer = out_.buffer();
    mlst_.AppendFacts(buffer, item, entry.rights);
    buffer.push_back(' ');
    buffer.append(name);
    buffer.append("\r\n");
    return out_.Commit();
}

bool MachineLineWriter::Add(const ListEntry& entry) {
    if (entry.name == ".") {
        sawCurrent_ = true;
        return WriteLine(MlstType::Cdir, entry, folderClient_);
    }
    if (entry.name == "..") {
        return parentClient_ ? WriteLine(MlstType::Pdir, entry, *parentClient_) : out_.ok();
    }
    return WriteLine(entry.IsDirectory() ? MlstType::Dir : MlstType::File, entry, entry.name);
}

ListingOutcome MachineListing::Run(const std::string& folder, ListingOutput& out) {
    const auto& clientPathOf = reader_.settings().clientPathOf;
    const std::string disk = lp::Trimmed(folder);
    std::optional<std::string> folderClient = clientPathOf ? clientPathOf(disk) : std::nullopt;
    std::optional<std::string> parentClient;
    if (disk != "/" && clientPathOf) parentClient = clientPathOf(lp::Parent(disk));
    if (parentClient && parentClient->empty()) parentClient.reset();

    // The folder was resolved from what the client named, so it is visible;
    // should that ever fail, "." is shown rather than a disk path.
    MachineLineWriter writer(mlst_, folderClient && !folderClient->empty() ? *folderClient : std::string("."),
                             parentClient, out);
    ReadRequest request;
    request.machine = true;
    const auto status = reader_.Read(disk, request, [&](ListEntry&& entry) { return writer.Add(entry); });
    if (!out.ok()) return ListingOutcome::Failed;
    switch (status) {
    case DirectoryReader::Status::Done:
        break;
    case DirectoryReader::Status::Stopped:
        return reader_.stopRequested() ? ListingOutcome::Stopped : ListingOutcome::Failed;
    case DirectoryReader::Status::Unreadable:
    case DirectoryReader::Status::Failed:
        return ListingOutcome::Failed;
    }
    if (!writer.sawCurrent()) {
        // Shown under the name ".", which makes it the cdir line.
        const auto self = reader_.ReadOne(disk, ".");
        if (self && !writer.Add(*self)) return ListingOutcome::Failed;
    }
    return out.Commit(true) ? ListingOutcome::Completed : ListingOutcome::Failed;
}

}  // namespace orvyn
