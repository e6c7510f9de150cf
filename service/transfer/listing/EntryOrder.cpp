#include "service/transfer/listing/EntryOrder.h"

#include <algorithm>

namespace orvyn {
namespace {

unsigned char Lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

}  // namespace

int CompareNames(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = Lower(static_cast<unsigned char>(a[i]));
        const unsigned char y = Lower(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    const int exact = a.compare(b);
    return exact < 0 ? -1 : (exact > 0 ? 1 : 0);
}

bool EntryBefore(const ListEntry& a, const ListEntry& b, SortOrder order) {
    switch (order) {
    case SortOrder::Unsorted:
        return false;
    case SortOrder::Time:
        // Always the last-write time, also when access times are shown.
        if (a.writeTime != b.writeTime) return a.writeTime > b.writeTime;
        break;
    case SortOrder::Name:
        break;
    }
    const int byName = CompareNames(a.name, b.name);
    if (byName != 0) return byName < 0;
    // Shown names can coincide ("docs" beside the shortcut "docs.lnk" shown as
    // "docs"); the names on disk never do.
    return a.NameOnDisk() < b.NameOnDisk();
}

void SortEntries(std::vector<ListEntry>& entries, SortOrder order, bool reverse) {
    if (order != SortOrder::Unsorted) {
        std::sort(entries.begin(), entries.end(),
                  [order](const ListEntry& a, const ListEntry& b) { return EntryBefore(a, b, order); });
    }
    if (reverse) std::reverse(entries.begin(), entries.end());
}

}  // namespace orvyn
