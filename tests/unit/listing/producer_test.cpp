#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "listing_support.h"
#include "service/transfer/listing/ListingProducer.h"

namespace orvyn {
namespace {

using test::Lines;
using test::TempTree;
using test::Utc;
using namespace listing_rights;

const std::time_t kNow = Utc(2024, 6, 15, 12, 0, 0);
const std::time_t kRecent = Utc(2024, 6, 1, 10, 30);

struct Listing {
    ListingOutcome outcome;
    std::string text;
};

class ProducerTest : public ::testing::Test {
protected:
    ListingRequest Request(const std::string& argument, char defaultLetter = 'l') {
        ListingRequest request;
        request.options = ListOptions::Parse(argument, defaultLetter);
        request.resolve = [this](const std::string& path) { return tree.Resolve(path); };
        request.reader.rightsOf = [this](const std::string& path) {
            for (const auto& [denied, mask] : rights) {
                if (path == tree.At(denied) || path == tree.At(denied) + "/") return mask;
            }
            return 15;
        };
        request.reader.clientPathOf = [this](const std::string& path) { return tree.ClientPath(path); };
        for (const auto& v : tree.virtuals()) {
            request.reader.virtualDirs.push_back(
                VirtualDirectory{tree.At(v.place.substr(1)), tree.At(v.target.substr(1))});
        }
        request.now = kNow;
        return request;
    }

    Listing Run(ListingRequest request, const std::atomic<bool>* stop = nullptr) {
        Listing result;
        ListingOutput out(
            [&](std::string_view text) {
                result.text.append(text);
                return true;
            },
            request.docutech);
        ListingProducer producer(std::move(request), stop);
        result.outcome = producer.Run(out);
        return result;
    }

    std::vector<std::string> List(const std::string& argument, char defaultLetter = 'l') {
        const Listing listing = Run(Request(argument, defaultLetter));
        EXPECT_EQ(listing.outcome, ListingOutcome::Completed);
        return Lines(listing.text);
    }

    TempTree tree;
    std::vector<std::pair<std::string, int>> rights;  // rel path -> mask (others: all rights)
};

TEST_F(ProducerTest, NlstNamesSortedIgnoringCase) {
    tree.File("b.txt");
    tree.File("A.txt");
    tree.File("a.txt");
    tree.File(".profile");
    tree.Dir("Dir");
    EXPECT_EQ(List("", '1'), (std::vector<std::string>{"A.txt", "a.txt", "b.txt", "Dir"}));
    EXPECT_EQ(List("-r", '1'), (std::vector<std::string>{"Dir", "b.txt", "a.txt", "A.txt"}));
}

TEST_F(ProducerTest, LongListingWithTotal) {
    tree.File("small", 100, kRecent);
    tree.File("big.bin", 2048, Utc(2020, 2, 29, 8, 0));
    tree.Dir("sub", kRecent);
    rights.push_back({"small", kRead});
    struct stat folder;
    ASSERT_EQ(stat(tree.At("sub").c_str(), &folder), 0);
    const auto lines = List("-la");
    ASSERT_EQ(lines.size(), 4u);
    // 100 bytes -> 1 block, 2048 -> 5, the folder's size / 512 + 1.
    EXPECT_EQ(lines[0], "total " + std::to_string(1 + 5 + folder.st_size / 512 + 1));
    EXPECT_EQ(lines[1], "-rwxrwxrwx  1 noone    nogroup      2048 Feb 29  2020 big.bin");
    EXPECT_EQ(lines[2], "-r-xr-xr-x  1 noone    nogroup       100 Jun  1 10:30 small");
    EXPECT_EQ(lines[3].substr(0, 10), "drwxrwxrwx");
    EXPECT_EQ(lines[3].substr(lines[3].size() - 4), " sub");
    // An empty folder has no total line.
    tree.Dir("empty");
    EXPECT_TRUE(List("-l empty").empty());
}

TEST_F(ProducerTest, SameSecondAndCaseTwinsAreAllListed) {
    for (const char* name : {"Readme", "README", "readme", "other"}) tree.File(name, 1, kRecent);
    const std::vector<std::string> byName = List("", '1');
    EXPECT_EQ(byName, (std::vector<std::string>{"other", "README", "Readme", "readme"}));
    const std::vector<std::string> byTime = List("-t", '1');
    EXPECT_EQ(byTime, (std::vector<std::string>{"other", "README", "Readme", "readme"}));
    tree.File("newest", 1, kRecent + 60);
    EXPECT_EQ(List("-t", '1').front(), "newest");
    EXPECT_EQ(List("-tr", '1').back(), "newest");
}

TEST_F(ProducerTest, UnsortedStreamsEverything) {
    std::set<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        const std::string name = "n" + std::to_string(i);
        tree.File(name, static_cast<std::size_t>(i));
        expected.insert(name);
    }
    const auto streamed = List("-f1");
    EXPECT_EQ(std::set<std::string>(streamed.begin(), streamed.end()), expected);
    EXPECT_EQ(streamed.size(), expected.size());
    const auto reversed = List("-fr1");
    EXPECT_EQ(std::vector<std::string>(reversed.rbegin(), reversed.rend()), streamed);

