// A key's whole content held in memory: its values and every subkey below it
// with their values. Save reads one from the store and writes it into a new
// file; restore reads one from a file, checking it thoroughly since the file
// may come from anywhere, and writes it into the store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry/StoreDb.h"

namespace orvyn::reg::detail {

struct Snapshot {
    struct Key {
        int64_t id;      // the source's id; only used to link keys and values
        int64_t parent;  // 0 is the snapshot's top key
        std::string name;
    };
    struct Val {
        int64_t key;  // 0 is the snapshot's top key
        std::string name;
        uint32_t type;
        std::vector<uint8_t> data;
    };
    std::vector<Key> keys;    // every parent comes before its subkeys
    std::vector<Val> values;  // in creation order within each key
    size_t levels = 0;        // how deep the subkeys go below the top key
};

// Reads everything below the key `top` (top itself becomes id 0). Names, types
// and the tree's shape are checked; a fault gives `badCode` with a message
// naming db's file. With `whole` the file must hold nothing else (no keys or
// values that cannot be reached from top).
Status ReadSnapshot(const Db& db, int64_t top, bool whole, long badCode, Snapshot& out);

// Adds the snapshot's keys and values below the key `top`, which must have no
// values or subkeys of the same names yet.
Status WriteSnapshot(const Db& db, int64_t top, const Snapshot& snap);

}  // namespace orvyn::reg::detail
