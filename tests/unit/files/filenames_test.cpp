#include <gtest/gtest.h>

#include "service/accounts/files/FileNames.h"

namespace orvyn {
namespace {

TEST(PathExtension, LastComponentFromItsLastDot) {
    EXPECT_EQ(PathExtension("/a/b/report.tar.gz"), ".gz");
    EXPECT_EQ(PathExtension("docs.LNK"), ".LNK");
    EXPECT_EQ(PathExtension("/dir.d/noext"), "");  // a dot in a folder name does not count
    EXPECT_EQ(PathExtension("dir.d\\noext"), "");
    EXPECT_EQ(PathExtension("trailing."), ".");
    EXPECT_EQ(PathExtension(""), "");
}

TEST(ShortcutNames, ExtensionAndDocutechMarks) {
    EXPECT_TRUE(IsShortcutExtension(".lnk"));
    EXPECT_TRUE(IsShortcutExtension(".LnK"));
    EXPECT_FALSE(IsShortcutExtension(".lnkx"));
    EXPECT_FALSE(IsShortcutExtension("lnk"));
    EXPECT_TRUE(ContainsDocutechMark("/jobs/a.DJO/x"));
    EXPECT_TRUE(ContainsDocutechMark("b.djo"));
    EXPECT_FALSE(ContainsDocutechMark("/jobs/adjo"));
    EXPECT_FALSE(ContainsDocutechMark(".dj"));
}

TEST(RenameRules, ShortcutKeepsItsExtension) {
    EXPECT_EQ(RenameTarget("/h/b", "", "/h/a.lnk", "b"), "/h/b.lnk");
    EXPECT_EQ(RenameTarget("/h/b.LNK", "", "/h/a.lnk", "b.LNK"), "/h/b.LNK");
    EXPECT_EQ(RenameTarget("/h/b.txt", "", "/h/a.txt", "b.txt"), "/h/b.txt");
    // The user's name suffix comes before the shortcut extension.
    EXPECT_EQ(RenameTarget("/h/b", ";1", "/h/a.lnk", "b"), "/h/b;1.lnk");
    EXPECT_EQ(RenameTarget("/h/b", ";1", "/h/a.txt", "b"), "/h/b;1");
}

TEST(RenameRules, NoFileBecomesAShortcut) {
    EXPECT_EQ(CheckRenameNames("/h/a.txt", "b.lnk"), RenameCheck::ToShortcut);
    EXPECT_EQ(CheckRenameNames("/h/a", "sub/B.Lnk"), RenameCheck::ToShortcut);
    EXPECT_EQ(CheckRenameNames("/h/a.lnk", "b.lnk"), RenameCheck::Allowed);
    EXPECT_EQ(CheckRenameNames("/h/a.lnk", "b"), RenameCheck::Allowed);
    EXPECT_EQ(CheckRenameNames("/h/a.txt", "b.lnk.txt"), RenameCheck::Allowed);
}

}  // namespace
}  // namespace orvyn
