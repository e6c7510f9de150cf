// Typed access to one server instance's settings in the configuration store.
// Every call opens the key, reads or writes one value and closes it again.
// The answers of ReadInt, ReadFlag and ReadString are kept while the store's
// read stamp stays the same (see reg::IStore::ReadStamp), so a value changed
// by any writer is still seen by the next read epoch, while repeated reads
// of an unchanged store cost no key lookup. Thread-safe for reads.
//
// A section name selects the key:
//   nullptr         the instance key  Software\Brandmoor\ORVYNPro\Servers\<name>
//   "General"       the product key   Software\Brandmoor\ORVYNPro   (any case)
//   "rights.X"      <instance key>\rights\X                          (any case)
//   anything else   <instance key>\<section>
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/registry/Registry.h"
#include "service/base/log/LogSink.h"

namespace orvyn {

inline constexpr const char* kProductKey = "Software\\Brandmoor\\ORVYNPro";
inline constexpr const char* kServersKey = "Software\\Brandmoor\\ORVYNPro\\Servers";
inline constexpr size_t kMaxKeyPath = 1023;

class CServerRegistry {
public:
    // log may be null (no log lines are written then).
    CServerRegistry(reg::IStore& store, std::string instanceName, ILogSink* log);

    const std::string& instanceName() const { return name_; }
    void setInstanceName(std::string name);
    reg::IStore& store() { return store_; }
    // The log is usually built after the settings it reads its own switches
    // from, so it may be attached later.
    void setLog(ILogSink* log) { log_ = log; }

    // Key path for a section, cut at 1023 characters (the instance-name
    // warning is logged when the cut happens).
    std::string KeyPath(const char* section) const;

    // Integer: REG_DWORD, REG_DWORD_BIG_ENDIAN, or REG_SZ read like atol;
    // data over 200 bytes, other types and missing values give the default.
    long ReadInt(const char* section, const char* name, long def) const;
    bool ReadFlag(const char* section, const char* name, bool def) const;
    // String: REG_SZ only (text up to the first NUL).
    std::string ReadString(const char* section, const char* name, std::string_view def) const;
    // See reg::IStore::ReadStamp.
    uint64_t ReadStamp() const { return store_.ReadStamp(); }
    // Binary: REG_BINARY only; out holds the data.
    bool ReadBinary(const char* section, const char* name, std::vector<uint8_t>& out) const;
    bool Exists(const char* section, const char* name) const;

    bool WriteInt(const char* section, const char* name, long value);
    // text nullptr or empty deletes the value.
    bool WriteString(const char* section, const char* name, const char* text);
    // From now on writes into the instance key fail while the key does not
    // exist, instead of creating it: a running instance whose key was
    // deleted must not bring it back, half made, with its own writes.
    void WriteOnlyIntoExistingKey() { existingOnly_ = true; }

    // Subkey names, then value names, of the section's key. The list is
    // refilled by every call; an empty list when the key is missing.
    const std::vector<std::string>& ListNames(const char* section);

    // Deletes a subkey of the instance key with all its children.
    bool DeleteSubkeyTree(const char* subkey);

private:
    // Builds the key path of a section. Returns false when the path had to be
    // cut at kMaxKeyPath (the warning is logged then) or when the instance
    // name is empty; the accessors treat such a path as a missing key so they
    // never read, write or delete a key nobody named.
    bool BuildPath(const char* section, std::string& path) const;
    void WarnTooLong() const;
    // Reads one value of a section into out: the kept answer when the store
    // is unchanged since it was read, else the store's. The result code of
    // the read; out is filled only on success.
    long Query(const char* section, const char* name, reg::Value& out) const;

    // The kept answers: a store result code and, on success, the value's
    // type and data. Keyed by section and name as the caller spelled them.
    struct KeptAnswer {
        long code = 0;
        uint32_t type = 0;
        std::vector<uint8_t> data;
    };
    static constexpr size_t kMaxKeptAnswers = 512;
    mutable std::mutex keptMutex_;
    mutable uint64_t keptStamp_ = 0;
    mutable std::unordered_map<std::string, KeptAnswer> kept_;

    // Stores one value at a section's key path.
    bool Write(const char* section, const std::string& path, const char* name, uint32_t type,
               const std::vector<uint8_t>& data);

    reg::IStore& store_;
    std::string name_;
    ILogSink* log_;
    bool existingOnly_ = false;
    std::vector<std::string> names_;
};

// Security\RequireBackPort: active data connections (PORT, EPRT) only to the
// client's own address. A missing value counts as on; only a stored 0 lets
// a client name a third party. Everything that needs the setting reads it
// here, so the default is the same everywhere.
bool ReadRequireBackPort(const CServerRegistry& registry);

}  // namespace orvyn
