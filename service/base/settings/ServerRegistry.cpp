#include "service/base/settings/ServerRegistry.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "service/base/text/NoCase.h"

namespace orvyn {

namespace {

// Numeric values larger than this are not numbers at all; the reader refuses
// them instead of guessing.
constexpr size_t kMaxNumericData = 200;

// Enumeration result for a name that does not fit the name buffer.
constexpr long kMoreData = 0xEA;
constexpr size_t kMaxListedName = 1023;

// Set while the too-long-name warning is being logged on this thread: the log
// reads its own switches through these accessors, which would warn again.
thread_local bool t_warningTooLong = false;

std::string_view ValueName(const char* name) { return name ? std::string_view(name) : std::string_view(); }

bool HasKeyName(std::string_view path) { return path.find_first_not_of('\\') != std::string_view::npos; }

bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Decimal text read the way atol reads it: leading white space, an optional
// sign, then as many digits as there are. No digits reads as 0. The result is
// kept within the 32-bit range every stored integer has.
long ParseDecimal(const std::vector<uint8_t>& data) {
    size_t i = 0;
    const size_t n = data.size();
    while (i < n && IsSpace(data[i])) ++i;
    bool negative = false;
    if (i < n && (data[i] == '+' || data[i] == '-')) {
        negative = data[i] == '-';
        ++i;
    }
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    int64_t value = 0;
    for (; i < n && data[i] >= '0' && data[i] <= '9'; ++i) {
        value = value * 10 + (data[i] - '0');
        if (value > limit) {
            value = limit;
            break;
        }
    }
    return static_cast<long>(negative ? -value : value);
}

// Room for the reads of this thread, kept between calls so that a read of
// a cached store allocates nothing. A read never starts another read while
// it uses this (the only nested read, from the too-long warning's log line,
// comes when the outer read has already failed).
struct ReadScratch {
    std::string path;
    std::string keptKey;
    reg::Value value;
};

ReadScratch& Scratch() {
    thread_local ReadScratch scratch;
    return scratch;
}

}  // namespace

CServerRegistry::CServerRegistry(reg::IStore& store, std::string instanceName, ILogSink* log)
    : store_(store), name_(std::move(instanceName)), log_(log) {}

void CServerRegistry::setInstanceName(std::string name) {
    std::lock_guard<std::mutex> lock(keptMutex_);
    name_ = std::move(name);
    kept_.clear();
}

long CServerRegistry::Query(const char* section, const char* name, reg::Value& out) const {
    ReadScratch& scratch = Scratch();
    const uint64_t stamp = store_.ReadStamp();
    std::string& key = scratch.keptKey;
    if (stamp != 0) {
        // Section names are C strings: a NUL cannot occur in them.
        key.assign(section ? section : "");
        key += '\0';
        key += ValueName(name);
        std::lock_guard<std::mutex> lock(keptMutex_);
        if (stamp != keptStamp_) {
            kept_.clear();
            keptStamp_ = stamp;
        }
        auto it = kept_.find(key);
        if (it != kept_.end()) {
            if (it->second.code == reg::kSuccess) {
                out.type = it->second.type;
                out.data.assign(it->second.data.begin(), it->second.data.end());
            }
            return it->second.code;
        }
    }
    if (!BuildPath(section, scratch.path)) return reg::kNotFound;
    const long code = store_.QueryValueCode(scratch.path, ValueName(name), out);
    // Only answers about what exists or does not: a failing store is asked again.
    if (stamp == 0 || (code != reg::kSuccess && code != reg::kNotFound)) return code;
    KeptAnswer answer;
    answer.code = code;
    if (code == reg::kSuccess) {
        answer.type = out.type;
        answer.data = out.data;
    }
    std::lock_guard<std::mutex> lock(keptMutex_);
    if (stamp != keptStamp_) return code;
    if (kept_.size() >= kMaxKeptAnswers) kept_.clear();
    kept_.insert_or_assign(key, std::move(answer));
    return code;
}

void CServerRegistry::WarnTooLong() const {
    if (!log_ || t_warningTooLong) return;
    t_warningTooLong = true;
    log_->Log(-1, '!', "Unable to open registry key for too-long server name %s.", name_.c_str());
    t_warningTooLong = false;
}

bool CServerRegistry::BuildPath(const char* section, std::string& path) const {
    if (section && EqualsNoCase(section, "General")) {
        path = kProductKey;
        return true;
    }
    // A name without any key name in it would address the Servers key itself.
    if (!HasKeyName(name_)) {
        path = kServersKey;
        return false;
    }
    path = kServersKey;
    path += '\\';
    path += name_;
    if (section && *section) {
        path += '\\';
        constexpr std::string_view kRightsPrefix = "rights.";
        if (StartsWithNoCase(section, kRightsPrefix)) {
            path += "rights\\";
            path += section + kRightsPrefix.size();
        } else {
            path += section;
        }
    }
    if (path.size() <= kMaxKeyPath) return true;
    path.resize(kMaxKeyPath);
    WarnTooLong();
    return false;
}

std::string CServerRegistry::KeyPath(const char* section) const {
    std::string path;
    BuildPath(section, path);
    return path;
}

long CServerRegistry::ReadInt(const char* section, const char* name, long def) const {
    reg::Value& v = Scratch().value;
    if (Query(section, name, v) != reg::kSuccess) return def;
    if (v.data.size() > kMaxNumericData) return def;
    const auto& d = v.data;
    // A DWORD is unsigned: one beyond the signed range is as large as a
    // number read here gets, as for decimal text, and never turns negative
    // (0xFFFFFFFF as a user limit means no limit, not -1).
    auto unsignedDword = [](uint32_t u) { return static_cast<long>(std::min<uint32_t>(u, INT32_MAX)); };
    switch (v.type) {
    case reg::REG_DWORD:
        if (d.size() != 4) return def;
        return unsignedDword(uint32_t(d[0]) | uint32_t(d[1]) << 8 | uint32_t(d[2]) << 16 | uint32_t(d[3]) << 24);
    case reg::REG_DWORD_BIG_ENDIAN:
        if (d.size() != 4) return def;
        return unsignedDword(uint32_t(d[3]) | uint32_t(d[2]) << 8 | uint32_t(d[1]) << 16 | uint32_t(d[0]) << 24);
    case reg::REG_SZ:
        return ParseDecimal(d);
    default:
        return def;
    }
}

bool ReadRequireBackPort(const CServerRegistry& registry) {
    return registry.ReadFlag("Security", "RequireBackPort", true);
}

bool CServerRegistry::ReadFlag(const char* section, const char* name, bool def) const {
    return ReadInt(section, name, def ? 1 : 0) != 0;
}

std::string CServerRegistry::ReadString(const char* section, const char* name, std::string_view def) const {
    reg::Value& v = Scratch().value;
    if (Query(section, name, v) != reg::kSuccess || v.type != reg::REG_SZ) return std::string(def);
    // The text ends at the first NUL, or with the data when a writer left the
    // terminator out.
    const char* text = reinterpret_cast<const char*>(v.data.data());
    const void* nul = std::memchr(text, 0, v.data.size());
    const size_t len = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : v.data.size();
    return std::string(text, len);
}

bool CServerRegistry::ReadBinary(const char* section, const char* name, std::vector<uint8_t>& out) const {
    out.clear();
    std::string path;
    reg::Value v;
    if (!BuildPath(section, path) || !store_.QueryValue(path, ValueName(name), v) || v.type != reg::REG_BINARY)
        return false;
    out = std::move(v.data);
    return true;
}

bool CServerRegistry::Exists(const char* section, const char* name) const {
    ReadScratch& scratch = Scratch();
    return BuildPath(section, scratch.path) &&
           store_.QueryValueCode(scratch.path, ValueName(name), scratch.value) == reg::kSuccess;
}

bool CServerRegistry::WriteInt(const char* section, const char* name, long value) {
    // Stored integers are 32 bits wide; anything else would be written as a
    // different number than the caller asked for.
    if (value < INT32_MIN || value > INT32_MAX) return false;
    std::string path;
    if (!BuildPath(section, path)) return false;
    const auto data = reg::DwordData(static_cast<uint32_t>(static_cast<int32_t>(value)));
    return Write(section, path, name, reg::REG_DWORD, data);
}

bool CServerRegistry::Write(const char* section, const std::string& path, const char* name, uint32_t type,
                            const std::vector<uint8_t>& data) {
    if (!existingOnly_ || (section && EqualsNoCase(section, "General"))) {
        return store_.SetValue(path, ValueName(name), type, data.data(), data.size()).ok();
    }
    std::string instanceKey;
    BuildPath(nullptr, instanceKey);
    return store_.SetValueIn(instanceKey, path, ValueName(name), type, data.data(), data.size()).ok();
}

bool CServerRegistry::WriteString(const char* section, const char* name, const char* text) {
    std::string path;
    if (!BuildPath(section, path)) return false;
    if (!text || !*text) {
        // Writing nothing removes the value; one that is already gone is the
        // state asked for.
        const reg::Status st = store_.DeleteValue(path, ValueName(name));
        return st.ok() || st.code == reg::kNotFound;
    }
    const auto data = reg::StringData(text);
    return Write(section, path, name, reg::REG_SZ, data);
}

const std::vector<std::string>& CServerRegistry::ListNames(const char* section) {
    names_.clear();
    std::string path;
    if (!BuildPath(section, path)) return names_;

    // A name longer than the name buffer is skipped, not cut: a cut name
    // would be a different rule or entry. The rest of the list is still read.
    auto take = [this](std::string&& name, bool isKey) {
        if (name.size() <= kMaxListedName) {
            names_.push_back(std::move(name));
        } else if (log_) {
            if (isKey)
                log_->Log(-1, '*', "Error %lx in RegEnumKeyEx\n", kMoreData);
            else
                log_->Log(-1, '*', "Error %lx in RegEnumValue\n", kMoreData);
        }
    };

    std::vector<std::string> keys;
    const reg::Status ks = store_.EnumSubkeys(path, keys);
    if (ks.ok()) {
        for (auto& k : keys) take(std::move(k), true);
    } else if (ks.code != reg::kNotFound) {
        if (log_) log_->Log(-1, '*', "Error %lx in RegEnumKeyEx\n", ks.code);
    }

    std::vector<reg::Value> values;
    const reg::Status vs = store_.EnumValues(path, values);
    if (vs.ok()) {
        for (auto& v : values) take(std::move(v.name), false);
    } else if (vs.code != reg::kNotFound) {
        if (log_) log_->Log(-1, '*', "Error %lx in RegEnumValue\n", vs.code);
    }
    return names_;
}

bool CServerRegistry::DeleteSubkeyTree(const char* subkey) {
    // Only a real subkey of a real instance: an empty name (or one made only
    // of separators) would address the instance key or the Servers key.
    if (!subkey || !HasKeyName(subkey) || !HasKeyName(name_)) return false;
    std::string path = kServersKey;
    path += '\\';
    path += name_;
    path += '\\';
    path += subkey;
    if (path.size() > kMaxKeyPath) {
        WarnTooLong();
        return false;
    }
    return store_.DeleteTree(path).ok();
}

}  // namespace orvyn
