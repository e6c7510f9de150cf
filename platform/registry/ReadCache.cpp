#include "platform/registry/ReadCache.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <cerrno>
#include <map>

#include "platform/registry/StoreDb.h"

namespace orvyn::reg {

namespace {
std::atomic<uint64_t> g_readEpoch{0};
}  // namespace

void NewReadEpoch() { g_readEpoch.fetch_add(1, std::memory_order_acq_rel); }

}  // namespace orvyn::reg

namespace orvyn::reg::detail {

namespace {

std::atomic<pid_t> g_pid{0};

void RememberPid() { g_pid.store(getpid(), std::memory_order_relaxed); }

}  // namespace

pid_t CurrentPid() {
    static const bool watched = [] {
        RememberPid();
        pthread_atfork(nullptr, nullptr, RememberPid);
        return true;
    }();
    static_cast<void>(watched);
    return g_pid.load(std::memory_order_relaxed);
}

static int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint64_t CurrentReadEpoch() { return g_readEpoch.load(std::memory_order_acquire); }

ReadCache::~ReadCache() { CloseWatcher(); }

void ReadCache::CloseWatcher() {
    if (owner_ != 0 && owner_ != CurrentPid()) {
        // The parent's connection: a child leaves it alone.
        version_ = nullptr;
        begin_ = nullptr;
        rollback_ = nullptr;
        watcher_ = nullptr;
        notify_ = -1;
    }
    if (notify_ >= 0)
        ::close(notify_);
    notify_ = -1;
    sqlite3_finalize(version_);
    sqlite3_finalize(begin_);
    sqlite3_finalize(rollback_);
    version_ = nullptr;
    begin_ = nullptr;
    rollback_ = nullptr;
    settled_ = false;
    if (watcher_) {
        // A reader never checkpoints: the file may have been replaced.
        sqlite3_db_config(watcher_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_close_v2(watcher_);
    }
    watcher_ = nullptr;
    dataVersion_ = -1;
}

void ReadCache::Slot(Kind kind, std::string_view key, std::string_view name, std::string& slot) {
    slot.clear();
    slot += static_cast<char>(kind);
    slot += key;
    slot += '\n';
    slot += name;
}

void ReadCache::Forget() {
    answers_.clear();
    ++generation_;
}

void ReadCache::ArmNotifications(const std::string& file) {
    if (notify_ < 0) {
        if (file.rfind("file:", 0) == 0)
            return;  // a URI: checked by status and pragma only
        notify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (notify_ < 0)
            return;
        const size_t slash = file.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
        // The folder: a log or a file that appears, goes or is renamed over.
        if (inotify_add_watch(notify_, folder.c_str(),
                              IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                  IN_ONLYDIR) < 0) {
            ::close(notify_);
            notify_ = -1;
            return;
        }
    }
    // Commits write the log (or the file itself); a checkpoint writes the
    // file. A log that is not there yet announces itself in the folder.
    const uint32_t written = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE;
    if (inotify_add_watch(notify_, file.c_str(), written) < 0) {
        ::close(notify_);
        notify_ = -1;
        return;
    }
    inotify_add_watch(notify_, (file + "-wal").c_str(), written);
}

bool ReadCache::Noticed() {
    if (notify_ < 0)
        return true;
    alignas(inotify_event) char buffer[4096];
    bool noticed = false;
    while (true) {
        const ssize_t n = ::read(notify_, buffer, sizeof buffer);
        if (n > 0) {
            noticed = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return noticed;
        // Anything else: no longer trusted.
        ::close(notify_);
        notify_ = -1;
        return true;
    }
}

bool ReadCache::Revalidate(const std::string& file) {
    const pid_t self = CurrentPid();
    if (owner_ != self) {
        CloseWatcher();
        Forget();
        owner_ = self;
    }
    const int64_t now = NowMs();
    // The watches hold until something happens there (a log that appears,
    // a file moved over the store): only then are they set again. Whatever
    // is written from here on is noticed next time.
    if (Noticed()) {
        ArmNotifications(file);
        Noticed();
        lastNoticeMs_ = now;
        settled_ = false;
    }
    // Nothing written near the store since a full check that found no
    // writer at work (or, where that cannot be asked, for a while).
    if (watcher_ && notify_ >= 0 && (settled_ || lastFullMs_ >= lastNoticeMs_ + kSettleMs))
        return true;
    lastFullMs_ = now;
    struct stat st {};
    const bool present = ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    // No store (yet), or another file now: nothing kept is valid.
    if (!present || (watcher_ && (st.st_dev != dev_ || st.st_ino != ino_))) {
        CloseWatcher();
        Forget();
    }
    if (!present) return false;  // every call asks the store
    if (!watcher_) {
        const std::string name = file.rfind("file:", 0) == 0 ? "./" + file : file;
        // Opened for writing only to ask whether a writer is at work (a
        // transaction begun and rolled back): it never writes.
        if (sqlite3_open_v2(name.c_str(), &watcher_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
                SQLITE_OK ||
            sqlite3_prepare_v3(watcher_, "PRAGMA data_version", -1, SQLITE_PREPARE_PERSISTENT, &version_,
                               nullptr) != SQLITE_OK) {
            CloseWatcher();
            return false;
        }
        if (sqlite3_db_readonly(watcher_, "main") != 0 ||
            sqlite3_prepare_v3(watcher_, "BEGIN IMMEDIATE", -1, SQLITE_PREPARE_PERSISTENT, &begin_, nullptr) !=
                SQLITE_OK ||
            sqlite3_prepare_v3(watcher_, "ROLLBACK", -1, SQLITE_PREPARE_PERSISTENT, &rollback_, nullptr) !=
                SQLITE_OK) {
            // A store this process may not write: the time rule alone.
            sqlite3_finalize(begin_);
            begin_ = nullptr;
        }
        sqlite3_busy_timeout(watcher_, kBusyTimeoutMs);
        dev_ = st.st_dev;
        ino_ = st.st_ino;
    }
    // Asked before the version: a writer that is done by now has also
    // updated the log's index the version is read from.
    const bool writersDone = NoWriterAtWork();
    if (!watcher_) {
        Forget();
        return false;
    }
    int64_t version = -1;
    if (sqlite3_step(version_) == SQLITE_ROW) version = sqlite3_column_int64(version_, 0);
    sqlite3_reset(version_);
    if (version < 0) {
        CloseWatcher();
        Forget();
        return false;
    }
    if (version != dataVersion_) {
        Forget();
        dataVersion_ = version;
    }
    if (writersDone)
        settled_ = true;
    return true;
}

bool ReadCache::NoWriterAtWork() {
    if (begin_ == nullptr)
        return false;
    // Whoever holds the write lock is still between its log and its index.
    sqlite3_busy_timeout(watcher_, 0);
    const bool free = sqlite3_step(begin_) == SQLITE_DONE;
    sqlite3_reset(begin_);
    if (free) {
        sqlite3_step(rollback_);
        sqlite3_reset(rollback_);
    }
    sqlite3_busy_timeout(watcher_, kBusyTimeoutMs);
    if (sqlite3_get_autocommit(watcher_) == 0) {
        // Not rolled back after all: this connection must not hold the lock.
        CloseWatcher();
        return false;
    }
    return free;
}

std::shared_ptr<const ReadCache::Answer> ReadCache::Find(const std::string& file, Kind kind, std::string_view key,
                                                         std::string_view name, uint64_t& ticket) {
    std::lock_guard<std::mutex> lock(mutex_);
    ticket = 0;
    if (!CheckedThisEpoch(file)) return nullptr;
    ticket = generation_;
    Slot(kind, key, name, slot_);
    auto it = answers_.find(std::string_view(slot_));
    if (it == answers_.end()) return nullptr;
    return it->second;
}

bool ReadCache::CheckedThisEpoch(const std::string& file) {
    const uint64_t epoch = CurrentReadEpoch();
    if (epoch == 0 || epoch != checkedEpoch_ || owner_ != CurrentPid()) {
        checkedEpoch_ = 0;
        if (!Revalidate(file)) return false;
        checkedEpoch_ = epoch;
    }
    return true;
}

uint64_t ReadCache::Stamp(const std::string& file) {
    // Checked already in this epoch (the usual case): the generation as it
    // is now, without the lock. A write that moves it meanwhile makes the
    // next call answer the new one.
    const uint64_t epoch = CurrentReadEpoch();
    if (epoch != 0 && checkedEpoch_.load(std::memory_order_acquire) == epoch &&
        owner_.load(std::memory_order_relaxed) == CurrentPid())
        return generation_.load(std::memory_order_acquire);
    std::lock_guard<std::mutex> lock(mutex_);
    if (CurrentReadEpoch() == 0 || !CheckedThisEpoch(file)) return 0;
    return generation_;
}

void ReadCache::Keep(Kind kind, std::string_view key, std::string_view name, const Answer& answer,
                     uint64_t ticket) {
    // Only answers about what exists or does not: a failing store is asked again.
    if (ticket == 0 || (!answer.status.ok() && answer.status.code != kNotFound)) return;
    auto kept = std::make_shared<const Answer>(answer);
    std::lock_guard<std::mutex> lock(mutex_);
    if (ticket != generation_) return;
    if (answers_.size() >= kMaxAnswers) answers_.clear();
    Slot(kind, key, name, slot_);
    answers_.insert_or_assign(slot_, std::move(kept));
}

void ReadCache::Invalidate() {
    std::lock_guard<std::mutex> lock(mutex_);
    Forget();
}

SharedFile ShareFile(const std::string& path) {
    // Never freed: Stores may outlive the statics of the program.
    static auto* mutex = new std::mutex;
    static auto* files = new std::map<std::string, std::pair<std::weak_ptr<ConnectionPool>, std::weak_ptr<ReadCache>>>;
    std::lock_guard<std::mutex> lock(*mutex);
    auto& [pool, cache] = (*files)[path];
    SharedFile shared{pool.lock(), cache.lock()};
    if (!shared.pool) {
        shared.pool = std::make_shared<ConnectionPool>();
        pool = shared.pool;
    }
    if (!shared.cache) {
        shared.cache = std::make_shared<ReadCache>();
        cache = shared.cache;
    }
    return shared;
}

}  // namespace orvyn::reg::detail
