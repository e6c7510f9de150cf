// Saving a key's subtree into a standalone file and restoring a key from one.
// A saved-key file has the schema of the store with "saved-key" as its kind;
// the saved key itself is the file's root.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/registry/KeyNames.h"
#include "platform/registry/KeyTable.h"
#include "platform/registry/ReadCache.h"
#include "platform/registry/Registry.h"
#include "platform/registry/Snapshot.h"
#include "platform/registry/StoreDb.h"

namespace orvyn::reg {

using namespace detail;

namespace {

Status SysError(const std::string& file, const char* what, int err) {
    long code = (err == EACCES || err == EPERM || err == EROFS) ? kAccessDenied : kIoError;
    return {code, file + ": " + what + ": " + std::strerror(err)};
}

// A new file beside the target, removed again unless it was published.
class TempFile {
public:
    TempFile() = default;
    ~TempFile() {
        if (fd_ >= 0) close(fd_);
        if (!path_.empty()) unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    Status Create(const std::string& target) {
        std::string pattern = target + ".XXXXXX";
        fd_ = mkstemp(pattern.data());
        if (fd_ < 0) return SysError(target, "cannot create file", errno);
        path_ = pattern;
        return Status::Ok();
    }

    const std::string& path() const { return path_; }
    int fd() const { return fd_; }

    // Flushes the file and gives it the target's name, atomically: the target
    // is either the old file (or absent) or the complete new one.
    Status Publish(const std::string& target, bool overwrite) {
        if (fsync(fd_) != 0) return SysError(target, "cannot write file", errno);
        if (overwrite) {
            if (rename(path_.c_str(), target.c_str()) != 0) {
                return SysError(target, "cannot write file", errno);
            }
        } else {
            // link() fails when the target appeared meanwhile, where rename()
            // would silently replace it.
            if (link(path_.c_str(), target.c_str()) != 0) {
                int err = errno;
                if (err == EEXIST) return {kInvalidParameter, target + ": file exists"};
                return SysError(target, "cannot write file", err);
            }
            unlink(path_.c_str());
        }
        path_.clear();
        SyncFolder(target);
        return Status::Ok();
    }

private:
    static void SyncFolder(const std::string& target) {
        size_t slash = target.rfind('/');
        std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
        int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
    }

    int fd_ = -1;
    std::string path_;
};

// The folder part of a path, made absolute and free of links; empty when it
// cannot be found.
std::string RealFolder(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    char resolved[PATH_MAX];
    return realpath(folder.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string LastComponent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether file is the store, or one of the files the store's database keeps
// beside it (its write-ahead log, its index, its journal), whether or not
// those exist now: by identity where both exist, by name otherwise.
bool NamesStoreFile(const std::string& store, const std::string& file) {
    static constexpr const char* kCompanions[] = {"", "-wal", "-shm", "-journal"};
    struct stat fileSb {};
    const bool fileExists = stat(file.c_str(), &fileSb) == 0;
    for (const char* suffix : kCompanions) {
        struct stat sb {};
        if (fileExists && stat((store + suffix).c_str(), &sb) == 0 && sb.st_dev == fileSb.st_dev &&
            sb.st_ino == fileSb.st_ino)
            return true;
    }
    const std::string folder = RealFolder(file);
    if (folder.empty() || folder != RealFolder(store)) return false;
    const std::string name = LastComponent(file);
    for (const char* suffix : kCompanions)
        if (name == LastComponent(store) + suffix) return true;
    return false;
}

// A check sum of everything a restore takes from a saved key, in the order
// it reads it: damage the file's structure does not show (the lost end of a
// file reads as zeros, the pages of a long value carry no check of their own)
// changes it.
std::string SnapshotDigest(const Snapshot& snap) {
    uint64_t h = 14695981039346656037ull;  // FNV-1a, 64 bits
    auto add = [&h](const void* data, size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ull;
    };
    auto addNumber = [&add](uint64_t v) { add(&v, sizeof v); };
    auto addText = [&](const std::string& text) {
        addNumber(text.size());
        add(text.data(), text.size());
    };
    addNumber(snap.keys.size());
    for (const Snapshot::Key& k : snap.keys) {
        addNumber(static_cast<uint64_t>(k.id));
        addNumber(static_cast<uint64_t>(k.parent));
        addText(k.name);
    }
    addNumber(snap.values.size());
    for (const Snapshot::Val& v : snap.values) {
        addNumber(static_cast<uint64_t>(v.key));
        addText(v.name);
        addNumber(v.type);
        addNumber(v.data.size());
        add(v.data.data(), v.data.size());
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

Status WriteSavedKeyFile(const std::string& file, const Snapshot& snap) {
    Db db;
    if (Status st = db.Open(file, SQLITE_OPEN_READWRITE); !st) return st;
    // The file is new and thrown away on failure: no rollback journal needed.
    if (Status st = db.Exec("PRAGMA journal_mode=OFF"); !st) return st;
    if (Status st = db.Exec("BEGIN IMMEDIATE"); !st) return st;
    if (Status st = CreateSchema(db, kKindSavedKey); !st) return st;
    if (Status st = WriteSnapshot(db, kRootId, snap); !st) return st;
    // The digest is of the file as a restore will read it.
    Snapshot written;
    if (Status st = ReadSnapshot(db, kRootId, true, kCorrupt, written); !st) return st;
    Stmt digest(db, "INSERT OR REPLACE INTO meta(name, value) VALUES('digest', ?1)");
    digest.BindText(1, SnapshotDigest(written));
    if (Status st = digest.Run(); !st) return st;
    return db.Exec("COMMIT");
}

// The length the file's header gives the database, when the header can be
// trusted for it (SQLite's own rule: the change counter at 24 equals the
// number at 92); 0 otherwise.
uint64_t HeaderLength(int fd) {
    unsigned char h[100];
    if (pread(fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) return 0;
    auto be32 = [&h](size_t at) {
        return (uint32_t{h[at]} << 24) | (uint32_t{h[at + 1]} << 16) | (uint32_t{h[at + 2]} << 8) | h[at + 3];
    };
    const uint32_t pageSize = h[16] == 0 && h[17] == 1 ? 65536u : (uint32_t{h[16]} << 8 | h[17]);
    if (be32(24) != be32(92)) return 0;
    return uint64_t{pageSize} * be32(28);
}

// Whether the header says the database keeps a rollback journal, as every
// saved key does. One that says write-ahead log would have SQLite make and
// write its log and index files beside it even when only read, through
// whatever is at those names.
bool RollbackJournalHeader(int fd) {
    unsigned char versions[2];
    return pread(fd, versions, sizeof versions, 18) == static_cast<ssize_t>(sizeof versions) && versions[0] == 1 &&
           versions[1] == 1;
}

// What a saved key may be written over: nothing, a file, or a name that is a
// link (the link is replaced, not what it leads to); never a device, a FIFO
// or a folder, which the rename would put a file in place of.
bool MayWriteOver(const std::string& file) {
    struct stat sb {};
    return lstat(file.c_str(), &sb) != 0 || S_ISREG(sb.st_mode) || S_ISLNK(sb.st_mode);
}

}  // namespace

Status Store::SaveKey(std::string_view key, const std::string& file, bool overwrite) const {
    std::vector<std::string> names;
    if (Status st = ParseKeyPath(key, names); !st) return st;
    if (file.empty()) return {kInvalidParameter, "no file name given"};

    Snapshot snap;
    {
        StoreTxn txn(pool_.get());
        if (Status st = txn.Begin(path_, StoreTxn::Mode::kRead); !st) return st;
        if (txn.empty()) {
            if (!names.empty()) return KeyNotFound(names);
        } else {
            int64_t id = 0;
            if (Status st = FindKey(txn.db(), names, id); !st) return st;
            if (Status st = ReadSnapshot(txn.db(), id, false, kCorrupt, snap); !st) return st;
        }
    }

    struct stat sb {};
    if (stat(file.c_str(), &sb) == 0 && !overwrite) return {kInvalidParameter, file + ": file exists"};
    // Replacing the store, its log or its index (or a name for one of them)
    // with a saved key would lose the whole configuration.
    if (NamesStoreFile(path_, file)) return {kInvalidParameter, file + ": is the configuration store itself"};
    if (!MayWriteOver(file)) return {kInvalidParameter, file + ": not a regular file"};
    TempFile temp;
    if (Status st = temp.Create(file); !st) return st;
    if (Status st = WriteSavedKeyFile(temp.path(), snap); !st) return st;
    return temp.Publish(file, overwrite);
}

Status WriteSavedKeyBytes(const std::string& store, const std::string& file, std::string_view bytes,
                          bool overwrite) {
    if (file.empty()) return {kInvalidParameter, "no file name given"};
    struct stat sb {};
    if (lstat(file.c_str(), &sb) == 0 && !overwrite) return {kInvalidParameter, file + ": file exists"};
    if (NamesStoreFile(store, file)) return {kInvalidParameter, file + ": is the configuration store itself"};
    if (!MayWriteOver(file)) return {kInvalidParameter, file + ": not a regular file"};
    TempFile temp;
    if (Status st = temp.Create(file); !st) return st;
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(temp.fd(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return SysError(file, "cannot write file", n < 0 ? errno : EIO);
        done += static_cast<size_t>(n);
    }
    return temp.Publish(file, overwrite);
}

namespace {

// Reads a saved-key file completely, refusing anything that is not one.
Status LoadSavedKeyFile(const std::string& file, Snapshot& snap) {
    struct stat sb {};
    if (stat(file.c_str(), &sb) != 0) {
        int err = errno;
        if (err == ENOENT) return {kNotFound, file + ": no such file"};
        return SysError(file, "cannot open", err);
    }
    if (!S_ISREG(sb.st_mode)) return {kInvalidParameter, file + ": not a saved key (not a regular file)"};
    {
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) return SysError(file, "cannot open", errno);
        const uint64_t length = HeaderLength(fd);
        const bool rollback = RollbackJournalHeader(fd);
        close(fd);
        if (length > static_cast<uint64_t>(sb.st_size)) {
            return {kInvalidParameter, file + ": damaged saved key (its end is missing)"};
        }
        if (!rollback) return {kInvalidParameter, file + ": not a saved key (not a rollback-journal database)"};
    }

    Db db;
    if (Status st = db.Open(file, SQLITE_OPEN_READONLY); !st) return st;
    auto notSavedKey = [&](const Status& st) -> Status {
        if (st.code == kAccessDenied) return st;
        // Keep the reason, without the file name the message starts with.
        std::string reason = st.message;
        if (reason.rfind(file + ": ", 0) == 0) reason.erase(0, file.size() + 2);
        return {kInvalidParameter, file + ": not a saved key (" + reason + ")"};
    };
    if (Status st = db.Exec("BEGIN"); !st) return notSavedKey(st);
    FileKind kind = FileKind::kEmpty;
    if (Status st = ReadFileKind(db, kKindSavedKey, kind); !st) return notSavedKey(st);
    if (kind == FileKind::kNewer) return {kInvalidParameter, file + ": saved key of a newer version"};
    if (kind != FileKind::kMatches) return {kInvalidParameter, file + ": not a saved key"};
    // Only stored tables are read: a view or a virtual table in their place
    // could compute rows without end.
    {
        Stmt other(db,
                   "SELECT count(*) FROM sqlite_schema WHERE type NOT IN ('table', 'index')"
                   " OR (type = 'table' AND sql LIKE 'CREATE VIRTUAL%')");
        bool row = false;
        if (Status st = other.Step(&row); !st) return notSavedKey(st);
        if (other.Int(0) != 0) return {kInvalidParameter, file + ": not a saved key"};
    }
    if (Status st = ReadSnapshot(db, kRootId, true, kInvalidParameter, snap); !st) {
        return st.code == kInvalidParameter ? st : notSavedKey(st);
    }
    // Files saved before the digest was written have none.
    Stmt digest(db, "SELECT value FROM meta WHERE name = 'digest'");
    bool row = false;
    if (Status st = digest.Step(&row); !st) return notSavedKey(st);
    if (row && digest.Text(0) != SnapshotDigest(snap)) {
        return {kInvalidParameter, file + ": damaged saved key (its content does not match its check sum)"};
    }
    return Status::Ok();
}

}  // namespace

Status Store::RestoreKey(std::string_view key, const std::string& file) {
    const detail::ForgetAnswers forget(*cache_);
    std::vector<std::string> names;
    if (Status st = ParseKeyPath(key, names); !st) return st;
    // The root holds every key: replacing it would throw the configuration away.
    if (names.empty()) return {kInvalidParameter, "the root key cannot be replaced"};
    if (file.empty()) return {kInvalidParameter, "no file name given"};

    // The whole file is read and checked before the store is touched.
    Snapshot snap;
    if (Status st = LoadSavedKeyFile(file, snap); !st) return st;
    if (names.size() + snap.levels > kMaxKeyDepth) {
        return {kInvalidParameter, file + ": its keys would lie deeper than " + std::to_string(kMaxKeyDepth) +
                                       " levels under " + std::string(key)};
    }

    StoreTxn txn(pool_.get());
    if (Status st = txn.Begin(path_, StoreTxn::Mode::kWriteCreate); !st) return st;
    int64_t id = 0;
    if (Status st = MakeKey(txn.db(), names, id); !st) return st;
    if (Status st = DeleteBelow(txn.db(), id); !st) return st;
    if (Status st = WriteSnapshot(txn.db(), id, snap); !st) return st;
    return txn.Commit();
}

}  // namespace orvyn::reg
