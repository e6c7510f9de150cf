#include <gtest/gtest.h>

#include "service/transfer/listing/ListOptions.h"

namespace orvyn {
namespace {

TEST(ListOptions, DefaultLetterAndPath) {
    const ListOptions list = ListOptions::Parse("", 'l');
    EXPECT_TRUE(list.longFormat);
    EXPECT_FALSE(list.onePerLine);
    EXPECT_EQ(list.path, ".");
    EXPECT_EQ(list.letters, "l");
    EXPECT_EQ(list.sortOrder(), SortOrder::Name);
    EXPECT_TRUE(list.changeTime);

    const ListOptions nlst = ListOptions::Parse("", '1');
    EXPECT_TRUE(nlst.onePerLine);
    EXPECT_FALSE(nlst.longFormat);

    // An argument without a leading dash is all path, spaces and dashes included.
    const ListOptions plain = ListOptions::Parse("my dir -l", '1');
    EXPECT_EQ(plain.path, "my dir -l");
    EXPECT_TRUE(plain.onePerLine);
    EXPECT_FALSE(plain.longFormat);
}

TEST(ListOptions, LettersThenPathAfterFirstSpace) {
    const ListOptions la = ListOptions::Parse("-la", '1');
    EXPECT_TRUE(la.longFormat);
    EXPECT_FALSE(la.onePerLine);
    EXPECT_EQ(la.path, ".");
    EXPECT_EQ(la.letters, "1la");

    const ListOptions withPath = ListOptions::Parse("-tr some dir", 'l');
    EXPECT_EQ(withPath.path, "some dir");
    EXPECT_TRUE(withPath.byTime);
    EXPECT_TRUE(withPath.reverse);
    EXPECT_EQ(withPath.sortOrder(), SortOrder::Time);

    // Nothing after the space: the current folder.
    EXPECT_EQ(ListOptions::Parse("-l ", 'l').path, ".");
}

TEST(ListOptions, ExclusiveGroupsLaterLetterWins) {
    const ListOptions oneAfterL = ListOptions::Parse("-l1", 'l');
    EXPECT_TRUE(oneAfterL.onePerLine);
    EXPECT_FALSE(oneAfterL.longFormat);
    EXPECT_FALSE(oneAfterL.columns);

    const ListOptions lAfterOne = ListOptions::Parse("-1l", '1');
    EXPECT_TRUE(lAfterOne.longFormat);
    EXPECT_FALSE(lAfterOne.onePerLine);

    const ListOptions columns = ListOptions::Parse("-lC", 'l');
    EXPECT_TRUE(columns.columns);
    EXPECT_FALSE(columns.longFormat);
    EXPECT_FALSE(columns.onePerLine);

    const ListOptions dAfterR = ListOptions::Parse("-Rd", 'l');
    EXPECT_TRUE(dAfterR.directoryAsEntry);
    EXPECT_FALSE(dAfterR.recursive);
    const ListOptions rAfterD = ListOptions::Parse("-dR", 'l');
    EXPECT_TRUE(rAfterD.recursive);
    EXPECT_FALSE(rAfterD.directoryAsEntry);

    const ListOptions cAfterU = ListOptions::Parse("-uc", 'l');
    EXPECT_FALSE(cAfterU.accessTime);
    EXPECT_TRUE(cAfterU.changeTime);
    const ListOptions uAfterC = ListOptions::Parse("-cu", 'l');
    EXPECT_TRUE(uAfterC.accessTime);
    EXPECT_FALSE(uAfterC.changeTime);

    // Letters of different groups combine.
    const ListOptions all = ListOptions::Parse("-sFRf", '1');
    EXPECT_TRUE(all.blocks && all.classify && all.recursive && all.unsorted && all.onePerLine);
    EXPECT_TRUE(all.needsTotals());
}

TEST(ListOptions, UnknownLettersIgnored) {
    const ListOptions options = ListOptions::Parse("-xyzlQ-", '1');
    EXPECT_EQ(options.letters, "1l");
    EXPECT_TRUE(options.longFormat);
    EXPECT_FALSE(options.blocks || options.byTime || options.reverse || options.recursive);
    // "a" and "A" are taken but change nothing.
    const ListOptions a = ListOptions::Parse("-aA", 'l');
    EXPECT_EQ(a.letters, "laA");
    EXPECT_TRUE(a.longFormat);
}

TEST(ListOptions, AtMost28LettersTaken) {
    const std::string filler(27, 'a');
    const ListOptions within = ListOptions::Parse("-" + filler + "t x", 'l');
    EXPECT_TRUE(within.byTime);
    EXPECT_EQ(within.path, "x");
    const ListOptions beyond = ListOptions::Parse("-" + filler + "at x", 'l');
    EXPECT_FALSE(beyond.byTime);
    EXPECT_EQ(beyond.path, "x");
    EXPECT_EQ(beyond.letters.size(), 1u + ListOptions::kMaxLetters);
    // A huge option word is cut, never read past.
    const ListOptions huge = ListOptions::Parse("-" + std::string(100000, 'r'), 'l');
    EXPECT_EQ(huge.letters.size(), 1u + ListOptions::kMaxLetters);
    EXPECT_EQ(huge.path, ".");
}

TEST(ListOptions, UnsortedTakesPrecedenceOverTime) {
    EXPECT_EQ(ListOptions::Parse("-tf", 'l').sortOrder(), SortOrder::Unsorted);
    EXPECT_EQ(ListOptions::Parse("-ft", 'l').sortOrder(), SortOrder::Unsorted);
    EXPECT_EQ(ListOptions::Parse("-ut", 'l').sortOrder(), SortOrder::Time);
}

TEST(ListOptions, ParentStepAfterSeparatorIsRefused) {
    EXPECT_TRUE(HasParentStep("a/../x"));
    EXPECT_TRUE(HasParentStep("a\\..\\x"));
    EXPECT_TRUE(HasParentStep("/.."));
    EXPECT_TRUE(HasParentStep("-l dir/.."));
    EXPECT_FALSE(HasParentStep("../x"));
    EXPECT_FALSE(HasParentStep(".."));
    EXPECT_FALSE(HasParentStep("a..b/c"));
    EXPECT_FALSE(HasParentStep("dir/.hidden"));
    EXPECT_FALSE(HasParentStep("/."));
}

}  // namespace
}  // namespace orvyn
