#include "service/transfer/listing/EntryOrder.h"

#include <algorithm>
#include <cstdint>
#include <string>

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
    if (order == SortOrder::Unsorted || entries.size() < 2) {
        if (reverse) std::reverse(entries.begin(), entries.end());
        return;
    }
    // Large folders are sorted as small records holding each name folded
    // once, so the sort neither folds letters again at every comparison nor
    // moves whole entries about; each entry is moved once at the end. The
    // result is the order EntryBefore gives.
    struct Item {
        std::uint64_t head;  // the first 8 folded bytes, big-endian, zero-padded
        std::size_t offset;
        std::uint32_t length;
        std::uint32_t index;
    };
    std::size_t total = 0;
    for (const ListEntry& entry : entries) total += entry.name.size();
    std::string folded;
    folded.reserve(total);
    std::vector<Item> items;
    items.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string& name = entries[i].name;
        Item item{0, folded.size(), static_cast<std::uint32_t>(name.size()), static_cast<std::uint32_t>(i)};
        for (std::size_t k = 0; k < name.size(); ++k) {
            const unsigned char lower = Lower(static_cast<unsigned char>(name[k]));
            folded.push_back(static_cast<char>(lower));
            if (k < 8) item.head |= std::uint64_t{lower} << (56 - 8 * k);
        }
        items.push_back(item);
    }
    // Names hold no NUL byte, so comparing the heads as numbers orders them
    // as the bytes do, and equal heads of names no longer than 8 bytes mean
    // equal folded names.
    const auto compareFolded = [&folded](const Item& x, const Item& y) {
        if (x.head != y.head) return x.head < y.head ? -1 : 1;
        if (x.length <= 8 && y.length <= 8) return 0;
        const std::string_view a = std::string_view(folded).substr(x.offset + 8, x.length - 8);
        const std::string_view b = std::string_view(folded).substr(y.offset + 8, y.length - 8);
        return a.compare(b);
    };
    std::sort(items.begin(), items.end(), [&](const Item& x, const Item& y) {
        const ListEntry& a = entries[x.index];
        const ListEntry& b = entries[y.index];
        if (order == SortOrder::Time && a.writeTime != b.writeTime) return a.writeTime > b.writeTime;
        const int byFolded = compareFolded(x, y);
        if (byFolded != 0) return byFolded < 0;
        const int exact = a.name.compare(b.name);
        if (exact != 0) return exact < 0;
        return a.NameOnDisk() < b.NameOnDisk();
    });
    if (reverse) std::reverse(items.begin(), items.end());

    // Put every entry in its place by following the cycles of the
    // permutation: no second copy of the entries is made.
    constexpr std::uint32_t kPlaced = UINT32_MAX;
    std::vector<std::uint32_t> from(items.size());  // position -> index of the entry that belongs there
    for (std::size_t i = 0; i < items.size(); ++i) from[i] = items[i].index;
    items = std::vector<Item>();
    for (std::size_t start = 0; start < from.size(); ++start) {
        if (from[start] == kPlaced) continue;
        if (from[start] == start) {
            from[start] = kPlaced;
            continue;
        }
        ListEntry held = std::move(entries[start]);
        std::size_t at = start;
        for (;;) {
            const std::size_t source = from[at];
            from[at] = kPlaced;
            if (source == start) {
                entries[at] = std::move(held);
                break;
            }
            entries[at] = std::move(entries[source]);
            at = source;
        }
    }
}

}  // namespace orvyn
