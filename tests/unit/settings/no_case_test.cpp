// The ASCII letter-case rules names are compared with.
#include <gtest/gtest.h>

#include <string>

#include "service/base/text/NoCase.h"

namespace orvyn {
namespace {

TEST(NoCase, OnlyAsciiLettersFoldAndTheWholeTextCounts) {
    EXPECT_TRUE(EqualsNoCase("Rights.X", "rIGHTS.x"));
    EXPECT_TRUE(EqualsNoCase("", ""));
    EXPECT_FALSE(EqualsNoCase("ftp", "ft"));
    // '@' '[' '`' '{' sit one case bit apart from letters but are no letters;
    // Latin-1 and UTF-8 letters are bytes like any other.
    EXPECT_FALSE(EqualsNoCase("@[", "`{"));
    EXPECT_FALSE(EqualsNoCase("\xC9", "\xE9"));
    // An embedded NUL does not end the comparison.
    EXPECT_FALSE(EqualsNoCase(std::string("a\0b", 3), std::string("A\0c", 3)));

    EXPECT_TRUE(StartsWithNoCase("-InstallQ", "-install"));
    EXPECT_FALSE(StartsWithNoCase("-in", "-install"));
    EXPECT_TRUE(EndsWithNoCase("a.LNK", ".lnk"));
    EXPECT_FALSE(EndsWithNoCase("lnk", ".lnk"));
}

TEST(NoCase, OrderingAgreesWithEquality) {
    const LessNoCase less;
    EXPECT_FALSE(less("CON", "con"));
    EXPECT_FALSE(less("con", "CON"));
    // A name is not equivalent to its longer continuations.
    EXPECT_TRUE(less("COM", "com1"));
    EXPECT_FALSE(less("com1", "COM"));
}

}  // namespace
}  // namespace orvyn
