// Finds a session record by one of its sockets. An instance keeps two of
// these: control sockets and data sockets. The map does not own the records;
// the instance does. Iteration is in socket order.
//
// Sockets are small numbers handed out densely by the system, so the map is
// a table indexed by socket: a lookup costs the same with ten thousand
// sessions as with one (every event of every session looks its socket up).
#pragma once

#include <cstddef>
#include <iterator>
#include <utility>
#include <vector>

#include "platform/eventloop/EventLoop.h"

namespace orvyn {

struct CSessionRecord;

class CMapSockToSess {
public:
    CSessionRecord* Lookup(eventloop::Socket s) const {
        return s >= 0 && static_cast<size_t>(s) < table_.size() ? table_[static_cast<size_t>(s)] : nullptr;
    }
    // rec must not be null (RemoveKey takes a socket out).
    void SetAt(eventloop::Socket s, CSessionRecord* rec) {
        if (s < 0 || rec == nullptr) return;
        const size_t at = static_cast<size_t>(s);
        if (at >= table_.size()) table_.resize(at + 1, nullptr);
        if (table_[at] == nullptr) ++count_;
        table_[at] = rec;
    }
    bool RemoveKey(eventloop::Socket s) {
        if (Lookup(s) == nullptr) return false;
        table_[static_cast<size_t>(s)] = nullptr;
        --count_;
        return true;
    }
    void RemoveAll() {
        table_.clear();
        table_.shrink_to_fit();
        count_ = 0;
    }
    size_t GetCount() const { return count_; }
    bool IsEmpty() const { return count_ == 0; }

    // The sockets now in the map: a copy, so that sessions may come and go
    // while the caller walks it.
    std::vector<eventloop::Socket> Sockets() const {
        std::vector<eventloop::Socket> out;
        out.reserve(count_);
        for (size_t s = 0; s < table_.size(); ++s)
            if (table_[s] != nullptr) out.push_back(static_cast<eventloop::Socket>(s));
        return out;
    }

    // Walks (socket, record) pairs in socket order. The map must not change
    // during the walk.
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::pair<eventloop::Socket, CSessionRecord*>;
        using difference_type = std::ptrdiff_t;
        using pointer = const value_type*;
        using reference = value_type;

        const_iterator(const std::vector<CSessionRecord*>* table, size_t at) : table_(table), at_(at) { Skip(); }
        value_type operator*() const { return {static_cast<eventloop::Socket>(at_), (*table_)[at_]}; }
        const_iterator& operator++() {
            ++at_;
            Skip();
            return *this;
        }
        bool operator==(const const_iterator& o) const { return at_ == o.at_; }
        bool operator!=(const const_iterator& o) const { return at_ != o.at_; }

    private:
        void Skip() {
            while (at_ < table_->size() && (*table_)[at_] == nullptr) ++at_;
        }
        const std::vector<CSessionRecord*>* table_;
        size_t at_;
    };
    const_iterator begin() const { return const_iterator(&table_, 0); }
    const_iterator end() const { return const_iterator(&table_, table_.size()); }

private:
    std::vector<CSessionRecord*> table_;  // indexed by socket; null: none
    size_t count_ = 0;
};

}  // namespace orvyn
