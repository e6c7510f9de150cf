// Text rules of disk paths: prefix coverage, the two joins, device names and
// the trimming of trailing dots and spaces.
#include <gtest/gtest.h>

#include <string>

#include "paths_support.h"
#include "service/accounts/paths/DeviceNames.h"
#include "service/accounts/paths/DiskPath.h"

namespace orvyn {
namespace {

TEST(IsPathPrefix, CoversAtComponentBoundariesOnly) {
    EXPECT_TRUE(IsPathPrefix("/ftp", "/ftp"));
    EXPECT_TRUE(IsPathPrefix("/ftp", "/ftp/x"));
    EXPECT_TRUE(IsPathPrefix("/ftp/", "/ftp"));
    EXPECT_TRUE(IsPathPrefix("/ftp/", "/ftp/"));
    EXPECT_TRUE(IsPathPrefix("/ftp/", "/ftp/pub/x"));
    EXPECT_FALSE(IsPathPrefix("/ftp", "/ftpx"));
    EXPECT_FALSE(IsPathPrefix("/ftp/", "/ftpx"));
    EXPECT_FALSE(IsPathPrefix("/ftp/pub/", "/ftp/"));
    EXPECT_FALSE(IsPathPrefix("/ftp/pub", "/ftp/pu"));
    EXPECT_TRUE(IsPathPrefix("/", "/anything/at/all"));
    EXPECT_TRUE(IsPathPrefix("", "/x"));
    EXPECT_TRUE(IsPathPrefix("*", "*"));
    EXPECT_FALSE(IsPathPrefix("*", "/x/"));
}

TEST(IsPathPrefix, LetterCaseAndBackslashesCount) {
    // The file system tells these apart, so the root check must too.
    EXPECT_FALSE(IsPathPrefix("/srv/ftp/alice/", "/srv/ftp/ALICE/"));
    EXPECT_FALSE(IsPathPrefix("/srv/ftp/Alice/", "/srv/ftp/alice/x"));
    // "\" is an ordinary character in a disk path: "alice\x" is a file next
    // to the folder alice, not inside it.
    EXPECT_FALSE(IsPathPrefix("/srv/ftp/alice/", "/srv/ftp/alice\\x"));
    EXPECT_FALSE(IsPathPrefix("/srv/ftp/alice\\", "/srv/ftp/alice/x"));
}

TEST(OwnJoin, DotsAndSeparators) {
    EXPECT_EQ(OwnJoin("/ftp/pub", "x").value(), "/ftp/pub/x");
    EXPECT_EQ(OwnJoin("/ftp/pub/", "x/").value(), "/ftp/pub/x");
    EXPECT_EQ(OwnJoin("/ftp/pub", "").value(), "/ftp/pub");
    EXPECT_EQ(OwnJoin("/ftp/pub", "/x").value(), "/x");
    EXPECT_EQ(OwnJoin("/ftp/pub", "//x").value(), "/x");
    EXPECT_EQ(OwnJoin("/ftp/pub", "a//b///c").value(), "/ftp/pub/a/b/c");
    EXPECT_EQ(OwnJoin("/ftp/pub", "./a/./b/.").value(), "/ftp/pub/a/b");
    EXPECT_EQ(OwnJoin("/ftp/pub", "../x").value(), "/ftp/x");
    EXPECT_EQ(OwnJoin("/ftp/pub", "a\\..\\..\\y").value(), "/ftp/y");
    EXPECT_EQ(OwnJoin("/ftp/pub", "..").value(), "/ftp");
    EXPECT_EQ(OwnJoin("/ftp/pub", "../..").value(), "/");
    // Three dots are a name, not two levels up.
    EXPECT_EQ(OwnJoin("/ftp/pub", "...").value(), "/ftp/pub/...");
    EXPECT_EQ(OwnJoin("/ftp/pub", ".../x").value(), "/ftp/pub/.../x");
}

TEST(OwnJoin, FailsAboveTheRootAndWhenTooLong) {
    EXPECT_FALSE(OwnJoin("/ftp/pub", "../../..").has_value());
    EXPECT_FALSE(OwnJoin("/", "..").has_value());
    EXPECT_FALSE(OwnJoin("/", "/../etc").has_value());
    EXPECT_FALSE(OwnJoin("relative", "x").has_value());
    EXPECT_FALSE(OwnJoin("", "x").has_value());
    const std::string longName(kMaxDiskPath, 'a');
    EXPECT_FALSE(OwnJoin("/ftp", longName).has_value());
    // Exactly at the limit fits; one more does not.
    const std::string fits(kMaxDiskPath - 5, 'b');
    EXPECT_EQ(OwnJoin("/ftp", fits).value().size(), kMaxDiskPath);
    EXPECT_FALSE(OwnJoin("/ftp", fits + "c").has_value());
    // A long name that ".." brings back under the limit is fine: the limit
    // applies to the result, never by cutting it.
    EXPECT_EQ(OwnJoin("/ftp", longName + "/..").value(), "/ftp");
}

TEST(PlatformJoin, SystemRulesWithoutTheCurrentDirectory) {
    test::TempTree tree;
    tree.Dir("pub/sub");
    const DeviceNames devices;
    const std::string pub = tree.At("pub");
    EXPECT_EQ(PlatformJoin(pub, "sub", devices).value(), pub + "/sub");
    EXPECT_EQ(PlatformJoin(pub, "", devices).value(), pub + "/");
    EXPECT_EQ(PlatformJoin(pub, "..\\x", devices).value(), tree.top() + "/x");
    // At the root ".." stays at the root, as the system does it.
    EXPECT_EQ(PlatformJoin(pub, "/../../etc", devices).value(), "/etc");
    // A base that is not an existing folder cannot be joined to.
    EXPECT_FALSE(PlatformJoin(tree.At("missing"), "x", devices).has_value());
    tree.File("afile");
    EXPECT_FALSE(PlatformJoin(tree.At("afile"), "x", devices).has_value());
    // Device names in the name are refused, in any case and with a colon.
    EXPECT_FALSE(PlatformJoin(pub, "con", devices).has_value());
    EXPECT_FALSE(PlatformJoin(pub, "sub/LPT1:", devices).has_value());
    EXPECT_TRUE(PlatformJoin(pub, "console", devices).has_value());
    EXPECT_FALSE(PlatformJoin(pub, std::string(kMaxDiskPath, 'z'), devices).has_value());
}

TEST(DeviceNamesTest, ListAndPaths) {
    const DeviceNames defaults;
    EXPECT_EQ(defaults.size(), 28u);
    EXPECT_TRUE(defaults.Contains("CON"));
    EXPECT_TRUE(defaults.Contains("con"));
    EXPECT_TRUE(defaults.Contains("Clock$"));
    EXPECT_FALSE(defaults.Contains("CONS"));
    EXPECT_FALSE(defaults.Contains(""));

    EXPECT_TRUE(IsDevicePath("/ftp/con", defaults));
    EXPECT_TRUE(IsDevicePath("/ftp/con/x.txt", defaults));
    EXPECT_TRUE(IsDevicePath("\\ftp\\Aux", defaults));
    EXPECT_TRUE(IsDevicePath("/ftp/LPT1:", defaults));
    EXPECT_TRUE(IsDevicePath("/ftp/C:O:N", defaults));
    EXPECT_FALSE(IsDevicePath("/ftp/con.txt", defaults));
    EXPECT_FALSE(IsDevicePath("/ftp/pub/", defaults));
    EXPECT_TRUE(IsDevicePath("/ftp/" + std::string(kMaxDiskPath + 1, 'a'), defaults));
    EXPECT_FALSE(IsDevicePath("/ftp/" + std::string(kMaxDiskPath, 'a'), defaults));

    const DeviceNames custom("FOO,,bar,");
    EXPECT_EQ(custom.size(), 2u);
    EXPECT_TRUE(IsDevicePath("/x/BAR", custom));
    EXPECT_FALSE(IsDevicePath("/x/con", custom));
}

TEST(TrimTrailingDotsAndSpaces, KeepsWholeComponents) {
    auto trim = [](std::string p) {
        TrimTrailingDotsAndSpaces(p);
        return p;
    };
    EXPECT_EQ(trim("/ftp/x..."), "/ftp/x");
    EXPECT_EQ(trim("/ftp/x. . "), "/ftp/x");
    EXPECT_EQ(trim("/ftp/x"), "/ftp/x");
    EXPECT_EQ(trim("/ftp/..."), "/ftp/...");
    EXPECT_EQ(trim("/ftp/ . "), "/ftp/ . ");
    EXPECT_EQ(trim("/ftp/.x."), "/ftp/.x");
    EXPECT_EQ(trim("/"), "/");
}

TEST(PathText, CleanAbsoluteAndControlCharacters) {
    EXPECT_TRUE(IsCleanAbsolute("/"));
    EXPECT_TRUE(IsCleanAbsolute("/a/b"));
    EXPECT_TRUE(IsCleanAbsolute("/a/b/"));
    EXPECT_TRUE(IsCleanAbsolute("/a/.../b"));
    EXPECT_FALSE(IsCleanAbsolute("a/b"));
    EXPECT_FALSE(IsCleanAbsolute("/a/../b"));
    EXPECT_FALSE(IsCleanAbsolute("/a/./b"));
    EXPECT_FALSE(IsCleanAbsolute("/a/.."));
    EXPECT_FALSE(IsCleanAbsolute("/a//b"));
    EXPECT_TRUE(HasControlChars(std::string("a\0b", 3)));
    EXPECT_TRUE(HasControlChars("a\rb"));
    EXPECT_TRUE(HasControlChars("a\x7f"));
    EXPECT_FALSE(HasControlChars("caf\xc3\xa9 ~!$"));
    // Every byte value at every place of texts longer than one word, among
    // neighbours of every kind (plain, high, and the last one allowed below).
    for (const char filler : {'a', '\x80', '\xff', ' ', '~'}) {
        for (size_t length : {size_t{8}, size_t{17}}) {
            for (size_t at = 0; at < length; ++at) {
                for (int b = 0; b < 256; ++b) {
                    std::string text(length, filler);
                    text[at] = static_cast<char>(b);
                    EXPECT_EQ(HasControlChars(text), b < 0x20 || b == 0x7f) << b << " at " << at;
                }
            }
        }
    }
    EXPECT_EQ(ParentOf("/a/b"), "/a");
    EXPECT_EQ(ParentOf("/a/b/"), "/a");
    EXPECT_EQ(ParentOf("/a"), "/");
    EXPECT_EQ(ParentOf("/"), "/");
}

}  // namespace
}  // namespace orvyn
