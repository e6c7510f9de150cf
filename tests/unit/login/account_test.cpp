// The per-session account state: the login gate's directory check, the
// current directory as the client sees it, and what a reset keeps.
#include <gtest/gtest.h>

#include <filesystem>

#include "login_support.h"

namespace orvyn::test {
namespace {

class AccountTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = s.MakeDir("home/bob");
        s.AddUser("bob", "secret", home);
        CLogin(s).User("bob");
        CLogin(s).Pass("secret");
        ASSERT_TRUE(s.loggedIn()) << s.ReplyTexts();
        s.ClearRecords();
    }

    FakeSession s;
    std::string home;
};

TEST_F(AccountTest, GateMovesToHomeWhenTheCurrentDirectoryIsGone) {
    CSessionAccount& a = s.account();
    const std::string sub = s.MakeDir("home/bob/sub");
    a.setCurrentDirectory(sub);
    EXPECT_TRUE(a.CheckDirectories(&s.log(), 7));
    EXPECT_EQ(a.currentDirectory(), sub);

    std::filesystem::remove(sub);
    EXPECT_TRUE(a.CheckDirectories(&s.log(), 7));
    EXPECT_EQ(a.currentDirectory(), home);

    std::filesystem::remove_all(home);
    EXPECT_FALSE(a.CheckDirectories(&s.log(), 7));
}

TEST_F(AccountTest, GateChecksTheRestriction) {
    // A confined session whose current directory lies outside its root
    // (a folder replaced by a link leading out of it) does not pass.
    CSessionAccount& a = s.account();
    a.setRestrictionRoot(home);
    const std::string outside = s.MakeDir("elsewhere");
    std::filesystem::create_directory_symlink(outside, home + "link");
    a.setCurrentDirectory(home + "link/");
    EXPECT_FALSE(a.CheckDirectories(&s.log(), 7));
    EXPECT_EQ(a.currentDirectory(), home + "link/") << "it exists, so it is kept";
    bool logged = false;
    for (const auto& line : s.LogLines())
        logged = logged || line.find("does not appear to be a subdirectory of the server restriction") !=
                               std::string::npos;
    EXPECT_TRUE(logged);
}

TEST_F(AccountTest, CurrentDirectoryAsTheClientSeesIt) {
    CSessionAccount& a = s.account();
    a.setCurrentDirectory(home + "pub/");
    EXPECT_EQ(a.FtpCurrentDirectory(), home + "pub");
    a.setRestrictionRoot(home);
    EXPECT_EQ(a.FtpCurrentDirectory(), "/pub");
    a.setCurrentDirectory(home);
    EXPECT_EQ(a.FtpCurrentDirectory(), "/");

    // A virtual directory shows where it is configured, not where it is.
    const std::string real = s.MakeDir("real/docs");
    ASSERT_TRUE(a.maps().Add(home + "docs", real));
    a.setCurrentDirectory(real + "x/");
    EXPECT_EQ(a.FtpCurrentDirectory(), "/docs/x");

    // Outside the root nothing is shown.
    a.setCurrentDirectory("/etc/");
    EXPECT_EQ(a.FtpCurrentDirectory(), "");
}

TEST_F(AccountTest, ResetForgetsTheLoginButNotTheFailures) {
    CSessionAccount& a = s.account();
    a.CountFailedLogin();
    a.setAnonymousEmail("x@y");
    a.setRestrictionRoot(home);
    a.Reset();
    EXPECT_EQ(a.failedLogins(), 1);
    EXPECT_EQ(a.homeDirectory(), "");
    EXPECT_EQ(a.currentDirectory(), "");
    EXPECT_EQ(a.restrictionRoot(), "");
    EXPECT_EQ(a.anonymousEmail(), "");
    EXPECT_TRUE(a.maps().empty());
    EXPECT_EQ(a.rights().GetRights(home, false), 0) << "no rights are left";
    EXPECT_FALSE(a.CheckDirectories(&s.log(), 7));
}

}  // namespace
}  // namespace orvyn::test
