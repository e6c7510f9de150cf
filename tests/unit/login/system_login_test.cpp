// Logins decided elsewhere: the system's accounts (ServerType "NTSAM", here a
// table of fake accounts) and an external authentication library.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "login_support.h"

namespace orvyn::test {
namespace {

class SystemLoginTest : public ::testing::Test {
protected:
    void SetUp() override {
        s.policyValue.ntsam = true;
        home = s.MakeDir("home/alice");
        accountHome = s.MakeDir("passwd/alice");
        accounts.lastResort = s.MakeDir("last");
        accounts.entries["alice"] = {"secret", FakeAccounts::Token("alice", accountHome), 0};
    }

    void Attempt(const std::string& user, const std::string& password) {
        CLogin(s, accounts).User(user);
        s.ClearRecords();
        accounts.calls.clear();
        CLogin(s, accounts).Pass(password);
    }

    FakeSession s;
    FakeAccounts accounts;
    std::string home;
    std::string accountHome;
};

TEST_F(SystemLoginTest, AccountPasswordAndHomeFromThePasswordDatabase) {
    Attempt("alice", "secret");
    ASSERT_TRUE(s.loggedIn()) << s.ReplyTexts();
    EXPECT_EQ(accounts.calls, std::vector<std::string>{"alice||secret"});
    ASSERT_NE(s.account().token(), nullptr);
    EXPECT_EQ(s.account().token()->name, "alice");
    EXPECT_TRUE(s.account().rights().hasSessionToken());
    EXPECT_EQ(s.account().homeDirectory(), accountHome);

    // The user's own Home comes first.
    s.SetUserString("alice", "Home", home);
    Attempt("alice", "secret");
    EXPECT_EQ(s.account().homeDirectory(), home);
}

TEST_F(SystemLoginTest, WrongPasswordIsSilentOtherErrorsAreLogged) {
    Attempt("alice", "wrong");
    EXPECT_FALSE(s.loggedIn());
    EXPECT_EQ(s.ReplyTexts(), "530 Not logged in - password incorrect\r\n");
    EXPECT_EQ(s.LogLines(), (std::vector<std::string>{"C PASSword not accepted", "L User not logged in."}));

    accounts.entries["CORP\\bob"] = {"", nullptr, accounts::kLogonAccountDisabled};
    Attempt("CORP\\bob", "pw");
    EXPECT_FALSE(s.loggedIn());
    EXPECT_EQ(s.ReplyTexts(), "530 Not logged in - password incorrect\r\n");
    EXPECT_TRUE(s.Logged("! LogonUser(\"bob\",\"CORP\",...) error 1331 - account currently disabled."));

    accounts.entries["carol"] = {"", nullptr, accounts::kLogonPasswordExpired};
    Attempt("carol", "pw");
    EXPECT_TRUE(s.Logged("! LogonUser(\"carol\",\"NULL\",...) error 1330 - the account's password has expired."));
}

TEST_F(SystemLoginTest, DomainsAreSplitOrDefaulted) {
    accounts.entries["CORP\\dave"] = {"davepw", FakeAccounts::Token("CORP\\dave", accountHome), 0};
    Attempt("CORP/dave", "davepw");
    EXPECT_EQ(accounts.calls, std::vector<std::string>{"dave|CORP|davepw"});
    ASSERT_TRUE(s.loggedIn()) << s.ReplyTexts();
    // Settings of a domain account live one key deeper.
    EXPECT_EQ(s.userName(), "CORP\\dave");

    s.settings().WriteString("Security", "DefaultDomain", "CORP");
    Attempt("dave", "davepw");
    EXPECT_EQ(accounts.calls, std::vector<std::string>{"dave|CORP|davepw"});
    EXPECT_TRUE(s.loggedIn());

    // A principal name carries its own realm.
    Attempt("dave@corp.example", "davepw");
    EXPECT_EQ(accounts.calls, std::vector<std::string>{"dave@corp.example||davepw"});
    EXPECT_FALSE(s.loggedIn());
}

TEST_F(SystemLoginTest, TheAccountsSpellingBecomesTheUserName) {
    accounts.entries["ALICE"] = {"secret", FakeAccounts::Token("alice", accountHome), 0};
    s.SetUserValue("alice", "Disabled", 1);
    Attempt("ALICE", "secret");
    EXPECT_FALSE(s.loggedIn()) << "the settings of the account's own name apply";
    EXPECT_TRUE(s.Logged("! User alice tried to log in while disabled\n"));

    accounts.entries["nameless"] = {"pw", FakeAccounts::Token("", accountHome), 0};
    Attempt("nameless", "pw");
    EXPECT_FALSE(s.loggedIn());
    EXPECT_TRUE(s.Logged("! Unable to get user from handle - no space."));
}

TEST_F(SystemLoginTest, AnonymousUsersLogOnAsTheGuestAccount) {
    s.policyValue.allowAnon = true;
    s.settings().WriteString("Security", "AnonUser", "guest");
    s.settings().WriteString("Security", "AnonPass", "guestpw");
    const std::string guestHome = s.MakeDir("passwd/guest");
    accounts.entries["guest"] = {"guestpw", FakeAccounts::Token("guest", guestHome), 0};
    Attempt("anonymous", "me@example.org");
    EXPECT_EQ(accounts.calls, std::vector<std::string>{"guest||guestpw"});
    ASSERT_TRUE(s.loggedIn()) << s.ReplyTexts();
    EXPECT_EQ(s.userName(), "anonymous");
    EXPECT_EQ(s.account().homeDirectory(), guestHome);
    EXPECT_EQ(s.account().restrictionRoot(), guestHome);

    // Without a guest account nobody logs on; the default home is used.
    // (An empty text, as the store keeps it: the writer would delete the value.)
    const char empty[1] = {'\0'};
    s.settings().store().SetValue(s.settings().KeyPath("Security"), "AnonUser", reg::REG_SZ, empty, 1);
    s.SetUserString("default", "Home", home);
    Attempt("ftp", "me@example.org");
    EXPECT_TRUE(accounts.calls.empty());
    ASSERT_TRUE(s.loggedIn()) << s.ReplyTexts();
    EXPECT_EQ(s.account().token(), nullptr);
    EXPECT_EQ(s.account().homeDirectory(), home);

    // And with no homes configured at all, the home of last resort.
    s.settings().WriteString("Users\\default", "Home", nullptr);
    Attempt("ftp", "me@example.org");
    ASSERT_TRUE(s.loggedIn()) << s.ReplyTexts();
    EXPECT_EQ(s.account().homeDirectory(), accounts.lastResort);
}

TEST_F(SystemLoginTest, HomesThatAreTooLongAreSkipped) {
    s.SetUserString("alice", "Home", "/" + std::string(300, 'x'));
    Attempt("alice", "secret");
    ASSERT_TRUE(s.loggedIn()) << s.ReplyTexts();
    EXPECT_TRUE(s.Logged("! Home directory for user alice is too long."));
    EXPECT_EQ(s.account().homeDirectory(), accountHome);
}

TEST_F(SystemLoginTest, DefaultHomeBeforeLastResort) {
    accounts.entries["homeless"] = {"pw", FakeAccounts::Token("homeless", ""), 0};
    s.SetUserString("default", "Home", home);
    Attempt("homeless", "pw");
    ASSERT_TRUE(s.loggedIn()) << s.ReplyTexts();
    EXPECT_EQ(s.account().homeDirectory(), home);
}

// ---- external authentication library ------------------------------------------------

class ExternalLoginTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(s.library.load(ORVYN_TESTAUTH_LIBRARY)) << s.library.loadError();
        home = s.MakeDir("ext");
        ::setenv("ORVYN_TESTAUTH_HOME", home.c_str(), 1);
    }
    void TearDown() override { ::unsetenv("ORVYN_TESTAUTH_HOME"); }

