// Walking and changing the key tree inside an open transaction.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/StoreDb.h"

namespace orvyn::reg::detail {

Status KeyNotFound(const std::vector<std::string>& names);

// The id of the key the names lead to from the root, or kNotFound.
Status FindKey(const Db& db, const std::vector<std::string>& names, int64_t& id);
// As FindKey, creating every missing key on the way.
Status MakeKey(const Db& db, const std::vector<std::string>& names, int64_t& id);
// Adds a subkey that does not exist yet.
Status InsertKey(const Db& db, int64_t parent, std::string_view name, int64_t& id);
// Removes every value and every subkey (with their subtrees) of a key; the
// key itself stays.
Status DeleteBelow(const Db& db, int64_t id);

}  // namespace orvyn::reg::detail
