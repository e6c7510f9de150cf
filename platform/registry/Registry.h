// The configuration store: a tree of keys holding typed values, kept in one
// SQLite database. Every key path is relative to the machine root (what other
// systems call HKEY_LOCAL_MACHINE), with "\" between key names, for example
// "Software\\Brandmoor\\ORVYNPro\\Servers\\Demo". The empty path is the root.
//
// Key and value names compare without regard to ASCII letter case and keep the
// case they were created with. Subkeys enumerate in case-insensitive name
// order, values in creation order. Value data is kept as raw bytes; strings
// written by the store's users include their terminating NUL.
//
// Every operation runs as one transaction, so several processes (service,
// applet, command-line tool) may use the same store at once. A Store keeps a
// few open connections between calls; a connection is reused only while the
// file it was opened on is still the file at the store's path, and never in
// a child process after fork. A store file that does not exist reads as an empty tree
// and is created, with its folder, on the first write.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvyn::reg {

namespace detail {
class ConnectionPool;
class ReadCache;
}

// Value types with their stored numbers.
enum ValueType : uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_DWORD_BIG_ENDIAN = 5,
    REG_MULTI_SZ = 7,
    REG_QWORD = 11,
};

// Result codes, numbered like the system error codes the callers log with
// "%lx" (ERROR_FILE_NOT_FOUND, ERROR_NO_MORE_ITEMS, ...).
enum Code : long {
    kSuccess = 0,
    kNotFound = 2,           // key or value does not exist
    kAccessDenied = 5,       // store cannot be written (permissions, read-only)
    kInvalidParameter = 87,  // bad path, bad name, file is not a saved key
    kKeyHasChildren = 1020,  // delete of one key that still has subkeys
    kCorrupt = 1015,         // the store file is not a readable store
    kIoError = 1016,         // any other failure of the store file
};

struct Status {
    long code = kSuccess;
    std::string message;  // human-readable reason, empty on success

    bool ok() const { return code == kSuccess; }
    explicit operator bool() const { return ok(); }
    static Status Ok() { return {}; }
};

struct Value {
    std::string name;  // "" is the unnamed (default) value
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
};

struct KeyInfo {
    uint32_t subkeys = 0;
    uint32_t maxSubkeyLen = 0;     // longest subkey name, in characters
    uint32_t values = 0;
    uint32_t maxValueNameLen = 0;  // longest value name, in characters
    uint32_t maxValueLen = 0;      // largest value data, in bytes
};

// Returns $ORVYN_REGISTRY, or /var/lib/orvyn/registry.db when it is unset or empty.
std::string DefaultStorePath();

// Splits a key path at "\" into names; empty components ("a\\\\b", a leading
// or trailing "\") are dropped.
std::vector<std::string> SplitKeyPath(std::string_view path);

// Reads are answered from memory while the store file is unchanged. By
// default whether it changed is asked before every read. A program that
// marks its own points of freshness (the service: every socket event, the
// start of every command, every timer tick) calls NewReadEpoch there; from
// its first call on the question is asked at most once per epoch, so a change
// made by another program is seen from the next epoch on. Writes through this
// process are seen by the next read in any case. Thread-safe.
void NewReadEpoch();

// What a caller needs of a configuration store. `Store` is the store file of
// this computer; the applet also reaches the store of another computer
// through the same calls. Status codes as described above.
class IStore {
public:
    virtual ~IStore() = default;

    // The store file; empty where the store is not a file of this process.
    virtual const std::string& path() const = 0;

    // Keys.
    virtual Status KeyExists(std::string_view key) const = 0;  // ok, kNotFound or a store error
    virtual Status CreateKey(std::string_view key) = 0;        // creates every missing parent
    virtual Status DeleteKey(std::string_view key) = 0;        // kKeyHasChildren when it has subkeys
    virtual Status DeleteTree(std::string_view key) = 0;       // the key with its whole subtree
    // Gives a key a new name under the same parent, with its values and
    // subtree, in one step: a reader (or a crash) sees the old name or the
    // new one, never both or a part. kInvalidParameter when another subkey of
    // the parent has that name; a name differing only in case respells it.
    virtual Status RenameKey(std::string_view key, std::string_view newName) = 0;
    virtual Status EnumSubkeys(std::string_view key, std::vector<std::string>& names) const = 0;
    virtual Status QueryInfo(std::string_view key, KeyInfo& info) const = 0;

    // Values. SetValue creates the key (and its parents) when missing;
    // replacing an existing value keeps its place in the creation order.
    virtual Status SetValue(std::string_view key, std::string_view name, uint32_t type,
                            const void* data, size_t size) = 0;
    Status SetValue(std::string_view key, const Value& value) {
        return SetValue(key, value.name, value.type, value.data.data(), value.data.size());
    }
    // As SetValue, but only while `holder` (key itself or one of its
    // parents) exists: kNotFound when it does not, and nothing is created.
    // For writers into something another program may delete: the write
    // must not bring it back.
    virtual Status SetValueIn(std::string_view holder, std::string_view key, std::string_view name, uint32_t type,
                              const void* data, size_t size) {
        if (Status st = KeyExists(holder); !st) return st;
        return SetValue(key, name, type, data, size);
    }
    virtual Status QueryValue(std::string_view key, std::string_view name, Value& out) const = 0;
    // QueryValue for a caller that needs only the status code: no message is
    // made, and out keeps the room it had (a caller that reuses one Value
    // for many reads allocates nothing once the store is cached).
    virtual long QueryValueCode(std::string_view key, std::string_view name, Value& out) const {
        return QueryValue(key, name, out).code;
    }
    virtual Status DeleteValue(std::string_view key, std::string_view name) = 0;
    virtual Status EnumValues(std::string_view key, std::vector<Value>& values) const = 0;

