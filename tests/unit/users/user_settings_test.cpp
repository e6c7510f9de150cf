// Per-user settings against a real store in a temporary folder: key names,
// defaults and fallbacks through "default", the writers, deleting and
// listing users.
#include <gtest/gtest.h>

#include "service/accounts/users/UserSettings.h"
#include "tests/unit/settings/TempStore.h"

namespace orvyn {
namespace {

using test::RecordingLog;
using test::TempStore;

const std::string kUsers = std::string(kServersKey) + "\\Demo\\Users";

class UserSettingsTest : public ::testing::Test {
protected:
    void PutInt(const std::string& key, const std::string& name, uint32_t v) {
        const auto data = reg::DwordData(v);
        ASSERT_TRUE(tmp.store().SetValue(key, name, reg::REG_DWORD, data.data(), data.size()).ok());
    }
    void PutText(const std::string& key, const std::string& name, const std::string& text) {
        const auto data = reg::StringData(text);
        ASSERT_TRUE(tmp.store().SetValue(key, name, reg::REG_SZ, data.data(), data.size()).ok());
    }
    bool Stored(const std::string& key, const std::string& name, reg::Value& v) {
        return tmp.store().QueryValue(key, name, v).ok();
    }
    bool KeyExists(const std::string& key) { return tmp.store().KeyExists(key).ok(); }
    std::string StoredText(const std::string& key, const std::string& name) {
        reg::Value v;
        if (!Stored(key, name, v) || v.type != reg::REG_SZ) return "(missing)";
        return std::string(v.data.begin(), v.data.end() - (v.data.empty() ? 0 : 1));
    }

