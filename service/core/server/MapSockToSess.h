// Finds a session record by one of its sockets. An instance keeps two of
// these: control sockets and data sockets. The map does not own the records;
// the instance does. Iteration is in socket order.
#pragma once

#include <cstddef>
#include <map>
#include <vector>

#include "platform/eventloop/EventLoop.h"

namespace orvyn {

struct CSessionRecord;

class CMapSockToSess {
public:
    CSessionRecord* Lookup(eventloop::Socket s) const {
        auto it = map_.find(s);
        return it == map_.end() ? nullptr : it->second;
    }
    void SetAt(eventloop::Socket s, CSessionRecord* rec) { map_[s] = rec; }
    bool RemoveKey(eventloop::Socket s) { return map_.erase(s) != 0; }
    void RemoveAll() { map_.clear(); }
    size_t GetCount() const { return map_.size(); }
    bool IsEmpty() const { return map_.empty(); }

    // The sockets now in the map: a copy, so that sessions may come and go
    // while the caller walks it.
    std::vector<eventloop::Socket> Sockets() const {
        std::vector<eventloop::Socket> out;
        out.reserve(map_.size());
        for (const auto& [s, rec] : map_) out.push_back(s);
        return out;
    }
    auto begin() const { return map_.begin(); }
    auto end() const { return map_.end(); }

private:
    std::map<eventloop::Socket, CSessionRecord*> map_;
};

}  // namespace orvyn
