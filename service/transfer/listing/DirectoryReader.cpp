#include "service/transfer/listing/DirectoryReader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>

#include "service/transfer/listing/ListingPaths.h"
#include "service/transfer/listing/Wildcard.h"

namespace orvyn {

namespace lp = listing_paths;
using namespace listing_rights;

namespace {

bool EndsWithIgnoringCase(std::string_view text, std::string_view tail) {
    if (tail.empty() || text.size() < tail.size()) return false;
    const std::string_view end = text.substr(text.size() - tail.size());
    for (std::size_t i = 0; i < tail.size(); ++i) {
        char a = end[i], b = tail[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b + 32);
        if (a != b) return false;
    }
    return true;
}

void FillFromStat(ListEntry& entry, const struct stat& st) {
    entry.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    entry.writeTime = st.st_mtime;
    entry.accessTime = st.st_atime;
    entry.nlink = static_cast<std::uint64_t>(st.st_nlink);
}

// Control characters (CR and LF among them) would break the line a name is
// shown in, and no client can name such an entry on this server anyway.
bool HasControlChars(std::string_view text) {
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) return true;
    }
    return false;
}

bool ReadOnly(const struct stat& st) { return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

bool IsShortcutFileName(std::string_view name) { return EndsWithIgnoringCase(name, ".lnk"); }

std::optional<std::string> ShortcutLinkTarget(const std::string& linkPath) {
    char buffer[PATH_MAX];
    const ssize_t n = readlink(linkPath.c_str(), buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return std::nullopt;
    const std::string target = lp::Normalise(lp::Parent(linkPath), std::string_view(buffer, static_cast<std::size_t>(n)));
    struct stat st;
    if (stat(target.c_str(), &st) != 0) return std::nullopt;
    return target;
}

DirectoryReader::DirectoryReader(ReaderSettings settings, const std::atomic<bool>* stop)
    : settings_(std::move(settings)), stop_(stop) {
    for (VirtualDirectory& dir : settings_.virtualDirs) {
        dir.place = lp::Trimmed(dir.place);
        dir.target = lp::Trimmed(dir.target);
    }
}

int DirectoryReader::RightsOf(const std::string& path, bool folder) const {
    if (!settings_.rightsOf) return kRead | kCreate | kOverwrite | kList;
    return settings_.rightsOf(folder ? lp::AsFolder(path) : path);
}

std::string DirectoryReader::PlaceOf(const std::string& folder) const {
    std::string path = lp::Trimmed(folder);
    // Each step replaces the longest covering target by its place; entries
    // that map onto each other in a cycle stop after one round of them all.
    for (std::size_t round = 0; round < settings_.virtualDirs.size(); ++round) {
        const VirtualDirectory* best = nullptr;
        for (const VirtualDirectory& dir : settings_.virtualDirs) {
            const std::string& t = dir.target;
            const bool covers =
                path == t || (path.size() > t.size() && path.compare(0, t.size(), t) == 0 &&
                              (t == "/" || path[t.size()] == '/'));
            if (covers && (best == nullptr || t.size() > best->target.size())) best = &dir;
        }
        if (best == nullptr) break;
        std::string rest = path.substr(best->target == "/" ? 1 : best->target.size());
        if (best->target == "/" && !rest.empty()) rest.insert(rest.begin(), '/');
        path = lp::Trimmed(best->place + rest);
    }
    return path;
}

std::optional<ListEntry> DirectoryReader::Build(int dirFd, const char* statName, const std::string& path,
                                                const std::string& diskName, std::string_view shownBase,
                                                Style style, bool requireList) const {
    struct stat st;
    if (fstatat(dirFd, statName, &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;  // gone meanwhile

    ListEntry entry;
    bool shortcut = false;
    const bool link = S_ISLNK(st.st_mode);
    if (link) {
        if (style != Style::Machine && IsShortcutFileName(diskName)) {
            // A shortcut shows its own data; only its target's path is taken.
            if (style == Style::Listing && settings_.clientPathOf) {
                if (const auto target = ShortcutLinkTarget(path)) {
                    const auto client = settings_.clientPathOf(*target);
                    if (client && !client->empty() && !HasControlChars(*client)) {
                        entry.linkTarget = *client;
                        shortcut = true;
                    }
                }
            }
        } else if (!settings_.linkLeadsInside || settings_.linkLeadsInside(path)) {
            struct stat followed;
            if (stat(path.c_str(), &followed) == 0) st = followed;
        }
    }
    const bool folder = !shortcut && S_ISDIR(st.st_mode);
    entry.kind = shortcut ? EntryKind::Link : (folder ? EntryKind::Directory : EntryKind::File);
    FillFromStat(entry, st);
    entry.owner = settings_.owner;
    entry.group = settings_.group;

    if (style != Style::Sizes) {
        if (settings_.examinedRightsOf && !link) {
            entry.rights = settings_.examinedRightsOf(folder ? lp::AsFolder(path) : path, st);
        } else {
            entry.rights = RightsOf(path, folder);
        }
        if (requireList && !(entry.rights & kList)) return std::nullopt;
        entry.mode = folder ? DirectoryMode(entry.rights, ReadOnly(st)) : FileMode(entry.rights, ReadOnly(st));
    }
    entry.name = style != Style::Machine ? ShownName(shownBase, shortcut) : std::string(shownBase);
    if (entry.name != diskName) entry.diskName = diskName;
    return entry;
}

std::string DirectoryReader::ShownName(std::string_view base, bool shortcut) const {
    std::string shown(base);
    if (shortcut && shown.size() > 4 && IsShortcutFileName(shown)) shown.resize(shown.size() - 4);
    const std::string& suffix = settings_.nameSuffix;
    // Exactly as the suffix is added to the names clients give: a name shown
    // without it must lead back to the file.
    if (!suffix.empty() && shown.size() > suffix.size() && shown.ends_with(suffix)) {
        shown.resize(shown.size() - suffix.size());
    }
    return shown;
}

DirectoryReader::Status DirectoryReader::Read(const std::string& folder, const ReadRequest& request,
                                              const Sink& sink) const {
    const Style style = request.machine ? Style::Machine : (request.sizesOnly ? Style::Sizes : Style::Listing);
    // A folder the account may not read lists as empty; a process out of
    // descriptors or memory has not listed it at all.
    auto cannotOpen = [] {
        return (errno == EMFILE || errno == ENFILE || errno == ENOMEM) ? Status::Failed : Status::Unreadable;
    };
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return cannotOpen();
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd));
    if (!dir) {
        const Status status = cannotOpen();
        close(fd);
        return status;
    }
    const int dirFd = dirfd(dir.get());
    for (;;) {
        if (stopRequested()) return Status::Stopped;
        errno = 0;
        const dirent* item = readdir(dir.get());
        if (item == nullptr) {
            if (errno != 0) return Status::Failed;
            break;
        }
        const std::string_view name(item->d_name);
        const bool dots = name == "." || name == "..";
        if (dots ? !request.machine : (Hidden(name) || HasControlChars(name))) continue;
        if (!request.pattern.empty() && !NameWildcardMatch(request.pattern, name)) continue;
        if (request.namesOnly && !dots && !request.requireList && !IsShortcutFileName(name) &&
            item->d_type != DT_UNKNOWN && item->d_type != DT_LNK) {
            // The folder's record tells the kind; nothing else is shown.
            ListEntry entry;
            entry.kind = item->d_type == DT_DIR ? EntryKind::Directory : EntryKind::File;
            entry.name = ShownName(name, false);
            if (entry.name != name) entry.diskName = name;
            if (!sink(std::move(entry))) return Status::Stopped;
            continue;
        }
        // "." and ".." stand for the folder and its parent: their rights are
        // asked for under those paths, and those paths are examined
        // themselves (either may be a link to where the rights are).
        const std::string diskName(name);
        const std::string path =
            !dots ? lp::Join(folder, diskName) : (name == "." ? lp::Trimmed(folder) : lp::Parent(folder));
        auto entry = dots ? Build(AT_FDCWD, path.c_str(), path, diskName, diskName, style, request.requireList)
                          : Build(dirFd, diskName.c_str(), path, diskName, diskName, style, request.requireList);
        if (!entry) continue;
        if (!sink(std::move(*entry))) return Status::Stopped;
    }
    return ReadVirtual(folder, request, style, sink);
}

DirectoryReader::Status DirectoryReader::ReadVirtual(const std::string& folder, const ReadRequest& request,
                                                     Style style, const Sink& sink) const {
    if (settings_.virtualDirs.empty()) return Status::Done;
    const std::string real = lp::Trimmed(folder);
    const std::string shownAt = PlaceOf(folder);
    for (const VirtualDirectory& dir : settings_.virtualDirs) {
        if (stopRequested()) return Status::Stopped;
        const std::string parent = lp::Parent(dir.place);
        if (parent != real && parent != shownAt) continue;
        const std::string name = lp::LastComponent(dir.place);
        if (name.empty() || Hidden(name) || HasControlChars(name)) continue;
        if (!request.pattern.empty() && !NameWildcardMatch(request.pattern, name)) continue;
        struct stat st;
        // Something real at the place hides the virtual directory, as it
        // does when paths are resolved; a missing target shows nothing.
        if (lstat(lp::Join(real, name).c_str(), &st) == 0 || lstat(dir.place.c_str(), &st) == 0) continue;
        if (stat(dir.target.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        ListEntry entry;
        entry.kind = EntryKind::VirtualDirectory;
        entry.name = name;
        FillFromStat(entry, st);
        entry.owner = settings_.owner;
        entry.group = settings_.group;
        if (style != Style::Sizes) {
            entry.rights = RightsOf(dir.place, true);
            if (request.requireList && !(entry.rights & kList)) continue;
            entry.mode = VirtualDirectoryMode(entry.rights, ReadOnly(st));
        }
        if (!sink(std::move(entry))) return Status::Stopped;
    }
    return Status::Done;
}

std::optional<ListEntry> DirectoryReader::ReadOne(const std::string& path, std::string_view shownName) const {
    const std::string diskName = lp::LastComponent(path);
    return Build(AT_FDCWD, path.c_str(), path, diskName.empty() ? std::string("/") : diskName, shownName,
                 Style::Listing, false);
}

}  // namespace orvyn