    // Save the subtree of a key (its values and all subkeys) into a
    // standalone file of this computer; fails with kInvalidParameter when the
    // file exists and overwrite is false.
    virtual Status SaveKey(std::string_view key, const std::string& file,
                           bool overwrite = false) const = 0;
    // Replace the whole content of a key (values and subkeys) by what a saved
    // file of this computer holds; the key is created when missing. A file
    // that is not a saved key fails with kInvalidParameter and changes
    // nothing.
    virtual Status RestoreKey(std::string_view key, const std::string& file) = 0;

    // A number that stays the same while every read would answer the same
    // (it moves when the store is found changed, at most once per read
    // epoch, and with every write through this process); 0 when nothing
    // can be promised. Lets a caller keep what it made of a read.
    virtual uint64_t ReadStamp() const { return 0; }
};

class Store final : public IStore {
public:
    // path empty: DefaultStorePath().
    explicit Store(std::string path = {});

    const std::string& path() const override { return path_; }

    Status KeyExists(std::string_view key) const override;
    Status CreateKey(std::string_view key) override;
    Status DeleteKey(std::string_view key) override;
    Status DeleteTree(std::string_view key) override;
    Status RenameKey(std::string_view key, std::string_view newName) override;
    Status EnumSubkeys(std::string_view key, std::vector<std::string>& names) const override;
    Status QueryInfo(std::string_view key, KeyInfo& info) const override;

    using IStore::SetValue;
    Status SetValue(std::string_view key, std::string_view name, uint32_t type, const void* data,
                    size_t size) override;
    Status SetValueIn(std::string_view holder, std::string_view key, std::string_view name, uint32_t type,
                      const void* data, size_t size) override;
    Status QueryValue(std::string_view key, std::string_view name, Value& out) const override;
    long QueryValueCode(std::string_view key, std::string_view name, Value& out) const override;
    Status DeleteValue(std::string_view key, std::string_view name) override;
    Status EnumValues(std::string_view key, std::vector<Value>& values) const override;

    Status SaveKey(std::string_view key, const std::string& file, bool overwrite = false) const override;
    Status RestoreKey(std::string_view key, const std::string& file) override;

    uint64_t ReadStamp() const override;

private:
    // SetValue, inside holder when it is given.
    Status WriteValue(const std::string_view* holder, std::string_view key, std::string_view name, uint32_t type,
                      const void* data, size_t size);
    // The reads themselves, past the cache.
    Status ReadSubkeys(std::string_view key, std::vector<std::string>& names) const;
    Status ReadValue(std::string_view key, std::string_view name, Value& out) const;
    // QueryValue of a valid name, through the cache; a kept answer's message
    // is copied only when asked for.
    Status CachedValue(std::string_view key, std::string_view name, Value& out, bool message) const;
    Status ReadValues(std::string_view key, std::vector<Value>& values) const;

    std::string path_;
    // Open connections kept between calls, and the answers of read calls
    // while the file is unchanged: one of each per file in the process,
    // shared by every Store of that file.
    std::shared_ptr<detail::ConnectionPool> pool_;
    std::shared_ptr<detail::ReadCache> cache_;
};

// How long a write waits, unless its thread says otherwise, while another
// connection (any program) holds the store's write lock.
inline constexpr int kFullWriteWaitMs = 10000;

// How long the calling thread's writes wait for that lock before they fail.
// Scoped: the wait before comes back when it goes. A thread that serves many
// clients at once sets a short wait, so that a program holding the store
// cannot stop them all.
class ScopedWriteWait {
public:
    explicit ScopedWriteWait(int ms);
    ~ScopedWriteWait();
    ScopedWriteWait(const ScopedWriteWait&) = delete;
    ScopedWriteWait& operator=(const ScopedWriteWait&) = delete;

private:
    int before_;
};

// For its lifetime, the calling thread's writes wait for the lock until `ms`
// from now at the latest, all together, whatever wait each asks for: a stop
// that stores the state of many instances lasts that long at most while
// another program holds the store.
class ScopedWriteDeadline {
public:
    explicit ScopedWriteDeadline(int ms);
    ~ScopedWriteDeadline();
    ScopedWriteDeadline(const ScopedWriteDeadline&) = delete;
    ScopedWriteDeadline& operator=(const ScopedWriteDeadline&) = delete;

private:
    int64_t before_;
};

// Writes a saved key's bytes, obtained elsewhere, into file as SaveKey writes
// its own: refused when file names the store `store` or a file its database
// keeps beside it, or exists and overwrite is false; written beside it and
// then renamed into place, so that a failure leaves an existing file whole.
Status WriteSavedKeyBytes(const std::string& store, const std::string& file, std::string_view bytes,
                          bool overwrite);

// Helpers for building value data the way writers store it.
std::vector<uint8_t> StringData(std::string_view text);              // text + NUL
std::vector<uint8_t> DwordData(uint32_t v);                          // little-endian
std::vector<uint8_t> DwordBigEndianData(uint32_t v);
std::vector<uint8_t> QwordData(uint64_t v);
std::vector<uint8_t> MultiStringData(const std::vector<std::string>& items);  // a\0b\0\0

}  // namespace orvyn::reg