    void Attempt(const std::string& user, const std::string& password) {
        CLogin(s).User(user);
        s.ClearRecords();
        CLogin(s).Pass(password);
    }

    FakeSession s;
    std::string home;
};

TEST_F(ExternalLoginTest, TheLibraryDecides) {
    // The own password store would refuse extuser; the library accepts it.
    Attempt("extuser", "extpass");
    ASSERT_TRUE(s.loggedIn()) << s.ReplyTexts();
    EXPECT_EQ(s.account().homeDirectory(), home);
    EXPECT_EQ(s.account().token(), nullptr);

    // And refuses a user the own store would accept.
    s.AddUser("bob", "secret", home);
    Attempt("bob", "secret");
    EXPECT_FALSE(s.loggedIn());
    EXPECT_EQ(s.ReplyTexts(), "530 Not logged in - password incorrect\r\n");
    Attempt("extuser", "wrong");
    EXPECT_FALSE(s.loggedIn());
}

TEST_F(ExternalLoginTest, TheLibrarysHomeGetsNoFallback) {
    // A home written without its closing separator stays as it is.
    const std::string bare = home.substr(0, home.size() - 1);
    ::setenv("ORVYN_TESTAUTH_HOME", bare.c_str(), 1);
    Attempt("extuser", "extpass");
    ASSERT_TRUE(s.loggedIn()) << s.ReplyTexts();
    EXPECT_EQ(s.account().homeDirectory(), bare);

    // No home at all, even with one configured for the user: no login.
    ::setenv("ORVYN_TESTAUTH_HOME", "", 1);
    s.SetUserString("extuser", "Home", home);
    Attempt("extuser", "extpass");
    EXPECT_FALSE(s.loggedIn());
    EXPECT_EQ(s.ReplyTexts(), "530 Unable to access your home directory.\r\n");

    // A relative home is not taken from the service's own folder.
    ::setenv("ORVYN_TESTAUTH_HOME", ".", 1);
    Attempt("extuser", "extpass");
    EXPECT_FALSE(s.loggedIn());
    EXPECT_TRUE(s.Logged("! Home directory . for user extuser not accessible - Directory not found, User has no rights"));

    // A home filling the whole buffer.
    Attempt("longhome", "x");
    EXPECT_FALSE(s.loggedIn());
    EXPECT_EQ(s.ReplyTexts(), "530 Unable to access your home directory.\r\n");
}

TEST_F(ExternalLoginTest, AnUnknownAccountNamedByTheLibraryRefuses) {
    ::setenv("ORVYN_TESTAUTH_ACCOUNT", "no-such-account-here", 1);
    Attempt("acctuser", "acctpass");
    ::unsetenv("ORVYN_TESTAUTH_ACCOUNT");
    EXPECT_FALSE(s.loggedIn());
    EXPECT_EQ(s.ReplyTexts(), "530 Not logged in - password incorrect\r\n");
    EXPECT_TRUE(s.Logged(
        "! External authentication of user acctuser refused - the library named the unknown account "
        "no-such-account-here"));
}

}  // namespace
}  // namespace orvyn::test