    // The long form in file-system order has the same total and widths as the sorted one.
    const auto longStreamed = List("-fl");
    const auto longSorted = List("-l");
    ASSERT_EQ(longStreamed.size(), longSorted.size());
    EXPECT_EQ(longStreamed.front(), longSorted.front());  // total
    EXPECT_EQ(std::set<std::string>(longStreamed.begin(), longStreamed.end()),
              std::set<std::string>(longSorted.begin(), longSorted.end()));
}

TEST_F(ProducerTest, DirectoryAsEntryAndSingleFiles) {
    tree.Dir("dir", kRecent);
    tree.File("dir/inside", 1);
    tree.File("dir/f.txt", 7, kRecent);
    const auto d = List("-ld dir");
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].substr(0, 1), "d");
    EXPECT_EQ(d[0].substr(d[0].size() - 4), " dir");
    const auto one = List("-l dir/f.txt");
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], "-rwxrwxrwx  1 noone    nogroup         7 Jun  1 10:30 f.txt");
    EXPECT_TRUE(List("-l dir/missing").empty());
    // A shortcut that leads nowhere, named directly, is a file under its own name.
    tree.Link("dir/broken.lnk", "gone");
    const auto broken = List("-l dir/broken.lnk");
    ASSERT_EQ(broken.size(), 1u);
    EXPECT_EQ(broken[0][0], '-');
    EXPECT_EQ(broken[0].substr(broken[0].size() - 11), " broken.lnk");
    // The listing of "../x" is left to the resolver: here it leaves the tree.
    EXPECT_TRUE(List("-l ../x").empty());
}

TEST_F(ProducerTest, RecursionDepthFirstWithHeaders) {
    tree.File("top.txt");
    tree.Dir("a");
    tree.File("a/a1");
    tree.Dir("a/deep");
    tree.File("a/deep/d1");
    tree.Dir("b");
    tree.File("b/b1");
    EXPECT_EQ(List("-R", '1'), (std::vector<std::string>{"a", "b", "top.txt",
                                                        "", "./a:", "a1", "deep",
                                                        "", "./a/deep:", "d1",
                                                        "", "./b:", "b1"}));
    // Reversed order recurses in reversed order.
    EXPECT_EQ(List("-Rr1 b"), (std::vector<std::string>{"b1"}));
    const auto reversed = List("-R1r");
    EXPECT_EQ(reversed[0], "top.txt");
    EXPECT_EQ(reversed[4], "./b:");
}

TEST_F(ProducerTest, RecursionSkipsFoldersWithoutListRightAndEndsOnLoops) {
    tree.Dir("open");
    tree.File("open/x");
    tree.Dir("closed");
    tree.File("closed/secret");
    tree.Link("open/loop", "..");  // leads back to the top
    rights.push_back({"closed", kRead});
    const auto lines = List("-R", '1');
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "secret"), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "./closed:"), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "./open:"), 1);
    // The loop is shown as a folder but not entered again.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "./open/loop:"), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "loop"), 1);

    // Without L on the listed folder nothing at all is written.
    rights.push_back({"", kRead});
    EXPECT_TRUE(List("-R", '1').empty());
}

