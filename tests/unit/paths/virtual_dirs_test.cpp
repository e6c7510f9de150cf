// Virtual directory maps: entries from the store, user entries winning, the
// back-map walk with nesting and cycles.
#include <gtest/gtest.h>

#include "service/accounts/paths/DiskPath.h"
#include "service/accounts/paths/VirtualDirs.h"
#include "service/base/settings/ServerRegistry.h"
#include "tests/unit/settings/TempStore.h"

namespace orvyn {
namespace {

TEST(VirtualDirs, AddKeepsOnlyCleanAbsolutePaths) {
    VirtualDirs maps;
    EXPECT_TRUE(maps.Add("/srv/ftp/pub/", "/data/pub/"));
    EXPECT_EQ(maps.Forward("/srv/ftp/pub").value(), "/data/pub");
    EXPECT_EQ(maps.Forward("/srv/ftp/pub/").value(), "/data/pub");
    EXPECT_EQ(maps.back().at("/data/pub"), "/srv/ftp/pub");

    EXPECT_FALSE(maps.Add("relative", "/data"));
    EXPECT_FALSE(maps.Add("/srv/ftp/x", "data"));
    EXPECT_FALSE(maps.Add("/srv/ftp/x", ""));
    EXPECT_FALSE(maps.Add("/srv/ftp/../etc", "/data"));
    EXPECT_FALSE(maps.Add("/srv/ftp/x", "/data/../../etc"));
    EXPECT_FALSE(maps.Add("/srv/ftp/x\n", "/data"));
    EXPECT_FALSE(maps.Add("/srv/ftp/x", "/" + std::string(kMaxDiskPath, 'd')));
    EXPECT_EQ(maps.forward().size(), 1u);
    EXPECT_EQ(maps.back().size(), 1u);
}

TEST(VirtualDirs, NamesAreCaseSensitive) {
    VirtualDirs maps;
    ASSERT_TRUE(maps.Add("/srv/ftp/Pub", "/data/pub"));
    EXPECT_FALSE(maps.Forward("/srv/ftp/pub").has_value());
    EXPECT_EQ(maps.BackMap("/DATA/pub/x"), "/DATA/pub/x/");
    EXPECT_EQ(maps.BackMap("/data/pub/x"), "/srv/ftp/Pub/x/");
}

TEST(VirtualDirs, BackMapReplacesTheLongestTargetAndNests) {
    VirtualDirs maps;
    ASSERT_TRUE(maps.Add("/srv/ftp/pub", "/data/pub"));
    ASSERT_TRUE(maps.Add("/data/pub/inner", "/mnt/inner"));
    ASSERT_TRUE(maps.Add("/srv/ftp/deep", "/data/pub/a/b"));
    std::string anchor;
    EXPECT_EQ(maps.BackMap("/data/pub/file", &anchor), "/srv/ftp/pub/file/");
    EXPECT_EQ(anchor, "/data/pub");
    // A virtual folder inside a virtual folder maps through both.
    EXPECT_EQ(maps.BackMap("/mnt/inner/x/y", &anchor), "/srv/ftp/pub/inner/x/y/");
    EXPECT_EQ(anchor, "/mnt/inner");
    // The longer target wins over the shorter one that also covers it.
    EXPECT_EQ(maps.BackMap("/data/pub/a/b/c", &anchor), "/srv/ftp/deep/c/");
    EXPECT_EQ(anchor, "/data/pub/a/b");
    // Unmapped paths keep their text and gain a closing "/".
    EXPECT_EQ(maps.BackMap("/etc/passwd", &anchor), "/etc/passwd/");
    EXPECT_EQ(anchor, "");
    EXPECT_EQ(maps.BackMap("/"), "/");
    EXPECT_EQ(maps.BackMap("/data/publish"), "/data/publish/");
}

TEST(VirtualDirs, BackMapStopsOnCycles) {
    VirtualDirs maps;
    ASSERT_TRUE(maps.Add("/a", "/b"));
    ASSERT_TRUE(maps.Add("/b", "/a"));
    // Would never end if followed blindly; the result is one of the two.
    const std::string out = maps.BackMap("/a/x");
    EXPECT_TRUE(out == "/a/x/" || out == "/b/x/") << out;

    VirtualDirs self;
    ASSERT_TRUE(self.Add("/loop", "/loop"));
    EXPECT_EQ(self.BackMap("/loop/z"), "/loop/z/");

    VirtualDirs inside;
    ASSERT_TRUE(inside.Add("/data/v", "/data"));
    EXPECT_EQ(inside.BackMap("/data/x"), "/data/v/x/");
}

TEST(VirtualDirs, LoadsInstanceThenUserEntries) {
    test::TempStore tmp;
    CServerRegistry settings(tmp.store(), "Demo", nullptr);
    ASSERT_TRUE(settings.WriteString("Virtual Directories", "/srv/ftp/pub", "/data/instance-pub"));
    ASSERT_TRUE(settings.WriteString("Virtual Directories", "/srv/ftp/docs", "/data/docs"));
    ASSERT_TRUE(settings.WriteString("Virtual Directories", "/srv/ftp/bad", "not/absolute"));
    ASSERT_TRUE(settings.WriteInt("Virtual Directories", "/srv/ftp/number", 7));
    ASSERT_TRUE(settings.WriteString("Users\\alice\\Virtual Directories", "/srv/ftp/pub", "/data/alice-pub"));
    ASSERT_TRUE(settings.WriteString("Users\\alice\\Virtual Directories", "/srv/ftp/mine", "/data/alice"));
    // An entry with empty data is no entry.
    const uint8_t nul = 0;
    ASSERT_TRUE(tmp.store()
                    .SetValue(settings.KeyPath("Users\\alice\\Virtual Directories"), "/srv/ftp/empty", reg::REG_SZ,
                              &nul, 1)
                    .ok());

    VirtualDirs alice;
    alice.Load(settings, "alice");
    EXPECT_EQ(alice.Forward("/srv/ftp/pub").value(), "/data/alice-pub");
    EXPECT_EQ(alice.Forward("/srv/ftp/docs").value(), "/data/docs");
    EXPECT_EQ(alice.Forward("/srv/ftp/mine").value(), "/data/alice");
    EXPECT_FALSE(alice.Forward("/srv/ftp/empty").has_value());
    EXPECT_FALSE(alice.Forward("/srv/ftp/bad").has_value());
    EXPECT_FALSE(alice.Forward("/srv/ftp/number").has_value());
    EXPECT_EQ(alice.forward().size(), 3u);
    // The instance's old target still maps back to the name it was shown at.
    EXPECT_EQ(alice.BackMap("/data/instance-pub/f"), "/srv/ftp/pub/f/");
    EXPECT_EQ(alice.BackMap("/data/alice-pub/f"), "/srv/ftp/pub/f/");

    VirtualDirs bob;
    bob.Load(settings, "bob");
    EXPECT_EQ(bob.Forward("/srv/ftp/pub").value(), "/data/instance-pub");
    EXPECT_FALSE(bob.Forward("/srv/ftp/mine").has_value());

    // Loading again starts from nothing.
    alice.Load(settings, "");
    EXPECT_EQ(alice.forward().size(), 2u);
}

}  // namespace
}  // namespace orvyn
