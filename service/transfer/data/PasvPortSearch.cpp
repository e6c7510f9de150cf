#include "service/transfer/data/PasvPortSearch.h"

#include <cstdlib>
#include <utility>

#include "platform/eventloop/Winsock.h"

namespace orvyn {

using eventloop::WSAEADDRINUSE;

CPasvPortSearch::CPasvPortSearch(RandomSource random) : random_(std::move(random)) {}

void CPasvPortSearch::DiscardTable() {
    table_.clear();
    tableHigh_ = -1;
}

int CPasvPortSearch::Search(long lowPort, long highPort, bool randomPorts, const TryBind& tryBind) {
    const int low = static_cast<int>(lowPort < 0 ? 0 : (lowPort > 65535 ? 65535 : lowPort));
    const int high = static_cast<int>(highPort > 65535 ? 65535 : (highPort < 0 ? 0 : highPort));
    if (low >= high) return tryBind(0);

    const int n = high - low + 1;
    if (cursor_ < low) cursor_ = low;
    int start = cursor_ + 2;  // two above the last port, not one
    if (start < low) start = low;
    if (start > high) start = low + (start - low) % n;

    return randomPorts ? SearchRandom(low, high, start, tryBind) : SearchSequential(low, high, start, tryBind);
}

int CPasvPortSearch::SearchSequential(int low, int high, int start, const TryBind& tryBind) {
    auto attempt = [&](int port, int& result) {
        result = tryBind(port);
        if (result == 0) cursor_ = port;
        return result != WSAEADDRINUSE;  // stop on success or on any other error
    };
    int result = WSAEADDRINUSE;
    for (int port = start; port <= high; ++port) {
        if (attempt(port, result)) return result;
    }
    for (int port = low; port < start; ++port) {
        if (attempt(port, result)) return result;
    }
    return WSAEADDRINUSE;
}

void CPasvPortSearch::BuildTable(int low, int high, int start) {
    const int n = high - low + 1;
    table_.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        int port = start + i;
        if (port > high) port -= n;
        table_[static_cast<size_t>(i)] = port;
    }
    // Forward Fisher-Yates: position i swaps with a position from i to high.
    for (int i = low; i < high; ++i) {
        const int r = random_ ? random_() : std::rand();
        const int span = high - i + 1;
        const int j = i + static_cast<int>(static_cast<unsigned>(r) % static_cast<unsigned>(span));
        std::swap(table_[static_cast<size_t>(i - low)], table_[static_cast<size_t>(j - low)]);
    }
    tableLow_ = low;
    tableHigh_ = high;
}

bool CPasvPortSearch::Walk(int from, int high, const TryBind& tryBind, int& result) {
    for (int pos = from; pos <= high; ++pos) {
        result = tryBind(table_[static_cast<size_t>(pos - tableLow_)]);
        if (result != WSAEADDRINUSE) {
            cursor_ = pos;
            return true;
        }
    }
    return false;
}

int CPasvPortSearch::SearchRandom(int low, int high, int start, const TryBind& tryBind) {
    int result = WSAEADDRINUSE;
    // A table made for another range is of no use.
    if (!table_.empty() && (tableLow_ != low || tableHigh_ != high)) DiscardTable();

    // A fresh table is walked from its first position, so every port of the
    // range gets its turn; afterwards the walk goes on after the cursor.
    if (!table_.empty()) {
        if (Walk(cursor_ + 1, high, tryBind, result)) return result;
        DiscardTable();
        cursor_ = low;
    }
    BuildTable(low, high, start);
    if (Walk(low, high, tryBind, result)) return result;
    cursor_ = low;
    return WSAEADDRINUSE;
}

}  // namespace orvyn