    TempStore tmp;
    RecordingLog log;
    CServerRegistry registry{tmp.store(), "Demo", &log};
    CUserSettings users{registry, &log};
};

TEST(UserNames, AnonymousAndDefaultNamesIgnoreCase) {
    for (const char* name : {"anonymous", "Anonymous", "ANONYMOUS", "ftp", "FTP", "fTp"})
        EXPECT_TRUE(IsAnonymousName(name)) << name;
    for (const char* name : {"", "anon", "anonymous ", "ftpuser", "guest"})
        EXPECT_FALSE(IsAnonymousName(name)) << name;
    EXPECT_TRUE(IsDefaultUser("default"));
    EXPECT_TRUE(IsDefaultUser("DEFAULT"));
    EXPECT_FALSE(IsDefaultUser("defaults"));
}

TEST(UserNames, SectionsOfUserKeys) {
    EXPECT_EQ(CUserSettings::UserSection("bob"), "Users\\bob");
    EXPECT_EQ(CUserSettings::UserSection("CORP\\alice"), "Users\\CORP\\alice");
    EXPECT_EQ(CUserSettings::RightsSection("bob"), "Users\\bob\\Rights");
    EXPECT_EQ(CUserSettings::RightsSection("CORP\\alice"), "Users\\CORP\\alice\\Rights");
    EXPECT_EQ(CUserSettings::RightsSection("default"), "Users\\DefaultRights");
    EXPECT_EQ(CUserSettings::RightsSection("Default"), "Users\\DefaultRights");
    EXPECT_EQ(CUserSettings::UserSection("default"), "Users\\default");
    EXPECT_EQ(CUserSettings::VirtualDirsSection("bob"), "Users\\bob\\Virtual Directories");
    EXPECT_STREQ(CUserSettings::InstanceVirtualDirsSection(), "Virtual Directories");

    // Names that would address some other key, or none.
    for (const std::string bad : {"", "\\", "\\bob", "bob\\", "a\\b\\c", "CORP\\\\alice", "DefaultRights",
                                  "defaultrights", "DefaultRights\\x", "bob\\Rights", "bob\\rights",
                                  "bob\\Virtual Directories", "bob\\VIRTUAL DIRECTORIES"}) {
        EXPECT_EQ(CUserSettings::UserSection(bad), std::nullopt) << bad;
        EXPECT_EQ(CUserSettings::RightsSection(bad), std::nullopt) << bad;
        EXPECT_EQ(CUserSettings::VirtualDirsSection(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(CUserSettings::UserSection(std::string("bob\0x", 5)), std::nullopt);
}

TEST_F(UserSettingsTest, DefaultsWithoutAnySettings) {
    for (const char* user : {"bob", "default", "CORP\\alice"}) {
        EXPECT_EQ(users.Passwd(user), "") << user;
        EXPECT_EQ(users.Home(user), "") << user;
        EXPECT_FALSE(users.Restricted(user)) << user;
        EXPECT_FALSE(users.ForceEFS(user)) << user;
        EXPECT_FALSE(users.RemoteAdmin(user)) << user;
        EXPECT_FALSE(users.XeroxDocutech(user)) << user;
        EXPECT_FALSE(users.Disabled(user)) << user;
        EXPECT_FALSE(users.HideVDirs(user)) << user;
        EXPECT_FALSE(users.AddSuffix(user).present) << user;
    }
    // Anonymous names are restricted unless told otherwise, in any case.
    for (const char* user : {"anonymous", "Anonymous", "ftp", "FTP"}) EXPECT_TRUE(users.Restricted(user)) << user;
    EXPECT_TRUE(users.ListUsers().empty());
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(UserSettingsTest, FallbacksThroughDefault) {
    PutInt(kUsers + "\\default", "Restricted", 1);
    PutInt(kUsers + "\\default", "ForceEFS", 1);
    PutText(kUsers + "\\default", "Home", "/srv/ftp");
    // Values without a fallback through default.
    PutInt(kUsers + "\\default", "RemoteAdmin", 1);
    PutInt(kUsers + "\\default", "Disabled", 1);
    PutInt(kUsers + "\\default", "XeroxDocutech", 1);
    PutInt(kUsers + "\\default", "HideVDirs", 1);
    PutText(kUsers + "\\default", "Passwd", "abJnggxhB/yWI");
    PutText(kUsers + "\\default", "AddSuffix", ".txt");

    EXPECT_TRUE(users.Restricted("bob"));
    EXPECT_TRUE(users.ForceEFS("bob"));
    EXPECT_EQ(users.Home("bob"), "/srv/ftp");
    EXPECT_EQ(users.OwnHome("bob"), "");
    EXPECT_EQ(users.DefaultHome(), "/srv/ftp");
    EXPECT_FALSE(users.RemoteAdmin("bob"));
    EXPECT_FALSE(users.Disabled("bob"));
    EXPECT_FALSE(users.XeroxDocutech("bob"));
    EXPECT_FALSE(users.HideVDirs("bob"));
    EXPECT_EQ(users.Passwd("bob"), "");
    EXPECT_FALSE(users.AddSuffix("bob").present);

    // The user's own values win, zero included.
    PutInt(kUsers + "\\bob", "Restricted", 0);
    PutInt(kUsers + "\\bob", "ForceEFS", 0);
    PutText(kUsers + "\\bob", "Home", "/home/bob");
    EXPECT_FALSE(users.Restricted("bob"));
    EXPECT_FALSE(users.ForceEFS("bob"));
    EXPECT_EQ(users.Home("bob"), "/home/bob");

    // An empty Home counts as none.
    PutText(kUsers + "\\bob", "Home", "");
    EXPECT_EQ(users.Home("bob"), "/srv/ftp");

    // Numbers stored as text read like numbers; other types read as missing.
    PutText(kUsers + "\\carol", "Disabled", "1");
    EXPECT_TRUE(users.Disabled("carol"));
    const std::vector<uint8_t> blob{1, 0, 0, 0};
    ASSERT_TRUE(tmp.store().SetValue(kUsers + "\\carol", "Restricted", reg::REG_BINARY, blob.data(), 4).ok());
    EXPECT_TRUE(users.Restricted("carol"));  // default's 1
}

TEST_F(UserSettingsTest, AnonymousRestrictionIgnoresDefault) {
    PutInt(kUsers + "\\default", "Restricted", 0);
    EXPECT_TRUE(users.Restricted("anonymous"));
    EXPECT_FALSE(users.Restricted("bob"));
    PutInt(kUsers + "\\anonymous", "Restricted", 0);
    EXPECT_FALSE(users.Restricted("anonymous"));
    EXPECT_FALSE(users.Restricted("ANONYMOUS"));  // the same key, any case
    EXPECT_TRUE(users.Restricted("ftp"));
}

TEST_F(UserSettingsTest, HideVDirsFallsBackToTheInstance) {
    PutInt(std::string(kServersKey) + "\\Demo", "HideVDirs", 1);
    EXPECT_TRUE(users.HideVDirs("bob"));
    PutInt(kUsers + "\\bob", "HideVDirs", 0);
    EXPECT_FALSE(users.HideVDirs("bob"));
    EXPECT_TRUE(users.HideVDirs("carol"));
}

TEST_F(UserSettingsTest, DomainAccountsNestOneLevel) {
    PutText(kUsers + "\\CORP\\alice", "Home", "/home/alice");
    PutInt(kUsers + "\\CORP\\alice", "RemoteAdmin", 1);
    EXPECT_EQ(users.Home("CORP\\alice"), "/home/alice");
    EXPECT_EQ(users.Home("corp\\ALICE"), "/home/alice");
    EXPECT_TRUE(users.RemoteAdmin("CORP\\alice"));
    // The bare account name is another user.
    EXPECT_EQ(users.Home("alice"), "");
    EXPECT_FALSE(users.RemoteAdmin("alice"));

    ASSERT_TRUE(users.SetPasswd("CORP\\bob", "abJnggxhB/yWI"));
    EXPECT_EQ(StoredText(kUsers + "\\CORP\\bob", "Passwd"), "abJnggxhB/yWI");
}

TEST_F(UserSettingsTest, UnusableNamesReadAsUsersWithoutSettings) {
    PutText(kUsers + "\\bob\\Rights", "Passwd", "abJnggxhB/yWI");
    PutText(kUsers + "\\DefaultRights", "Passwd", "abJnggxhB/yWI");
    PutInt(kUsers + "\\DefaultRights", "Disabled", 1);
    EXPECT_EQ(users.Passwd("bob\\Rights"), "");
    EXPECT_EQ(users.Passwd("DefaultRights"), "");
    EXPECT_FALSE(users.Disabled("DefaultRights"));
}

TEST_F(UserSettingsTest, AddSuffixRules) {
    PutText(kUsers + "\\a", "AddSuffix", "*");
    PutText(kUsers + "\\b", "AddSuffix", ".txt");
    PutText(kUsers + "\\c", "AddSuffix", "123456789");
    PutText(kUsers + "\\d", "AddSuffix", "0123456789");
    PutText(kUsers + "\\e", "AddSuffix", "");

    EXPECT_FALSE(users.AddSuffix("a").present);
    NameSuffix b = users.AddSuffix("b");
    EXPECT_TRUE(b.present);
    EXPECT_EQ(b.text, ".txt");
    NameSuffix c = users.AddSuffix("c");
    EXPECT_TRUE(c.present);
    EXPECT_EQ(c.text, "123456789");
    EXPECT_TRUE(log.lines.empty());

    NameSuffix d = users.AddSuffix("d", 42);
    EXPECT_FALSE(d.present);
    EXPECT_EQ(d.text, "");
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].conn, 42);
    EXPECT_EQ(log.lines[0].category, '!');
    EXPECT_EQ(log.lines[0].text, "Suffix 0123456789 is too long.");

    EXPECT_FALSE(users.AddSuffix("e").present);
}

TEST_F(UserSettingsTest, WritersStoreTheirValues) {
    ASSERT_TRUE(users.SetHome("bob", "/home/bob"));
    ASSERT_TRUE(users.SetPasswd("bob", "abJnggxhB/yWI"));
    ASSERT_TRUE(users.SetRestricted("bob", true));
    ASSERT_TRUE(users.SetDisabled("bob", true));
    EXPECT_EQ(StoredText(kUsers + "\\bob", "Home"), "/home/bob");
    EXPECT_EQ(StoredText(kUsers + "\\bob", "Passwd"), "abJnggxhB/yWI");
    reg::Value v;
    ASSERT_TRUE(Stored(kUsers + "\\bob", "Restricted", v));
    EXPECT_EQ(v.type, reg::REG_DWORD);
    EXPECT_EQ(v.data, reg::DwordData(1));
    ASSERT_TRUE(Stored(kUsers + "\\bob", "Disabled", v));
    EXPECT_EQ(v.type, reg::REG_DWORD);
    EXPECT_EQ(v.data, reg::DwordData(1));
    EXPECT_EQ(users.Home("bob"), "/home/bob");
    EXPECT_EQ(users.Passwd("bob"), "abJnggxhB/yWI");
    EXPECT_TRUE(users.Restricted("bob"));
    EXPECT_TRUE(users.Disabled("bob"));

    ASSERT_TRUE(users.SetDisabled("bob", false));
    ASSERT_TRUE(users.SetRestricted("bob", false));
    EXPECT_FALSE(users.Disabled("bob"));
    EXPECT_FALSE(users.Restricted("bob"));

    // Removing values brings back the fallbacks.
    PutInt(kUsers + "\\default", "Restricted", 1);
    PutText(kUsers + "\\default", "Home", "/srv/ftp");
    ASSERT_TRUE(users.SetRestricted("bob", std::nullopt));
    ASSERT_TRUE(users.SetHome("bob", ""));
    ASSERT_TRUE(users.SetPasswd("bob", ""));
    EXPECT_FALSE(Stored(kUsers + "\\bob", "Restricted", v));
    EXPECT_FALSE(Stored(kUsers + "\\bob", "Home", v));
    EXPECT_FALSE(Stored(kUsers + "\\bob", "Passwd", v));
    EXPECT_TRUE(users.Restricted("bob"));
    EXPECT_EQ(users.Home("bob"), "/srv/ftp");
    // Removing what is already gone succeeds.
    EXPECT_TRUE(users.SetPasswd("bob", ""));
}

TEST_F(UserSettingsTest, WritersRefuseUnusableNamesAndText) {
    for (const std::string bad : {"", "a\\b\\c", "DefaultRights", "bob\\Rights", "bob\\Virtual Directories"}) {
        EXPECT_FALSE(users.SetHome(bad, "/tmp")) << bad;
        EXPECT_FALSE(users.SetPasswd(bad, "abJnggxhB/yWI")) << bad;
        EXPECT_FALSE(users.SetRestricted(bad, true)) << bad;
        EXPECT_FALSE(users.SetDisabled(bad, true)) << bad;
        EXPECT_FALSE(users.DeleteUser(bad)) << bad;
    }
    EXPECT_FALSE(users.SetHome("bob", std::string("/home/bob\0/etc", 14)));
    EXPECT_FALSE(users.SetPasswd("bob", std::string("ab\0", 3)));
    EXPECT_FALSE(KeyExists(kUsers));
}

TEST_F(UserSettingsTest, DeleteUserRemovesTheWholeKey) {
    PutText(kUsers + "\\bob", "Home", "/home/bob");
    PutText(kUsers + "\\bob\\Rights", "/home/bob/", "RL");
    PutText(kUsers + "\\bob\\Virtual Directories", "/home/bob/pub", "/srv/pub");
    PutText(kUsers + "\\bobby", "Home", "/home/bobby");
    PutText(kUsers + "\\DefaultRights", "*", "RL");

    EXPECT_FALSE(users.DeleteUser("bob\\Rights"));
    EXPECT_TRUE(KeyExists(kUsers + "\\bob\\Rights"));
    ASSERT_TRUE(users.DeleteUser("BOB"));
    EXPECT_FALSE(KeyExists(kUsers + "\\bob"));
    EXPECT_TRUE(KeyExists(kUsers + "\\bobby"));
    EXPECT_TRUE(KeyExists(kUsers + "\\DefaultRights"));
    EXPECT_FALSE(users.DeleteUser("bob"));  // already gone
}

TEST_F(UserSettingsTest, DeletingTheLastDomainAccountRemovesTheDomain) {
    PutText(kUsers + "\\CORP\\alice", "Home", "/home/alice");
    PutText(kUsers + "\\CORP\\carl", "Home", "/home/carl");
    PutText(kUsers + "\\LAB", "Home", "/srv/lab");
    PutText(kUsers + "\\LAB\\dave", "Home", "/home/dave");

    ASSERT_TRUE(users.DeleteUser("CORP\\alice"));
    EXPECT_TRUE(KeyExists(kUsers + "\\CORP\\carl"));
    ASSERT_TRUE(users.DeleteUser("CORP\\carl"));
    EXPECT_FALSE(KeyExists(kUsers + "\\CORP"));
    // A domain key with values of its own stays.
    ASSERT_TRUE(users.DeleteUser("LAB\\dave"));
    EXPECT_TRUE(KeyExists(kUsers + "\\LAB"));
    EXPECT_EQ(users.ListUsers(), std::vector<std::string>{"LAB"});
}

TEST_F(UserSettingsTest, ListUsers) {
    PutText(kUsers + "\\bob", "Home", "/home/bob");
    ASSERT_TRUE(tmp.store().CreateKey(kUsers + "\\carol\\Rights").ok());  // no values, only rights
    ASSERT_TRUE(tmp.store().CreateKey(kUsers + "\\newbie").ok());         // just created, empty
    PutText(kUsers + "\\default", "Home", "/srv/ftp");
    PutText(kUsers + "\\DefaultRights", "*", "RL");
    PutText(kUsers + "\\CORP\\alice", "Home", "/home/alice");
    ASSERT_TRUE(tmp.store().CreateKey(kUsers + "\\CORP\\bob2\\Virtual Directories").ok());
    PutInt(kUsers + "\\MIXED", "Disabled", 1);
    PutText(kUsers + "\\MIXED\\x", "Home", "/home/x");
    ASSERT_TRUE(tmp.store().CreateKey(kUsers + "\\MIXED\\Rights").ok());

    const std::vector<std::string> expected{"bob",     "carol",  "CORP\\alice", "CORP\\bob2",
                                            "default", "MIXED",  "MIXED\\x",    "newbie"};
    EXPECT_EQ(users.ListUsers(), expected);
    // Every listed name addresses the key it came from.
    for (const std::string& name : expected) EXPECT_TRUE(CUserSettings::UserSection(name).has_value()) << name;
}

}  // namespace
}  // namespace orvyn
