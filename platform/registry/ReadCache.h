// What every Store of one file shares inside a process: the pool of idle
// connections and the answers of read calls.
//
// The answers are kept while the store is unchanged. Before an answer is
// used the cache asks whether the file has changed since: the file must
// still be the same file (device and inode), and a connection of the cache's
// own must see the same `PRAGMA data_version`, which moves whenever another
// connection, of this process or any other, commits a change. Writes through
// this process also drop the answers at once. So a value changed by any
// writer is seen by the next read, and a read of an unchanged store costs a
// status call and one pragma instead of a transaction. Between such checks
// the cache listens to the file system (inotify on the store, its
// write-ahead log and its folder): once nothing has been written there since
// a full check that found no writer at work, a read costs one non-blocking
// read of the notifications and nothing else. (A writer updates the log's
// index, a shared memory map that raises no notification, after writing the
// log; whether one is at work is asked by beginning a write transaction
// without waiting and rolling it back. Where this process may not write the
// store, a full check must instead come a while after the last write.)
//
// Thread-safe: listing workers read through it beside the network thread.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/registry/Registry.h"

namespace orvyn::reg::detail {

class ConnectionPool;

class ReadCache {
public:
    ReadCache() = default;
    ~ReadCache();
    ReadCache(const ReadCache&) = delete;
    ReadCache& operator=(const ReadCache&) = delete;

    // The kinds of answers kept.
    enum class Kind : char { kKeyExists = 'k', kSubkeys = 's', kValue = 'v', kValues = 'l' };

    struct Answer {
        Status status;
        std::vector<std::string> names;  // kSubkeys
        std::vector<Value> values;       // kValue (one) and kValues
    };

    // The kept answer for a call (shared, never changed once kept), or null
    // when there is none for the store as it is now (the caller then asks
    // the store and Keep()s the answer with the ticket it got here).
    std::shared_ptr<const Answer> Find(const std::string& file, Kind kind, std::string_view key,
                                       std::string_view name, uint64_t& ticket);
    // Keeps an answer obtained after Find gave `ticket`; dropped when the
    // store has changed since (or errors, which are never kept).
    void Keep(Kind kind, std::string_view key, std::string_view name, const Answer& answer, uint64_t ticket);
    // A write through this process: nothing kept is trusted any more.
    void Invalidate();
    // The generation of the kept answers once the store has been checked for
    // this read epoch; 0 when it cannot be (outside read epochs, no store).
    uint64_t Stamp(const std::string& file);

private:
    static constexpr size_t kMaxAnswers = 8192;
    // Where writers cannot be asked: how long after the last write near the
    // store every read still checks it in full (longer than a writer takes
    // from its log to its index).
    static constexpr int64_t kSettleMs = 2000;
    // The answers' index: the kind, the key and the name as the caller
    // spelled them (an answer's message quotes the names).
    static void Slot(Kind kind, std::string_view key, std::string_view name, std::string& slot);
    struct SlotHash {
        using is_transparent = void;
        size_t operator()(std::string_view slot) const { return std::hash<std::string_view>{}(slot); }
    };
    // Brings the kept answers up to the store as it is now; false when the
    // store cannot be examined (nothing is kept then). Called locked.
    bool Revalidate(const std::string& file);
    // Revalidates once per read epoch; false when nothing kept may be used.
    // Called locked.
    bool CheckedThisEpoch(const std::string& file);
    void CloseWatcher();
    // True when no connection holds the store's write lock (asked without
    // waiting); false when it is held or cannot be asked.
    bool NoWriterAtWork();
    // Watches the store file, its write-ahead log and its folder; from then
    // on Noticed() tells whether anything was written there since.
    void ArmNotifications(const std::string& file);
    // Drains the notifications; true when there were any (or they cannot
    // be trusted).
    bool Noticed();
    // Drops every kept answer; tickets handed out before are void. Locked.
    void Forget();

    std::mutex mutex_;
    // The read epoch the store was last found unchanged in, and the
    // generation and owner below: written locked, read unlocked by Stamp().
    std::atomic<uint64_t> checkedEpoch_{0};
    sqlite3* watcher_ = nullptr;
    sqlite3_stmt* version_ = nullptr;
    sqlite3_stmt* begin_ = nullptr;     // BEGIN IMMEDIATE; null where the store is read-only to us
    sqlite3_stmt* rollback_ = nullptr;
    bool settled_ = false;              // a full check since the last notice found no writer at work
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    int64_t dataVersion_ = -1;
    std::atomic<uint64_t> generation_{1};  // moves with every change seen; 0 is never a valid ticket
    std::atomic<pid_t> owner_{0};
    int notify_ = -1;  // inotify descriptor; -1 when not armed
    int64_t lastNoticeMs_ = 0;  // when something was last written near the store
    int64_t lastFullMs_ = 0;    // when the store was last checked in full
    std::unordered_map<std::string, std::shared_ptr<const Answer>, SlotHash, std::equal_to<>> answers_;
    std::string slot_;  // Find's index text, kept for its capacity (under mutex_)
};

// Drops the kept answers when it goes: a write's first line, so that the
// answers go after the write has committed (or failed).
class ForgetAnswers {
public:
    explicit ForgetAnswers(ReadCache& cache) : cache_(cache) {}
    ~ForgetAnswers() { cache_.Invalidate(); }
    ForgetAnswers(const ForgetAnswers&) = delete;
    ForgetAnswers& operator=(const ForgetAnswers&) = delete;

private:
    ReadCache& cache_;
};

// The process id, without a system call (kept up to date across fork).
pid_t CurrentPid();

// The current read epoch (0 until NewReadEpoch is first called).
uint64_t CurrentReadEpoch();

// The pool and the cache shared by every Store of a file in this process.
struct SharedFile {
    std::shared_ptr<ConnectionPool> pool;
    std::shared_ptr<ReadCache> cache;
};
SharedFile ShareFile(const std::string& path);

}  // namespace orvyn::reg::detail
