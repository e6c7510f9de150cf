#include "platform/registry/KeyTable.h"

#include "platform/registry/KeyNames.h"

namespace orvyn::reg::detail {

Status KeyNotFound(const std::vector<std::string>& names) {
    return {kNotFound, "key \"" + JoinKeyPath(names) + "\" not found"};
}

Status FindKey(const Db& db, const std::vector<std::string>& names, int64_t& id) {
    id = kRootId;
    if (names.empty()) return Status::Ok();
    Stmt find(db, "SELECT id FROM keys WHERE parent = ?1 AND folded = ?2");
    for (const std::string& name : names) {
        find.Reset().Bind(1, id).BindText(2, Fold(name));
        bool row = false;
        if (Status st = find.Step(&row); !st) return st;
        if (!row) return KeyNotFound(names);
        id = find.Int(0);
    }
    return Status::Ok();
}

Status InsertKey(const Db& db, int64_t parent, std::string_view name, int64_t& id) {
    Stmt insert(db, "INSERT INTO keys(parent, name, folded) VALUES(?1, ?2, ?3)");
    insert.Bind(1, parent).BindText(2, name).BindText(3, Fold(name));
    if (Status st = insert.Run(); !st) return st;
    id = sqlite3_last_insert_rowid(db.handle());
    return Status::Ok();
}

Status MakeKey(const Db& db, const std::vector<std::string>& names, int64_t& id) {
    id = kRootId;
    if (names.empty()) return Status::Ok();
    Stmt find(db, "SELECT id FROM keys WHERE parent = ?1 AND folded = ?2");
    size_t i = 0;
    for (; i < names.size(); ++i) {
        find.Reset().Bind(1, id).BindText(2, Fold(names[i]));
        bool row = false;
        if (Status st = find.Step(&row); !st) return st;
        if (!row) break;
        id = find.Int(0);
    }
    for (; i < names.size(); ++i) {
        if (Status st = InsertKey(db, id, names[i], id); !st) return st;
    }
    return Status::Ok();
}

Status DeleteBelow(const Db& db, int64_t id) {
    Stmt values(db,
                "WITH RECURSIVE sub(id) AS ("
                "  SELECT id FROM keys WHERE parent = ?1"
                "  UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id)"
                "DELETE FROM vals WHERE key_id = ?1 OR key_id IN (SELECT id FROM sub)");
    values.Bind(1, id);
    if (Status st = values.Run(); !st) return st;
    Stmt keys(db,
              "WITH RECURSIVE sub(id) AS ("
              "  SELECT id FROM keys WHERE parent = ?1"
              "  UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id)"
              "DELETE FROM keys WHERE id IN (SELECT id FROM sub)");
    keys.Bind(1, id);
    return keys.Run();
}

}  // namespace orvyn::reg::detail
