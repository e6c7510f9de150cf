// The passive port search: the order in which ports of LowPort..HighPort are
// offered, wrapping, walking past ports in use, and the shuffled table.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "platform/eventloop/Winsock.h"
#include "service/transfer/data/PasvPortSearch.h"

namespace orvyn {
namespace {

using eventloop::WSAEACCES;
using eventloop::WSAEADDRINUSE;

// A fake network: ports in `busy` are in use; every attempt is recorded.
struct FakeBinder {
    std::set<int> busy;
    std::vector<int> tried;
    int failWith = 0;  // error for every port not busy (0 = binds)

    CPasvPortSearch::TryBind Bind() {
        return [this](int port) {
            tried.push_back(port);
            if (busy.count(port)) return WSAEADDRINUSE;
            return failWith;
        };
    }
};

TEST(SequentialSearch, StartsTwoAboveTheCursor) {
    CPasvPortSearch search;
    FakeBinder net;
    EXPECT_EQ(search.Search(5000, 5010, false, net.Bind()), 0);
    EXPECT_EQ(net.tried, std::vector<int>({5002}));
    EXPECT_EQ(search.Search(5000, 5010, false, net.Bind()), 0);
    EXPECT_EQ(net.tried, std::vector<int>({5002, 5004}));
    EXPECT_EQ(search.cursor(), 5004);
}

TEST(SequentialSearch, WrapsAtTheTopOfTheRange) {
    CPasvPortSearch search;
    FakeBinder net;
    std::vector<int> offered;
    for (int i = 0; i < 8; ++i) {
        net.tried.clear();
        ASSERT_EQ(search.Search(5000, 5010, false, net.Bind()), 0);
        offered.push_back(net.tried.back());
    }
    // 5010 + 2 = 5012 is 5001 after taking away the range's 11 ports.
    EXPECT_EQ(offered, std::vector<int>({5002, 5004, 5006, 5008, 5010, 5001, 5003, 5005}));
}

TEST(SequentialSearch, WalksPastPortsInUseAndWraps) {
    CPasvPortSearch search;
    FakeBinder net;
    net.busy = {5002, 5003, 5004};
    EXPECT_EQ(search.Search(5000, 5005, false, net.Bind()), 0);
    EXPECT_EQ(net.tried, std::vector<int>({5002, 5003, 5004, 5005}));
    EXPECT_EQ(search.cursor(), 5005);

    // Next start is 5007 -> 5001; make everything above busy so it wraps.
    net.tried.clear();
    net.busy = {5001, 5002, 5003, 5004, 5005};
    EXPECT_EQ(search.Search(5000, 5005, false, net.Bind()), 0);
    EXPECT_EQ(net.tried, std::vector<int>({5001, 5002, 5003, 5004, 5005, 5000}));
    EXPECT_EQ(search.cursor(), 5000);
}

TEST(SequentialSearch, AllInUseTriesEachPortOnceAndKeepsTheCursor) {
    CPasvPortSearch search;
    FakeBinder net;
    ASSERT_EQ(search.Search(5000, 5010, false, net.Bind()), 0);  // cursor 5002
    net.tried.clear();
    for (int p = 5000; p <= 5010; ++p) net.busy.insert(p);
    EXPECT_EQ(search.Search(5000, 5010, false, net.Bind()), WSAEADDRINUSE);
    std::vector<int> sorted = net.tried;
    std::sort(sorted.begin(), sorted.end());
    std::vector<int> all;
    for (int p = 5000; p <= 5010; ++p) all.push_back(p);
    EXPECT_EQ(sorted, all);
    EXPECT_EQ(net.tried.front(), 5004);
    EXPECT_EQ(search.cursor(), 5002);
}

TEST(SequentialSearch, StopsAtTheFirstOtherError) {
    CPasvPortSearch search;
    FakeBinder net;
    net.busy = {5002};
    net.failWith = WSAEACCES;
    EXPECT_EQ(search.Search(5000, 5010, false, net.Bind()), WSAEACCES);
    EXPECT_EQ(net.tried, std::vector<int>({5002, 5003}));
    EXPECT_EQ(search.cursor(), 5000);  // raised to LowPort, not moved by a failure
}

TEST(SequentialSearch, EmptyRangeBindsAnyPort) {
    CPasvPortSearch search;
    FakeBinder net;
    EXPECT_EQ(search.Search(5000, 5000, false, net.Bind()), 0);
    EXPECT_EQ(search.Search(6000, 5000, true, net.Bind()), 0);
    EXPECT_EQ(search.Search(0, 0, false, net.Bind()), 0);
    EXPECT_EQ(net.tried, std::vector<int>({0, 0, 0}));
    net.failWith = WSAEACCES;
    EXPECT_EQ(search.Search(0, 0, false, net.Bind()), WSAEACCES);
}

TEST(SequentialSearch, ClampsTheRange) {
    CPasvPortSearch search;
    FakeBinder net;
    for (int p = 65530; p <= 65535; ++p) net.busy.insert(p);
    net.busy.erase(65535);
    // HighPort beyond 65535 counts as 65535; the cursor starts from 65530.
    EXPECT_EQ(search.Search(65530, 70000, false, net.Bind()), 0);
    EXPECT_EQ(net.tried, std::vector<int>({65532, 65533, 65534, 65535}));
    net.tried.clear();
    CPasvPortSearch low;
    EXPECT_EQ(low.Search(-5, 3, false, net.Bind()), 0);
    EXPECT_EQ(net.tried, std::vector<int>({2}));
}

TEST(SequentialSearch, CursorOutsideANarrowedRangeIsBroughtBack) {
    CPasvPortSearch search;
    FakeBinder net;
    ASSERT_EQ(search.Search(5000, 6000, false, net.Bind()), 0);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(search.Search(5000, 6000, false, net.Bind()), 0);
    ASSERT_GT(search.cursor(), 5500);
    net.tried.clear();
    ASSERT_EQ(search.Search(5000, 5010, false, net.Bind()), 0);
    ASSERT_EQ(net.tried.size(), 1u);
    EXPECT_GE(net.tried[0], 5000);
    EXPECT_LE(net.tried[0], 5010);
}

TEST(RandomSearch, TableIsAPermutationOfTheRange) {
    CPasvPortSearch search;
    FakeBinder net;
    ASSERT_EQ(search.Search(5000, 5010, true, net.Bind()), 0);
    std::vector<int> table = search.table();
    ASSERT_EQ(table.size(), 11u);
    std::sort(table.begin(), table.end());
    for (int i = 0; i < 11; ++i) EXPECT_EQ(table[static_cast<size_t>(i)], 5000 + i);
}

TEST(RandomSearch, ForwardShuffleOverTheRandomSource) {
    // With a source that always says 0 every position swaps with itself: the
    // table stays in fill order, starting at the start port and wrapping.
    CPasvPortSearch still([] { return 0; });
    FakeBinder net;
    ASSERT_EQ(still.Search(5000, 5004, true, net.Bind()), 0);
    EXPECT_EQ(still.table(), std::vector<int>({5002, 5003, 5004, 5000, 5001}));

    // With a source that always says 1 each position swaps with the next:
    // the first entry travels to the end.
    CPasvPortSearch rotate([] { return 1; });
    ASSERT_EQ(rotate.Search(5000, 5004, true, net.Bind()), 0);
    EXPECT_EQ(rotate.table(), std::vector<int>({5003, 5004, 5000, 5001, 5002}));
}

TEST(RandomSearch, EveryPortIsOfferedOncePerRound) {
    CPasvPortSearch search;
    FakeBinder net;
    std::vector<int> offered;
    for (int i = 0; i < 11; ++i) {
        net.tried.clear();
        ASSERT_EQ(search.Search(5000, 5010, true, net.Bind()), 0);
        offered.push_back(net.tried.back());
    }
    std::sort(offered.begin(), offered.end());
    for (int i = 0; i < 11; ++i) EXPECT_EQ(offered[static_cast<size_t>(i)], 5000 + i);
    // The next search starts a fresh round with a new table.
    net.tried.clear();
    ASSERT_EQ(search.Search(5000, 5010, true, net.Bind()), 0);
    EXPECT_EQ(net.tried.size(), 1u);
}

TEST(RandomSearch, FindsTheOnlyFreePortWhereverItLies) {
    for (int freePort = 5000; freePort <= 5003; ++freePort) {
        CPasvPortSearch search;
        FakeBinder net;
        for (int p = 5000; p <= 5003; ++p) {
            if (p != freePort) net.busy.insert(p);
        }
        EXPECT_EQ(search.Search(5000, 5003, true, net.Bind()), 0) << freePort;
        EXPECT_EQ(net.tried.back(), freePort);
    }
}

TEST(RandomSearch, AllInUseReshufflesOnceThenGivesUp) {
    CPasvPortSearch search;
    FakeBinder net;
    ASSERT_EQ(search.Search(5000, 5004, true, net.Bind()), 0);  // one position used
    net.tried.clear();
    for (int p = 5000; p <= 5004; ++p) net.busy.insert(p);
    EXPECT_EQ(search.Search(5000, 5004, true, net.Bind()), WSAEADDRINUSE);
    // The rest of the old table (4 positions), then one whole new table (5).
    EXPECT_EQ(net.tried.size(), 9u);
}

TEST(RandomSearch, DiscardTableMakesANewOne) {
    int calls = 0;
    CPasvPortSearch search([&] { return ++calls; });
    FakeBinder net;
    ASSERT_EQ(search.Search(5000, 5010, true, net.Bind()), 0);
    const int afterFirst = calls;
    EXPECT_EQ(afterFirst, 10);  // one draw per position but the last
    ASSERT_EQ(search.Search(5000, 5010, true, net.Bind()), 0);
    EXPECT_EQ(calls, afterFirst);  // the table is kept between searches
    search.DiscardTable();
    EXPECT_TRUE(search.table().empty());
    ASSERT_EQ(search.Search(5000, 5010, true, net.Bind()), 0);
    EXPECT_EQ(calls, 2 * afterFirst);
    // A table for another range is not used.
    ASSERT_EQ(search.Search(6000, 6004, true, net.Bind()), 0);
    EXPECT_EQ(search.table().size(), 5u);
    EXPECT_GE(net.tried.back(), 6000);
    EXPECT_LE(net.tried.back(), 6004);
}

}  // namespace
}  // namespace orvyn