TEST_F(ProducerTest, WildcardInLastComponent) {
    tree.File("one.txt", 1, kRecent);
    tree.File("two.txt", 1, kRecent);
    tree.File("three.log", 1, kRecent);
    tree.Dir("sub.txt");
    tree.File("sub.txt/inner");
    tree.File("denied.txt");
    rights.push_back({"denied.txt", kRead});  // no L: not a match
    // Files first as one block (no header, no total), then each matching folder.
    EXPECT_EQ(List("*.txt", '1'), (std::vector<std::string>{"one.txt", "two.txt", "", "sub.txt:", "inner"}));
    const auto longForm = List("-l t*");
    ASSERT_EQ(longForm.size(), 2u);
    EXPECT_EQ(longForm[0].substr(longForm[0].size() - 10), " three.log");
    // With d the folder is one of the block's entries.
    EXPECT_EQ(List("-d *.txt", '1'), (std::vector<std::string>{"one.txt", "sub.txt", "two.txt"}));
    // Only folders match: the first one needs no header.
    EXPECT_EQ(List("sub*", '1'), (std::vector<std::string>{"inner"}));
    EXPECT_TRUE(List("*.none", '1').empty());
    // Without L on the parent nothing matches.
    rights.push_back({"", kRead});
    EXPECT_TRUE(List("*.txt", '1').empty());
}

TEST_F(ProducerTest, WildcardInEarlierComponent) {
    tree.Dir("d1");
    tree.File("d1/x1");
    tree.File("d1/y1");
    tree.Dir("d2");
    tree.File("d2/x2");
    tree.File("dfile");
    tree.Dir("d*weird");  // a folder whose name holds a wildcard character
    tree.File("d*weird/x3");
    EXPECT_EQ(List("d*/x*", '1'), (std::vector<std::string>{"x3", "x1", "x2"}));
    EXPECT_EQ(List("/d?/y*", '1'), (std::vector<std::string>{"y1"}));
}

TEST_F(ProducerTest, ShortcutsAndVirtualDirectories) {
    tree.Dir("pub");
    tree.File("pub/target.txt", 5, kRecent);
    tree.Link("docs.lnk", "pub/target.txt");
    tree.Dir("elsewhere");
    tree.File("elsewhere/e1");
    tree.AddVirtual("v", "elsewhere");
    const auto lines = List("-lF");
    ASSERT_EQ(lines.size(), 5u);  // total, docs, elsewhere, pub, v
    EXPECT_EQ(lines[1][0], 'l');
    EXPECT_NE(lines[1].find(" docs@ -> /pub/target.txt"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[4][0], 'd');
    EXPECT_EQ(lines[4].substr(lines[4].size() - 3), " v/");
    // Recursion enters the virtual directory through its place.
    const auto recursive = List("-R1");
    EXPECT_NE(std::find(recursive.begin(), recursive.end(), "./v:"), recursive.end());
    EXPECT_EQ(std::count(recursive.begin(), recursive.end(), "e1"), 2);  // under elsewhere and under v
}

TEST_F(ProducerTest, DocutechMarksRemoved) {
    tree.Dir("case.djo");
    tree.File("case.djo/page.djo.txt");
    tree.File("case.djo/UPPER.DJO");  // not a mark: the folder's name is completed with ".djo" only
    ListingRequest request = Request("-R", '1');
    request.docutech = true;
    const Listing listing = Run(std::move(request));
    EXPECT_EQ(listing.outcome, ListingOutcome::Completed);
    EXPECT_EQ(Lines(listing.text), (std::vector<std::string>{"case", "", "./case:", "page.txt", "UPPER.DJO"}));
}

TEST_F(ProducerTest, OutputFailureAndStop) {
    for (int i = 0; i < 50; ++i) tree.File("f" + std::to_string(i));
    ListingOutput refusing([](std::string_view) { return false; }, false);
    ListingProducer failing(Request("-l"), nullptr);
    EXPECT_EQ(failing.Run(refusing), ListingOutcome::Failed);

    std::atomic<bool> stop{false};
    // The long form asks for every entry's rights, which raises the flag
    // part way through.
    ListingRequest request = Request("-fl");
    int asked = 0;
    request.reader.rightsOf = [&](const std::string&) {
        if (++asked == 10) stop.store(true);
        return 15;
    };
    const Listing stopped = Run(std::move(request), &stop);
    EXPECT_EQ(stopped.outcome, ListingOutcome::Stopped);
    EXPECT_LT(asked, 50);
}

}  // namespace
}  // namespace orvyn
