#include "platform/registry/StoreDb.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/registry/ReadCache.h"

namespace orvyn::reg::detail {

Status SqlStatus(int rc, sqlite3* db, const std::string& file, std::string_view what) {
    long code = kIoError;
    int sysErr = db ? sqlite3_system_errno(db) : 0;
    switch (rc & 0xff) {
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
            code = kCorrupt;
            break;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            code = kAccessDenied;
            break;
        case SQLITE_CANTOPEN:
            code = (sysErr == EACCES || sysErr == EPERM || sysErr == EROFS) ? kAccessDenied : kIoError;
            break;
        case SQLITE_TOOBIG:
            code = kInvalidParameter;
            break;
        default:
            break;
    }
    std::string message = file + ": " + std::string(what) + ": ";
    message += (db && sqlite3_errcode(db) == rc) ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    if (sysErr != 0 && (rc & 0xff) == SQLITE_CANTOPEN) {
        message += " (";
        message += std::strerror(sysErr);
        message += ")";
    }
    return {code, std::move(message)};
}

// ---- StatementCache ----

sqlite3_stmt* StatementCache::Take(const char* sql) {
    const auto it = kept_.find(std::string_view(sql));
    if (it == kept_.end()) return nullptr;
    sqlite3_stmt* stmt = it->second;
    kept_.erase(it);
    return stmt;
}

void StatementCache::Give(const char* sql, sqlite3_stmt* stmt) {
    if (stmt == nullptr) return;
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (kept_.size() < kMaxKept && kept_.emplace(sql, stmt).second) return;
    sqlite3_finalize(stmt);
}

void StatementCache::Clear() {
    for (auto& [sql, stmt] : kept_) sqlite3_finalize(stmt);
    kept_.clear();
}

// ---- ConnectionPool ----

ConnectionPool::~ConnectionPool() {
    ForgetAfterFork();
    for (Entry& e : idle_) CloseEntry(e);
}

void ConnectionPool::CloseEntry(Entry& entry) {
    if (entry.statements) entry.statements->Clear();
    sqlite3_close_v2(entry.db);
}

void ConnectionPool::ForgetAfterFork() {
    pid_t self = CurrentPid();
    if (owner_ != self) {
        // Connections opened by the parent belong to it; the child leaves
        // them (and their statements) alone.
        for (Entry& e : idle_) static_cast<void>(e.statements.release());
        idle_.clear();
        owner_ = self;
    }
}

bool ConnectionPool::Stamp::operator==(const Stamp& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec && shmIno == o.shmIno;
}

bool ConnectionPool::StampOf(const std::string& file, Stamp& out, const struct stat* fileStat) {
    struct stat sb {};
    if (fileStat != nullptr) {
        sb = *fileStat;
    } else if (stat(file.c_str(), &sb) != 0) {
        return false;
    }
    if (!S_ISREG(sb.st_mode)) return false;
    out.dev = sb.st_dev;
    out.ino = sb.st_ino;
    out.size = sb.st_size;
    out.mtime = sb.st_mtim;
    out.ctime = sb.st_ctim;
    struct stat shm {};
    out.shmIno = stat((file + "-shm").c_str(), &shm) == 0 ? shm.st_ino : 0;
    return true;
}

sqlite3* ConnectionPool::Take(const std::string& file, std::unique_ptr<StatementCache>& statements, Stamp& stamp,
                              const struct stat* fileStat) {
    Stamp& now = stamp;
    now = Stamp{};
    bool known = StampOf(file, now, fileStat);
    std::lock_guard<std::mutex> lock(mutex_);
    ForgetAfterFork();
    sqlite3* found = nullptr;
    for (auto it = idle_.begin(); it != idle_.end();) {
        if (known && it->stamp == now) {
            if (!found) {
                found = it->db;
                statements = std::move(it->statements);
                it = idle_.erase(it);
                continue;
            }
            ++it;
        } else {
            // The file changed behind the connection: it may hold stale pages,
            // and a checkpoint at close would write them over whatever the
            // file is now. Close it without touching the file.
            sqlite3_db_config(it->db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
            CloseEntry(*it);
            it = idle_.erase(it);
        }
    }
    return found;
}

void ConnectionPool::Give(sqlite3* db, std::unique_ptr<StatementCache> statements, const std::string& file,
                          const Stamp* known) {
    Stamp stamp;
    if (known != nullptr || StampOf(file, stamp)) {
        if (known != nullptr) stamp = *known;
        std::lock_guard<std::mutex> lock(mutex_);
        ForgetAfterFork();
        if (idle_.size() < kMaxIdle) {
            idle_.push_back({db, stamp, std::move(statements)});
            return;
        }
    }
    Entry closing{db, stamp, std::move(statements)};
    CloseEntry(closing);
}

// ---- Db ----

Db::~Db() { Close(); }

void Db::Close() {
    if (!db_) return;
    // Only a connection with no transaction left open goes back to the pool.
    if (pool_ && sqlite3_get_autocommit(db_)) {
        pool_->Give(db_, std::move(statements_), file_, stamped_ ? &stamp_ : nullptr);
    } else {
        if (statements_) statements_->Clear();
        sqlite3_close_v2(db_);
    }
    statements_.reset();
    db_ = nullptr;
    pool_ = nullptr;
    stamped_ = false;
}

Status Db::Open(const std::string& file, int flags, ConnectionPool* pool, const struct stat* fileStat) {
    Close();
    file_ = file;
    if (pool) {
        db_ = pool->Take(file, statements_, stamp_, fileStat);
        if (db_) {
            stamped_ = true;
            if (!statements_) statements_ = std::make_unique<StatementCache>();
            pool_ = pool;
            return Status::Ok();
        }
    }
    // A name starting with "file:" could be taken for a URI.
    std::string name = file.rfind("file:", 0) == 0 ? "./" + file : file;
    int rc = sqlite3_open_v2(name.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        Status st = Fail(rc, "cannot open");
        Close();
        return st;
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    statements_ = std::make_unique<StatementCache>();
    if (pool) {
        // A kept connection saves the open, the schema read and the
        // checkpoint-and-delete of the write-ahead log that every close costs.
        // In WAL mode NORMAL sync keeps every commit atomic and consistent;
        // only a power loss can undo the last commits, never tear one.
        sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
        pool_ = pool;
    }
    return Status::Ok();
}

Status Db::Exec(const char* sql) {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? Status::Ok() : Fail(rc, sql);
}

// ---- Stmt ----

Stmt::Stmt(const Db& db, const char* sql) : db_(db), sql_(sql) {
    if (StatementCache* cache = db.statements()) stmt_ = cache->Take(sql);
    if (stmt_) return;
    int rc = sqlite3_prepare_v3(db.handle(), sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
    if (rc != SQLITE_OK) {
        pending_ = db_.Fail(rc, "query failed");
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

Stmt::~Stmt() {
    StatementCache* cache = db_.statements();
    if (cache && stmt_) {
        cache->Give(sql_, stmt_);
    } else {
        sqlite3_finalize(stmt_);
    }
}

void Stmt::Note(int rc, std::string_view what) {
    if (rc != SQLITE_OK && pending_.ok()) pending_ = db_.Fail(rc, what);
}

Stmt& Stmt::Reset() {
    if (stmt_) {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    return *this;
}

Stmt& Stmt::Bind(int index, int64_t value) {
    if (stmt_) Note(sqlite3_bind_int64(stmt_, index, value), "bind failed");
    return *this;
}

Stmt& Stmt::BindText(int index, std::string_view text) {
    if (stmt_) {
        Note(sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8),
             "bind failed");
    }
    return *this;
}

Stmt& Stmt::BindBlob(int index, const void* data, size_t size) {
    if (!stmt_) return *this;
    // A null pointer would bind SQL NULL; empty data is a zero-length blob.
    if (size == 0) {
        Note(sqlite3_bind_zeroblob(stmt_, index, 0), "bind failed");
    } else {
        Note(sqlite3_bind_blob64(stmt_, index, data, size, SQLITE_TRANSIENT), "bind failed");
    }
    return *this;
}

Status Stmt::Step(bool* row) {
    if (row) *row = false;
    if (!pending_.ok()) return pending_;
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) {
        if (row) *row = true;
        return Status::Ok();
    }
    if (rc == SQLITE_DONE) return Status::Ok();
    pending_ = db_.Fail(rc, "query failed");
    return pending_;
}

Status Stmt::Run() {
    bool row = true;
    while (row) {
        if (Status st = Step(&row); !st) return st;
    }
    return Status::Ok();
}

std::string Stmt::Text(int col) const {
    const unsigned char* p = sqlite3_column_text(stmt_, col);
    int n = sqlite3_column_bytes(stmt_, col);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}

std::vector<uint8_t> Stmt::Blob(int col) const {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, col));
    int n = sqlite3_column_bytes(stmt_, col);
    return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
}

// ---- schema ----

Status CreateSchema(const Db& db, const char* kind) {
    static const char* const kTables =
        "CREATE TABLE IF NOT EXISTS meta("
        "  name TEXT PRIMARY KEY NOT NULL,"
        "  value TEXT NOT NULL);"
        "CREATE TABLE IF NOT EXISTS keys("
        "  id INTEGER PRIMARY KEY,"
        "  parent INTEGER NOT NULL,"
        "  name TEXT NOT NULL,"
        "  folded TEXT NOT NULL,"
        "  UNIQUE(parent, folded));"
        "CREATE TABLE IF NOT EXISTS vals("
        "  seq INTEGER PRIMARY KEY,"
        "  key_id INTEGER NOT NULL,"
        "  name TEXT NOT NULL,"
        "  folded TEXT NOT NULL,"
        "  type INTEGER NOT NULL,"
        "  data BLOB NOT NULL,"
        "  UNIQUE(key_id, folded));";
    int rc = sqlite3_exec(db.handle(), kTables, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return db.Fail(rc, "cannot create tables");
    Stmt mark(db, "INSERT OR IGNORE INTO meta(name, value) VALUES('kind', ?1), ('schema', ?2)");
    mark.BindText(1, kind).Bind(2, kSchemaVersion);
    return mark.Run();
}

Status ReadFileKind(const Db& db, const char* expected, FileKind& kind) {
    // An empty file, or one another process has only just created, has no
    // tables yet; a file with tables but no meta table is something else.
    Stmt tables(db,
                "SELECT count(*), sum(name = 'meta') FROM sqlite_schema WHERE type = 'table'");
    bool row = false;
    if (Status st = tables.Step(&row); !st) return st;
    if (tables.Int(0) == 0) {
        kind = FileKind::kEmpty;
        return Status::Ok();
    }
    if (tables.Int(1) == 0) {
        kind = FileKind::kOther;
        return Status::Ok();
    }
    Stmt meta(db,
              "SELECT (SELECT value FROM meta WHERE name = 'kind'),"
              "       (SELECT value FROM meta WHERE name = 'schema')");
    if (Status st = meta.Step(&row); !st) return st;
    if (meta.ColumnType(0) != SQLITE_TEXT || meta.Text(0) != expected) {
        kind = FileKind::kOther;
    } else if (meta.Int(1) != kSchemaVersion) {
        kind = meta.Int(1) > kSchemaVersion ? FileKind::kNewer : FileKind::kOther;
    } else {
        kind = FileKind::kMatches;
    }
    return Status::Ok();
}

// ---- StoreTxn ----

StoreTxn::~StoreTxn() {
    if (open_) static_cast<void>(Stmt(db_, "ROLLBACK").Run());
}

namespace {
thread_local int tl_writeWaitMs = kBusyTimeoutMs;
thread_local int64_t tl_writeDeadlineMs = 0;  // monotonic; 0: none

int64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The calling thread's wait for the write lock, cut to what is left before
// its deadline.
int WriteWaitNow() {
    if (tl_writeDeadlineMs == 0) return tl_writeWaitMs;
    const int64_t left = tl_writeDeadlineMs - MonotonicMs();
    return static_cast<int>(std::clamp<int64_t>(left, 0, tl_writeWaitMs));
}
}  // namespace

}  // namespace orvyn::reg::detail

namespace orvyn::reg {

ScopedWriteWait::ScopedWriteWait(int ms) : before_(detail::tl_writeWaitMs) {
    detail::tl_writeWaitMs = ms < 0 ? 0 : ms;
}

ScopedWriteWait::~ScopedWriteWait() { detail::tl_writeWaitMs = before_; }

ScopedWriteDeadline::ScopedWriteDeadline(int ms) : before_(detail::tl_writeDeadlineMs) {
    const int64_t deadline = detail::MonotonicMs() + (ms < 0 ? 0 : ms);
    // An outer deadline that comes sooner still holds.
    detail::tl_writeDeadlineMs = before_ != 0 ? std::min(before_, deadline) : deadline;
}

ScopedWriteDeadline::~ScopedWriteDeadline() { detail::tl_writeDeadlineMs = before_; }

}  // namespace orvyn::reg

namespace orvyn::reg::detail {

Status StoreTxn::Begin(const std::string& file, Mode mode) {
    if (file.empty()) return {kInvalidParameter, "no store file given"};
    struct stat sb {};
    if (stat(file.c_str(), &sb) != 0) {
        int err = errno;
        if (err != ENOENT) {
            return {err == EACCES ? kAccessDenied : kIoError, file + ": " + std::strerror(err)};
        }
        if (mode != Mode::kWriteCreate) {
            empty_ = true;
            return Status::Ok();
        }
        size_t slash = file.rfind('/');
        if (slash != std::string::npos && slash > 0) {
            if (Status st = MakeDirs(file.substr(0, slash)); !st) return st;
        }
    } else if (!S_ISREG(sb.st_mode)) {
        return {kIoError, file + ": not a regular file"};
    }

    int flags = SQLITE_OPEN_READWRITE | (mode == Mode::kWriteCreate ? SQLITE_OPEN_CREATE : 0);
    const bool existed = sb.st_mode != 0;
    if (Status st = db_.Open(file, flags, pool_, existed ? &sb : nullptr); !st) return st;
    const char* begin = mode == Mode::kRead ? "BEGIN" : "BEGIN IMMEDIATE";
    // Only taking the write lock waits for other writers; the connection's
    // own wait stays as it was for the rest (it may serve another thread).
    const int wait = mode == Mode::kRead ? kBusyTimeoutMs : WriteWaitNow();
    if (wait != kBusyTimeoutMs) sqlite3_busy_timeout(db_.handle(), wait);
    Status begun = Stmt(db_, begin).Run();
    if (wait != kBusyTimeoutMs) sqlite3_busy_timeout(db_.handle(), kBusyTimeoutMs);
    if (!begun) return begun;
    open_ = true;

    FileKind kind = FileKind::kEmpty;
    if (Status st = ReadFileKind(db_, kKindStore, kind); !st) return st;
    switch (kind) {
        case FileKind::kMatches:
            return Status::Ok();
        case FileKind::kOther:
            return {kCorrupt, file + ": not a configuration store"};
        case FileKind::kNewer:
            return {kCorrupt, file + ": configuration store of a newer version"};
        case FileKind::kEmpty:
            break;
    }
    if (mode != Mode::kWriteCreate) {
        empty_ = true;
        return Status::Ok();
    }
    return Initialise();
}

// Turns an empty file into a store. The journal mode can only change outside
// a transaction, so the first one is ended and a new one begun; another
// process may create the tables in between, which CREATE ... IF NOT EXISTS
// and the second check allow for.
Status StoreTxn::Initialise() {
    open_ = false;
    if (Status st = db_.Exec("ROLLBACK"); !st) return st;
    // WAL lets readers go on while one process writes. Should the file system
    // not support it, the store still works in the default journal mode.
    sqlite3_exec(db_.handle(), "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if (Status st = db_.Exec("BEGIN IMMEDIATE"); !st) return st;
    open_ = true;
    if (Status st = CreateSchema(db_, kKindStore); !st) return st;
    FileKind kind = FileKind::kEmpty;
    if (Status st = ReadFileKind(db_, kKindStore, kind); !st) return st;
    if (kind != FileKind::kMatches) return {kCorrupt, db_.file() + ": not a configuration store"};
    return Status::Ok();
}

Status StoreTxn::Commit() {
    if (!open_) return Status::Ok();
    open_ = false;
    const int rc = Stmt(db_, "COMMIT").Run().ok() ? SQLITE_OK : sqlite3_errcode(db_.handle());
    if (rc == SQLITE_OK) return Status::Ok();
    Status st = db_.Fail(rc, "cannot commit");
    sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    return st;
}

Status MakeDirs(const std::string& dir) {
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0755) == 0) continue;
        int err = errno;
        struct stat sb {};
        if (err == EEXIST && stat(part.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode)) continue;
        return {err == EACCES || err == EROFS ? kAccessDenied : kIoError,
                part + ": cannot create folder: " + std::strerror(err == EEXIST ? ENOTDIR : err)};
    }
    return Status::Ok();
}

}  // namespace orvyn::reg::detail
