// The SQLite side of the configuration store: a connection, a statement, the
// schema shared by store files and saved-key files, and the transaction every
// store operation runs in.
//
// Schema (one file, three tables):
//   meta(name, value)   "kind" is "store" or "saved-key", "schema" is "1"
//   keys(id, parent, name, folded)           parent 0 is the root
//   vals(seq, key_id, name, folded, type, data)
// "folded" is the comparison form of "name"; a name is unique among its
// siblings by that form. "seq" orders the values of a key by creation and is
// kept when a value is replaced. The root key has no row of its own (id 0).
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <unordered_map>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/Registry.h"

namespace orvyn::reg::detail {

inline constexpr int64_t kRootId = 0;
inline constexpr const char* kKindStore = "store";
inline constexpr const char* kKindSavedKey = "saved-key";
inline constexpr int kSchemaVersion = 1;
inline constexpr int kBusyTimeoutMs = kFullWriteWaitMs;

// Maps an SQLite result code onto a store status; the message names the file.
Status SqlStatus(int rc, sqlite3* db, const std::string& file, std::string_view what);

// Prepared statements of one connection kept for reuse: preparing is most of
// the cost of the small queries a store call makes. A statement in use is
// taken out of the cache, so nested uses of the same text each get their own.
class StatementCache {
public:
    StatementCache() = default;
    ~StatementCache() { Clear(); }
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;

    // A kept statement for sql, now owned by the caller; null when none is kept.
    sqlite3_stmt* Take(const char* sql);
    // Keeps a statement (reset, bindings cleared) or finalizes it when one
    // for the same text is kept already or the cache is full.
    void Give(const char* sql, sqlite3_stmt* stmt);
    // Finalizes every kept statement (before its connection closes).
    void Clear();

private:
    static constexpr size_t kMaxKept = 64;
    // Looked up by the SQL text without copying it.
    struct TextHash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };
    std::unordered_map<std::string, sqlite3_stmt*, TextHash, std::equal_to<>> kept_;
};

// Idle connections to one store file, reused by later calls of the same
// Store. An entry is reused only while the file looks exactly as it did when
// the connection was handed back (same main file by device, inode, size and
// change times, same shared-memory index file), so a store that was deleted,
// replaced or damaged behind the connection's back is always opened afresh.
// The pool forgets what it holds after a fork: connections must not cross it.
class ConnectionPool {
public:
    ConnectionPool() = default;
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    struct Stamp {
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = 0;
        timespec mtime{};
        timespec ctime{};
        ino_t shmIno = 0;
        bool operator==(const Stamp& o) const;
    };

    // An idle connection to the file as it is now, or null; statements
    // receives the connection's kept statements and stamp how the file looked
    // (also when nothing was found). fileStat: the file's status when the
    // caller has just read it.
    sqlite3* Take(const std::string& file, std::unique_ptr<StatementCache>& statements, Stamp& stamp,
                  const struct stat* fileStat = nullptr);
    // Keeps a connection with its statements for reuse (closes both when the
    // pool is full or the file cannot be examined). stamp: how the file
    // looked when the connection was taken; a file changed since then (by a
    // checkpoint, or replaced) only makes the next Take open afresh.
    void Give(sqlite3* db, std::unique_ptr<StatementCache> statements, const std::string& file,
              const Stamp* stamp = nullptr);

private:
    struct Entry {
        sqlite3* db;
        Stamp stamp;
        std::unique_ptr<StatementCache> statements;
    };
    static void CloseEntry(Entry& entry);
    static constexpr size_t kMaxIdle = 4;
    static bool StampOf(const std::string& file, Stamp& out, const struct stat* fileStat = nullptr);
    void ForgetAfterFork();

    std::mutex mutex_;
    std::vector<Entry> idle_;
    pid_t owner_ = 0;
};

// Owns one connection.
class Db {
public:
    Db() = default;
    ~Db();
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    // flags are sqlite3_open_v2 flags; SQLITE_OPEN_NOMUTEX is always added.
    // With a pool, an idle connection to the same file is reused, and Close
    // hands the connection back instead of closing it. fileStat: the file's
    // status when the caller has just read it.
    Status Open(const std::string& file, int flags, ConnectionPool* pool = nullptr,
                const struct stat* fileStat = nullptr);
    void Close();

    sqlite3* handle() const { return db_; }
    const std::string& file() const { return file_; }
    // The connection's kept statements (null while closed).
    StatementCache* statements() const { return statements_.get(); }

    Status Exec(const char* sql);
    // Status of the connection's last failure, rc being what the call returned.
    Status Fail(int rc, std::string_view what) const { return SqlStatus(rc, db_, file_, what); }

private:
    sqlite3* db_ = nullptr;
    std::unique_ptr<StatementCache> statements_;
    std::string file_;
    ConnectionPool* pool_ = nullptr;
    ConnectionPool::Stamp stamp_;  // the file when a pooled connection was taken
    bool stamped_ = false;
};

// Owns one prepared statement. A failure in preparing or binding is kept and
// returned by the next Step.
class Stmt {
public:
    Stmt(const Db& db, const char* sql);
    ~Stmt();
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& Reset();
    Stmt& Bind(int index, int64_t value);
    Stmt& BindText(int index, std::string_view text);
    Stmt& BindBlob(int index, const void* data, size_t size);

    // One step; *row tells whether a row is available. Errors end the statement.
    Status Step(bool* row = nullptr);
    // Steps to the end, for statements that return no rows.
    Status Run();

    int ColumnType(int col) const { return sqlite3_column_type(stmt_, col); }
    int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
    std::string Text(int col) const;
    std::vector<uint8_t> Blob(int col) const;

private:
    void Note(int rc, std::string_view what);

    const Db& db_;
    const char* sql_;
    sqlite3_stmt* stmt_ = nullptr;
    Status pending_;
};

// Creates the tables (when missing) and marks the file with its kind.
Status CreateSchema(const Db& db, const char* kind);

enum class FileKind { kEmpty, kMatches, kOther, kNewer };
// Tells what the open file holds: no tables at all, the expected kind at a
// known schema version, another kind, or a newer schema. Must run inside a
// transaction so the answer holds for the rest of it.
Status ReadFileKind(const Db& db, const char* expected, FileKind& kind);

// One operation on the store file: opens it, begins the transaction and checks
// that the file is a store. Rolls back when destroyed without Commit().
class StoreTxn {
public:
    enum class Mode {
        kRead,         // deferred transaction; a missing file is an empty tree
        kWrite,        // immediate transaction; a missing file is an empty tree
        kWriteCreate,  // immediate transaction; creates the file and its folder
    };

    explicit StoreTxn(ConnectionPool* pool = nullptr) : pool_(pool) {}
    ~StoreTxn();
    StoreTxn(const StoreTxn&) = delete;
    StoreTxn& operator=(const StoreTxn&) = delete;

    Status Begin(const std::string& file, Mode mode);
    // True when there is no store yet (only in kRead and kWrite mode): nothing
    // exists below the root and db() must not be used.
    bool empty() const { return empty_; }
    Db& db() { return db_; }
    Status Commit();

private:
    Status Initialise();

    ConnectionPool* pool_ = nullptr;
    Db db_;
    bool empty_ = false;
    bool open_ = false;
};

// Creates a folder and its missing parents.
Status MakeDirs(const std::string& dir);

}  // namespace orvyn::reg::detail
