#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "service/transfer/listing/EntryOrder.h"

namespace orvyn {
namespace {

ListEntry Named(const std::string& name, std::time_t when = 0, const std::string& diskName = "") {
    ListEntry entry;
    entry.name = name;
    entry.diskName = diskName;
    entry.writeTime = when;
    return entry;
}

std::vector<std::string> Names(const std::vector<ListEntry>& entries) {
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.NameOnDisk());
    return names;
}

TEST(EntryOrder, NamesIgnoreCaseAndTiesGoByExactName) {
    EXPECT_LT(CompareNames("apple", "Banana"), 0);
    EXPECT_LT(CompareNames("README", "readme"), 0);  // same ignoring case: bytes decide
    EXPECT_GT(CompareNames("readme", "README"), 0);
    EXPECT_EQ(CompareNames("same", "same"), 0);
    EXPECT_LT(CompareNames("a", "ab"), 0);
    // Bytes above ASCII compare as they are.
    EXPECT_LT(CompareNames("z", "\xc3\xa9"), 0);
}

TEST(EntryOrder, NameOrderKeepsNamesDifferingOnlyInCase) {
    std::vector<ListEntry> entries = {Named("readme"), Named("b"), Named("README"), Named("Readme"), Named("A")};
    SortEntries(entries, SortOrder::Name, false);
    EXPECT_EQ(Names(entries), (std::vector<std::string>{"A", "b", "README", "Readme", "readme"}));
    SortEntries(entries, SortOrder::Name, true);
    EXPECT_EQ(Names(entries), (std::vector<std::string>{"readme", "Readme", "README", "b", "A"}));
}

TEST(EntryOrder, TimeOrderNewestFirstTiesByName) {
    std::vector<ListEntry> entries = {Named("old", 100), Named("b-same", 500), Named("new", 900),
                                      Named("a-same", 500), Named("A-same", 500)};
    SortEntries(entries, SortOrder::Time, false);
    EXPECT_EQ(Names(entries), (std::vector<std::string>{"new", "A-same", "a-same", "b-same", "old"}));
    SortEntries(entries, SortOrder::Time, true);
    EXPECT_EQ(Names(entries), (std::vector<std::string>{"old", "b-same", "a-same", "A-same", "new"}));
}

TEST(EntryOrder, UnsortedKeepsOrderAndReverseTurnsItRound) {
    std::vector<ListEntry> entries = {Named("c", 1), Named("a", 3), Named("b", 2)};
    SortEntries(entries, SortOrder::Unsorted, false);
    EXPECT_EQ(Names(entries), (std::vector<std::string>{"c", "a", "b"}));
    SortEntries(entries, SortOrder::Unsorted, true);
    EXPECT_EQ(Names(entries), (std::vector<std::string>{"b", "a", "c"}));
}

TEST(EntryOrder, EqualShownNamesAreAllKept) {
    // A shortcut shown as "docs" beside a file really named "docs".
    std::vector<ListEntry> entries = {Named("docs", 7, "docs.lnk"), Named("docs", 7), Named("docs", 7, "docs.up")};
    SortEntries(entries, SortOrder::Time, false);
    EXPECT_EQ(Names(entries), (std::vector<std::string>{"docs", "docs.lnk", "docs.up"}));
}

TEST(EntryOrder, ManyTiesNothingLost) {
    std::vector<ListEntry> entries;
    for (int i = 0; i < 2000; ++i) {
        std::string name = "f" + std::to_string(i % 1000);
        if (i >= 1000) std::transform(name.begin(), name.end(), name.begin(), ::toupper);
        entries.push_back(Named(name, 42));
    }
    for (SortOrder order : {SortOrder::Name, SortOrder::Time}) {
        std::vector<ListEntry> sorted = entries;
        SortEntries(sorted, order, false);
        ASSERT_EQ(sorted.size(), entries.size());
        for (std::size_t i = 1; i < sorted.size(); ++i) {
            EXPECT_TRUE(EntryBefore(sorted[i - 1], sorted[i], order)) << sorted[i - 1].name << " " << sorted[i].name;
        }
    }
}

TEST(EntryOrder, SortAgreesWithEntryBeforeOnMixedNames) {
    // Names drawn from a small alphabet of both cases, a digit and bytes
    // above 0x7f, so folded ties, exact ties and prefixes are all frequent;
    // a few shown names stand for shortcuts and suffixed names on disk.
    std::mt19937 random(7);
    const std::string alphabet = "aAbB1\xc3\xa9";
    std::vector<ListEntry> entries;
    for (int i = 0; i < 3000; ++i) {
        std::string name;
        const int length = 1 + static_cast<int>(random() % 4);
        for (int k = 0; k < length; ++k) name.push_back(alphabet[random() % alphabet.size()]);
        // Long names sharing their first eight bytes in either case.
        if (i % 3 == 0) name = (i % 2 == 0 ? "Entry-00" : "entry-00") + name;
        const std::string disk = i % 7 == 0 ? name + ".lnk#" + std::to_string(i) : name + "#" + std::to_string(i);
        entries.push_back(Named(name, static_cast<std::time_t>(random() % 5), disk));
    }
    for (SortOrder order : {SortOrder::Name, SortOrder::Time}) {
        for (bool reverse : {false, true}) {
            std::vector<ListEntry> expected = entries;
            std::stable_sort(expected.begin(), expected.end(),
                             [order](const ListEntry& a, const ListEntry& b) { return EntryBefore(a, b, order); });
            if (reverse) std::reverse(expected.begin(), expected.end());
            std::vector<ListEntry> sorted = entries;
            SortEntries(sorted, order, reverse);
            EXPECT_EQ(Names(sorted), Names(expected)) << "order " << static_cast<int>(order) << " reverse " << reverse;
        }
    }
}

}  // namespace
}  // namespace orvyn
