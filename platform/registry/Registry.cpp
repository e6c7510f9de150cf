#include "platform/registry/Registry.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "platform/registry/KeyNames.h"
#include "platform/registry/KeyTable.h"
#include "platform/registry/ReadCache.h"
#include "platform/registry/StoreDb.h"

namespace orvyn::reg {

using detail::ReadCache;
using detail::StoreTxn;

std::string DefaultStorePath() {
    const char* env = std::getenv("ORVYN_REGISTRY");
    if (env && *env) return env;
    return "/var/lib/orvyn/registry.db";
}

Store::Store(std::string path) : path_(path.empty() ? DefaultStorePath() : std::move(path)) {
    detail::SharedFile shared = detail::ShareFile(path_);
    pool_ = std::move(shared.pool);
    cache_ = std::move(shared.cache);
}

namespace {

Status ValueNotFound(std::string_view name) {
    return {kNotFound, "value \"" + std::string(name) + "\" not found"};
}

uint32_t Clamp32(int64_t n) {
    if (n < 0) return 0;
    if (n > std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(n);
}

// Opens the store for reading and finds a key. found is false (with an ok
// status) when the store does not exist yet and the key is the root.
Status OpenKeyForRead(const std::string& file, std::string_view key, StoreTxn& txn, int64_t& id,
                      bool& found) {
    found = false;
    std::vector<std::string> names;
    if (Status st = detail::ParseKeyPath(key, names); !st) return st;
    if (Status st = txn.Begin(file, StoreTxn::Mode::kRead); !st) return st;
    if (txn.empty()) return names.empty() ? Status::Ok() : detail::KeyNotFound(names);
    if (Status st = detail::FindKey(txn.db(), names, id); !st) return st;
    found = true;
    return Status::Ok();
}

}  // namespace

// ---- keys ----

Status Store::KeyExists(std::string_view key) const {
    uint64_t ticket = 0;
    if (auto kept = cache_->Find(path_, ReadCache::Kind::kKeyExists, key, {}, ticket)) return kept->status;
    ReadCache::Answer answer;
    StoreTxn txn(pool_.get());
    int64_t id = 0;
    bool found = false;
    answer.status = OpenKeyForRead(path_, key, txn, id, found);
    cache_->Keep(ReadCache::Kind::kKeyExists, key, {}, answer, ticket);
    return answer.status;
}

Status Store::CreateKey(std::string_view key) {
    const detail::ForgetAnswers forget(*cache_);
    std::vector<std::string> names;
    if (Status st = detail::ParseKeyPath(key, names); !st) return st;
    StoreTxn txn(pool_.get());
    if (Status st = txn.Begin(path_, StoreTxn::Mode::kWriteCreate); !st) return st;
    int64_t id = 0;
    if (Status st = detail::MakeKey(txn.db(), names, id); !st) return st;
    return txn.Commit();
}

namespace {

// Shared start of DeleteKey and DeleteTree: the root is refused, a missing
// store or key is kNotFound.
Status OpenKeyForDelete(const std::string& file, std::string_view key, StoreTxn& txn, int64_t& id) {
    std::vector<std::string> names;
    if (Status st = detail::ParseKeyPath(key, names); !st) return st;
    if (names.empty()) return {kInvalidParameter, "the root key cannot be deleted"};
    if (Status st = txn.Begin(file, StoreTxn::Mode::kWrite); !st) return st;
    if (txn.empty()) return detail::KeyNotFound(names);
    return detail::FindKey(txn.db(), names, id);
}

Status DeleteOneKey(const detail::Db& db, int64_t id) {
    detail::Stmt values(db, "DELETE FROM vals WHERE key_id = ?1");
    if (Status st = values.Bind(1, id).Run(); !st) return st;
    detail::Stmt key(db, "DELETE FROM keys WHERE id = ?1");
    return key.Bind(1, id).Run();
}

}  // namespace

Status Store::DeleteKey(std::string_view key) {
    const detail::ForgetAnswers forget(*cache_);
    StoreTxn txn(pool_.get());
    int64_t id = 0;
    if (Status st = OpenKeyForDelete(path_, key, txn, id); !st) return st;
    detail::Stmt child(txn.db(), "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
    bool row = false;
    if (Status st = child.Bind(1, id).Step(&row); !st) return st;
    if (row) return {kKeyHasChildren, "key \"" + std::string(key) + "\" has subkeys"};
    if (Status st = DeleteOneKey(txn.db(), id); !st) return st;
    return txn.Commit();
}

Status Store::DeleteTree(std::string_view key) {
    const detail::ForgetAnswers forget(*cache_);
    StoreTxn txn(pool_.get());
    int64_t id = 0;
    if (Status st = OpenKeyForDelete(path_, key, txn, id); !st) return st;
    if (Status st = detail::DeleteBelow(txn.db(), id); !st) return st;
    if (Status st = DeleteOneKey(txn.db(), id); !st) return st;
    return txn.Commit();
}

Status Store::RenameKey(std::string_view key, std::string_view newName) {
    const detail::ForgetAnswers forget(*cache_);
    std::vector<std::string> names;
    if (Status st = detail::ParseKeyPath(key, names); !st) return st;
    if (names.empty()) return {kInvalidParameter, "the root key cannot be renamed"};
    if (Status st = detail::CheckKeyName(newName); !st) return st;
    StoreTxn txn(pool_.get());
    if (Status st = txn.Begin(path_, StoreTxn::Mode::kWrite); !st) return st;
    if (txn.empty()) return detail::KeyNotFound(names);
    int64_t id = 0;
    if (Status st = detail::FindKey(txn.db(), names, id); !st) return st;
    const std::string folded = detail::Fold(newName);
    detail::Stmt sibling(txn.db(),
                         "SELECT id FROM keys WHERE parent = (SELECT parent FROM keys WHERE id = ?1) AND folded = ?2");
    bool row = false;
    if (Status st = sibling.Bind(1, id).BindText(2, folded).Step(&row); !st) return st;
    if (row && sibling.Int(0) != id) {
        names.back() = std::string(newName);
        return {kInvalidParameter, "key \"" + detail::JoinKeyPath(names) + "\" exists"};
    }
    detail::Stmt rename(txn.db(), "UPDATE keys SET name = ?2, folded = ?3 WHERE id = ?1");
    if (Status st = rename.Bind(1, id).BindText(2, newName).BindText(3, folded).Run(); !st) return st;
    return txn.Commit();
}

namespace {

// A list read through the cache: the kept answer's list, or what read()
// finds in the store (kept for the next caller).
template <class T, class Read>
Status CachedList(ReadCache& cache, const std::string& file, ReadCache::Kind kind, std::string_view key,
                  std::vector<T> ReadCache::Answer::*list, std::vector<T>& out, Read read) {
    uint64_t ticket = 0;
    if (auto kept = cache.Find(file, kind, key, {}, ticket)) {
        out = (*kept).*list;
        return kept->status;
    }
    ReadCache::Answer answer;
    answer.status = read(out);
    answer.*list = out;
    cache.Keep(kind, key, {}, answer, ticket);
    return answer.status;
}

}  // namespace

Status Store::EnumSubkeys(std::string_view key, std::vector<std::string>& names) const {
    return CachedList(*cache_, path_, ReadCache::Kind::kSubkeys, key, &ReadCache::Answer::names, names,
                      [&](std::vector<std::string>& out) { return ReadSubkeys(key, out); });
}

Status Store::ReadSubkeys(std::string_view key, std::vector<std::string>& names) const {
    names.clear();
    StoreTxn txn(pool_.get());
    int64_t id = 0;
    bool found = false;
    if (Status st = OpenKeyForRead(path_, key, txn, id, found); !st || !found) return st;
    detail::Stmt list(txn.db(), "SELECT name FROM keys WHERE parent = ?1 ORDER BY folded");
    list.Bind(1, id);
    for (;;) {
        bool row = false;
        if (Status st = list.Step(&row); !st) {
            names.clear();
            return st;
        }
        if (!row) break;
        names.push_back(list.Text(0));
    }
    return Status::Ok();
}

Status Store::QueryInfo(std::string_view key, KeyInfo& info) const {
    info = {};
    StoreTxn txn(pool_.get());
    int64_t id = 0;
    bool found = false;
    if (Status st = OpenKeyForRead(path_, key, txn, id, found); !st || !found) return st;
    // length() counts the characters of a text and the bytes of a blob.
    detail::Stmt keys(txn.db(),
                      "SELECT count(*), coalesce(max(length(name)), 0) FROM keys WHERE parent = ?1");
    bool row = false;
    if (Status st = keys.Bind(1, id).Step(&row); !st) return st;
    detail::Stmt vals(txn.db(),
                      "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(data)), 0)"
                      " FROM vals WHERE key_id = ?1");
    if (Status st = vals.Bind(1, id).Step(&row); !st) return st;
    info.subkeys = Clamp32(keys.Int(0));
    info.maxSubkeyLen = Clamp32(keys.Int(1));
    info.values = Clamp32(vals.Int(0));
    info.maxValueNameLen = Clamp32(vals.Int(1));
    info.maxValueLen = Clamp32(vals.Int(2));
    return Status::Ok();
}

// ---- values ----

Status Store::SetValue(std::string_view key, std::string_view name, uint32_t type, const void* data,
                       size_t size) {
    return WriteValue(nullptr, key, name, type, data, size);
}

Status Store::SetValueIn(std::string_view holder, std::string_view key, std::string_view name, uint32_t type,
                         const void* data, size_t size) {
    // The usual answer (it is there) from the cache, without the write lock.
    if (Status st = KeyExists(holder); !st) return st;
    return WriteValue(&holder, key, name, type, data, size);
}

Status Store::WriteValue(const std::string_view* holder, std::string_view key, std::string_view name, uint32_t type,
                         const void* data, size_t size) {
    const detail::ForgetAnswers forget(*cache_);
    std::vector<std::string> names;
    if (Status st = detail::ParseKeyPath(key, names); !st) return st;
    if (Status st = detail::CheckValueName(name); !st) return st;
    if (!data && size != 0) return {kInvalidParameter, "value data missing"};
    std::vector<std::string> holderNames;
    if (holder != nullptr) {
        if (Status st = detail::ParseKeyPath(*holder, holderNames); !st) return st;
        if (holderNames.size() > names.size() ||
            !std::equal(holderNames.begin(), holderNames.end(), names.begin(),
                        [](const std::string& a, const std::string& b) { return detail::Fold(a) == detail::Fold(b); })) {
            return {kInvalidParameter, "the holder is not a parent of the key"};
        }
    }
    StoreTxn txn(pool_.get());
    if (Status st = txn.Begin(path_, StoreTxn::Mode::kWriteCreate); !st) return st;
    int64_t id = 0;
    // Asked again inside the write: it may have gone since.
    if (holder != nullptr) {
        if (Status st = detail::FindKey(txn.db(), holderNames, id); !st) return st;
    }
    if (Status st = detail::MakeKey(txn.db(), names, id); !st) return st;
    // A replaced value keeps its row, so its place in the creation order and
    // the case of its name stay as they were.
    detail::Stmt upsert(txn.db(),
                        "INSERT INTO vals(key_id, name, folded, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
                        " ON CONFLICT(key_id, folded) DO UPDATE SET type = excluded.type, data = excluded.data");
    upsert.Bind(1, id).BindText(2, name).BindText(3, detail::Fold(name)).Bind(4, type).BindBlob(5, data, size);
    if (Status st = upsert.Run(); !st) return st;
    return txn.Commit();
}

Status Store::QueryValue(std::string_view key, std::string_view name, Value& out) const {
    if (Status st = detail::CheckValueName(name); !st) {
        out = {};
        return st;
    }
    return CachedValue(key, name, out, true);
}

long Store::QueryValueCode(std::string_view key, std::string_view name, Value& out) const {
    if (Status st = detail::CheckValueName(name); !st) {
        out = {};
        return st.code;
    }
    return CachedValue(key, name, out, false).code;
}

Status Store::CachedValue(std::string_view key, std::string_view name, Value& out, bool message) const {
    // out is assigned, not replaced: it keeps its room.
    uint64_t ticket = 0;
    if (auto kept = cache_->Find(path_, ReadCache::Kind::kValue, key, name, ticket)) {
        if (kept->values.empty()) {
            out.name.clear();
            out.type = REG_NONE;
            out.data.clear();
        } else {
            const Value& v = kept->values.front();
            out.name.assign(v.name);
            out.type = v.type;
            out.data.assign(v.data.begin(), v.data.end());
        }
        return message ? kept->status : Status{kept->status.code, {}};
    }
    out.name.clear();
    out.type = REG_NONE;
    out.data.clear();
    ReadCache::Answer answer;
    answer.status = ReadValue(key, name, out);
    if (answer.status) answer.values.push_back(out);
    cache_->Keep(ReadCache::Kind::kValue, key, name, answer, ticket);
    return answer.status;
}

uint64_t Store::ReadStamp() const { return cache_->Stamp(path_); }

Status Store::ReadValue(std::string_view key, std::string_view name, Value& out) const {
    StoreTxn txn(pool_.get());
    int64_t id = 0;
    bool found = false;
    if (Status st = OpenKeyForRead(path_, key, txn, id, found); !st) return st;
    if (!found) return ValueNotFound(name);
    detail::Stmt query(txn.db(), "SELECT name, type, data FROM vals WHERE key_id = ?1 AND folded = ?2");
    bool row = false;
    if (Status st = query.Bind(1, id).BindText(2, detail::Fold(name)).Step(&row); !st) return st;
    if (!row) return ValueNotFound(name);
    out.name = query.Text(0);
    out.type = static_cast<uint32_t>(query.Int(1));
    out.data = query.Blob(2);
    return Status::Ok();
}

Status Store::DeleteValue(std::string_view key, std::string_view name) {
    const detail::ForgetAnswers forget(*cache_);
    std::vector<std::string> names;
    if (Status st = detail::ParseKeyPath(key, names); !st) return st;
    if (Status st = detail::CheckValueName(name); !st) return st;
    StoreTxn txn(pool_.get());
    if (Status st = txn.Begin(path_, StoreTxn::Mode::kWrite); !st) return st;
    if (txn.empty()) return names.empty() ? ValueNotFound(name) : detail::KeyNotFound(names);
    int64_t id = 0;
    if (Status st = detail::FindKey(txn.db(), names, id); !st) return st;
    detail::Stmt del(txn.db(), "DELETE FROM vals WHERE key_id = ?1 AND folded = ?2");
    if (Status st = del.Bind(1, id).BindText(2, detail::Fold(name)).Run(); !st) return st;
    if (sqlite3_changes(txn.db().handle()) == 0) return ValueNotFound(name);
    return txn.Commit();
}

Status Store::EnumValues(std::string_view key, std::vector<Value>& values) const {
    return CachedList(*cache_, path_, ReadCache::Kind::kValues, key, &ReadCache::Answer::values, values,
                      [&](std::vector<Value>& out) { return ReadValues(key, out); });
}

Status Store::ReadValues(std::string_view key, std::vector<Value>& values) const {
    values.clear();
    StoreTxn txn(pool_.get());
    int64_t id = 0;
    bool found = false;
    if (Status st = OpenKeyForRead(path_, key, txn, id, found); !st || !found) return st;
    detail::Stmt list(txn.db(), "SELECT name, type, data FROM vals WHERE key_id = ?1 ORDER BY seq");
    list.Bind(1, id);
    for (;;) {
        bool row = false;
        if (Status st = list.Step(&row); !st) {
            values.clear();
            return st;
        }
        if (!row) break;
        values.push_back({list.Text(0), static_cast<uint32_t>(list.Int(1)), list.Blob(2)});
    }
    return Status::Ok();
}

// ---- data helpers ----

std::vector<uint8_t> StringData(std::string_view text) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    return data;
}

std::vector<uint8_t> DwordData(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

std::vector<uint8_t> DwordBigEndianData(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

std::vector<uint8_t> QwordData(uint64_t v) {
    std::vector<uint8_t> data(8);
    for (size_t i = 0; i < 8; ++i) data[i] = static_cast<uint8_t>(v >> (8 * i));
    return data;
}

std::vector<uint8_t> MultiStringData(const std::vector<std::string>& items) {
    std::vector<uint8_t> data;
    for (const std::string& item : items) {
        data.insert(data.end(), item.begin(), item.end());
        data.push_back(0);
    }
    data.push_back(0);
    return data;
}

}  // namespace orvyn::reg
