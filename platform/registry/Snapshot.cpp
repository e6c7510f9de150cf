#include "platform/registry/Snapshot.h"

#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/registry/KeyNames.h"
#include "platform/registry/KeyTable.h"

namespace orvyn::reg::detail {

namespace {

class SnapshotReader {
public:
    SnapshotReader(const Db& db, long badCode, Snapshot& out)
        : db_(db), badCode_(badCode), out_(out),
          children_(db, "SELECT id, name FROM keys WHERE parent = ?1"),
          values_(db, "SELECT name, type, data FROM vals WHERE key_id = ?1 ORDER BY seq") {}

    Status Read(int64_t top, bool whole) {
        out_ = {};
        visited_ = {top};
        // Breadth first, so parents come before their subkeys; `depth` marks
        // where the next level starts in out_.keys.
        if (Status st = ReadValues(top, 0); !st) return st;
        if (Status st = ReadChildren(top, 0); !st) return st;
        size_t level = 0;
        size_t depth = 1;
        while (level < out_.keys.size()) {
            if (++depth > kMaxKeyDepth) return Bad("keys nested too deep");
            size_t end = out_.keys.size();
            for (size_t i = level; i < end; ++i) {
                int64_t id = out_.keys[i].id;
                if (Status st = ReadValues(id, id); !st) return st;
                if (Status st = ReadChildren(id, id); !st) return st;
            }
            level = end;
        }
        out_.levels = depth - 1;
        if (whole) return CheckNothingElse();
        return Status::Ok();
    }

private:
    Status Bad(const std::string& why) const {
        return {badCode_, db_.file() + ": damaged or not a saved key: " + why};
    }

    Status ReadChildren(int64_t source, int64_t parent) {
        std::set<std::string> seen;
        children_.Reset().Bind(1, source);
        for (;;) {
            bool row = false;
            if (Status st = children_.Step(&row); !st) return st;
            if (!row) return Status::Ok();
            if (children_.ColumnType(0) != SQLITE_INTEGER || children_.ColumnType(1) != SQLITE_TEXT) {
                return Bad("key of the wrong type");
            }
            int64_t id = children_.Int(0);
            std::string name = children_.Text(1);
            if (Status st = CheckKeyName(name); !st) return Bad(st.message);
            if (id == kRootId || !visited_.insert(id).second) return Bad("key linked twice");
            if (!seen.insert(Fold(name)).second) return Bad("two keys named \"" + name + "\"");
            out_.keys.push_back({id, parent, std::move(name)});
        }
    }

    Status ReadValues(int64_t source, int64_t key) {
        std::set<std::string> seen;
        values_.Reset().Bind(1, source);
        for (;;) {
            bool row = false;
            if (Status st = values_.Step(&row); !st) return st;
            if (!row) return Status::Ok();
            if (values_.ColumnType(0) != SQLITE_TEXT || values_.ColumnType(1) != SQLITE_INTEGER ||
                values_.ColumnType(2) != SQLITE_BLOB) {
                return Bad("value of the wrong type");
            }
            std::string name = values_.Text(0);
            int64_t type = values_.Int(1);
            if (Status st = CheckValueName(name); !st) return Bad(st.message);
            if (type < 0 || type > 0xFFFFFFFFLL) return Bad("value type out of range");
            if (!seen.insert(Fold(name)).second) return Bad("two values named \"" + name + "\"");
            out_.values.push_back({key, std::move(name), static_cast<uint32_t>(type), values_.Blob(2)});
        }
    }

    Status CheckNothingElse() const {
        Stmt count(db_, "SELECT (SELECT count(*) FROM keys), (SELECT count(*) FROM vals)");
        bool row = false;
        if (Status st = count.Step(&row); !st) return st;
        if (count.Int(0) != static_cast<int64_t>(out_.keys.size()) ||
            count.Int(1) != static_cast<int64_t>(out_.values.size())) {
            return Bad("keys or values outside the tree");
        }
        return Status::Ok();
    }

    const Db& db_;
    long badCode_;
    Snapshot& out_;
    Stmt children_;
    Stmt values_;
    std::unordered_set<int64_t> visited_;
};

}  // namespace

Status ReadSnapshot(const Db& db, int64_t top, bool whole, long badCode, Snapshot& out) {
    return SnapshotReader(db, badCode, out).Read(top, whole);
}

Status WriteSnapshot(const Db& db, int64_t top, const Snapshot& snap) {
    std::unordered_map<int64_t, int64_t> ids{{kRootId, top}};
    for (const Snapshot::Key& key : snap.keys) {
        int64_t id = 0;
        if (Status st = InsertKey(db, ids.at(key.parent), key.name, id); !st) return st;
        ids[key.id] = id;
    }
    Stmt insert(db, "INSERT INTO vals(key_id, name, folded, type, data) VALUES(?1, ?2, ?3, ?4, ?5)");
    for (const Snapshot::Val& v : snap.values) {
        insert.Reset()
            .Bind(1, ids.at(v.key))
            .BindText(2, v.name)
            .BindText(3, Fold(v.name))
            .Bind(4, v.type)
            .BindBlob(5, v.data.data(), v.data.size());
        if (Status st = insert.Run(); !st) return st;
    }
    return Status::Ok();
}

}  // namespace orvyn::reg::detail
