// USER, PASS and the login against the own password store: replies, log
// lines, the failed-login limit, anonymous users, Secure 0 and the checks of
// the home directory.
#include <gtest/gtest.h>

#include <filesystem>

#include "login_support.h"
#include "service/accounts/hash/PasswordHash.h"
#include "service/accounts/paths/VirtualDirs.h"
#include "service/base/replies/Catalogue.h"

namespace orvyn::test {
namespace {

class LoginTest : public ::testing::Test {
protected:
    void SetUp() override { home = s.MakeDir("home/bob"); }

    void User(const std::string& name) { CLogin(s).User(name); }
    void Pass(const std::string& password) { CLogin(s).Pass(password); }
    // USER and PASS, records of the USER dropped.
    void Attempt(const std::string& user, const std::string& password) {
        User(user);
        s.ClearRecords();
        Pass(password);
    }

    FakeSession s;
    std::string home;
};

TEST_F(LoginTest, RightPasswordLogsInAtHome) {
    s.AddUser("bob", "secret", home);
    User("bob");
    EXPECT_EQ(s.ReplyTexts(), "331 Give me your password, please\r\n");
    EXPECT_EQ(s.status, "Success");
    EXPECT_EQ(s.userName(), "bob");
    s.ClearRecords();

    Pass("secret");
    EXPECT_EQ(s.ReplyTexts(), "230 Logged in successfully\r\n");
    EXPECT_EQ(s.holdTicks, 0);
    EXPECT_TRUE(s.loggedIn());
    EXPECT_EQ(s.status, "Success");
    EXPECT_EQ(s.userName(), "bob");
    EXPECT_EQ(s.account().homeDirectory(), home);
    EXPECT_EQ(s.account().currentDirectory(), home);
    EXPECT_EQ(s.account().restrictionRoot(), "");
    EXPECT_EQ(s.account().failedLogins(), 0);
    EXPECT_FALSE(s.account().anonymous());
    EXPECT_EQ(s.loginMessages, std::vector<std::string>{home});
    EXPECT_EQ(s.LogLines(), (std::vector<std::string>{"C PASSword accepted", "L User bob logged in."}));
}

TEST_F(LoginTest, HomeWithoutClosingSlashGetsOne) {
    s.AddUser("bob", "secret", home.substr(0, home.size() - 1));
    Attempt("bob", "secret");
    ASSERT_TRUE(s.loggedIn()) << s.ReplyTexts();
    EXPECT_EQ(s.account().homeDirectory(), home);
}

TEST_F(LoginTest, WrongPasswordIsHeldBackAndLogged) {
    s.AddUser("bob", "secret", home);
    Attempt("bob", "Secret");
    EXPECT_EQ(s.ReplyTexts(), "530 Not logged in - password incorrect\r\n");
    EXPECT_EQ(s.holdTicks, 2);
    EXPECT_FALSE(s.loggedIn());
    EXPECT_EQ(s.status, "Fail");
    EXPECT_EQ(s.account().failedLogins(), 1);
    EXPECT_EQ(s.account().token(), nullptr);
    EXPECT_TRUE(s.accepting);
    EXPECT_EQ(s.LogLines(), (std::vector<std::string>{"C PASSword not accepted", "L User not logged in."}));
}

TEST_F(LoginTest, PasswordChecksFollowTheStoredHash) {
    const std::string longPassword = "correct horse battery";
    CUserSettings users(s.settings(), nullptr);
    users.SetHome("long", home);
    users.SetPasswd("long", PasswordHash(longPassword, "ab"));
    Attempt("long", longPassword);
    EXPECT_TRUE(s.loggedIn()) << "the folded hash matches the whole password";
    Attempt("long", longPassword.substr(0, 16));
    EXPECT_FALSE(s.loggedIn()) << "only the whole password folds to that key";

    // A hash made by plain crypt(3) from the first eight characters.
    users.SetHome("plain", home);
    users.SetPasswd("plain", PasswordHash(longPassword.substr(0, 8), "xy"));
    Attempt("plain", longPassword);
    EXPECT_TRUE(s.loggedIn());
    Attempt("plain", longPassword.substr(0, 8));
    EXPECT_TRUE(s.loggedIn());
    Attempt("plain", "correct ");
    EXPECT_TRUE(s.loggedIn());
    Attempt("plain", "correct");
    EXPECT_FALSE(s.loggedIn());
}

TEST_F(LoginTest, NoPasswordNoUserNoLogin) {
    s.AddUser("nopass", "", home);
    for (const char* password : {"", "anything"}) {
        Attempt("nopass", password);
        EXPECT_FALSE(s.loggedIn()) << password;
        EXPECT_EQ(s.ReplyTexts(), "530 Not logged in - password incorrect\r\n");
    }
    Attempt("ghost", "secret");
    EXPECT_FALSE(s.loggedIn());

    // PASS straight after connecting: no user name.
    FakeSession fresh;
    fresh.AddUser("bob", "secret", home);
    CLogin(fresh).Pass("secret");
    EXPECT_FALSE(fresh.loggedIn());
    EXPECT_EQ(fresh.ReplyTexts(), "530 Not logged in - password incorrect\r\n");
    EXPECT_TRUE(fresh.Logged("L User not logged in."));
}

TEST_F(LoginTest, DisabledUserIsRefusedLikeAWrongPassword) {
    s.AddUser("bob", "secret", home);
    s.SetUserValue("bob", "Disabled", 1);
    Attempt("bob", "secret");
    EXPECT_FALSE(s.loggedIn());
    EXPECT_EQ(s.ReplyTexts(), "530 Not logged in - password incorrect\r\n");
    EXPECT_EQ(s.holdTicks, 2);
    EXPECT_TRUE(s.Logged("! User bob tried to log in while disabled\n"));
    EXPECT_EQ(s.account().failedLogins(), 1);
}

TEST_F(LoginTest, TooManyFailuresCloseTheConnection) {
    s.AddUser("bob", "secret", home);
    s.policyValue.maxHacks = 5;
    for (int i = 1; i <= 4; ++i) {
        Attempt("bob", "wrong");
        ASSERT_EQ(s.ReplyTexts(), "530 Not logged in - password incorrect\r\n") << "attempt " << i;
        ASSERT_TRUE(s.accepting);
    }
    Attempt("bob", "wrong");
    EXPECT_EQ(s.ReplyTexts(),
              "421 Too many incorrect attempts at user/password combination - disconnecting.\r\n");
    EXPECT_FALSE(s.accepting);
    EXPECT_EQ(s.holdTicks, 0);
    // Every failure, the last one too, counts towards a ban of the address.
    EXPECT_EQ(s.failuresReported, 5);
    EXPECT_EQ(s.LogLines(),
              std::vector<std::string>{"! *** Too many attempts at user/password from site 127.0.0.9 ***"});
    EXPECT_EQ(s.status, "Fail");
}

TEST_F(LoginTest, SuccessRestartsTheCountAndUserDoesNot) {
    s.AddUser("bob", "secret", home);
    s.policyValue.maxHacks = 3;
    Attempt("bob", "wrong");
    Attempt("bob", "wrong");
    Attempt("bob", "secret");
    ASSERT_TRUE(s.loggedIn());
    Attempt("bob", "wrong");
    Attempt("bob", "wrong");
    EXPECT_TRUE(s.accepting) << "the success in between started the count again";
    // USER alone (and a REIN-like reset) leaves the count as it is.
    User("bob");
    s.account().Reset();
    EXPECT_EQ(s.account().failedLogins(), 2);
    Attempt("bob", "wrong");
    EXPECT_FALSE(s.accepting);
}

TEST_F(LoginTest, NoLimitWithMaxHacksZero) {
    s.AddUser("bob", "secret", home);
    s.policyValue.maxHacks = 0;
    for (int i = 0; i < 25; ++i) Attempt("bob", "wrong");
    EXPECT_TRUE(s.accepting);
    EXPECT_EQ(s.account().failedLogins(), 25);
    Attempt("bob", "secret");
    EXPECT_TRUE(s.loggedIn());
}

TEST_F(LoginTest, UserKeepsFiftyCharactersUpToALineEnd) {
    User(std::string(60, 'u'));
    EXPECT_EQ(s.userName(), std::string(50, 'u'));
    User("bob\rjunk");
    EXPECT_EQ(s.userName(), "bob");
    User("\rbob\nx");
    EXPECT_EQ(s.userName(), "\rbob") << "a line end in the first place does not count";
}

TEST_F(LoginTest, UserLogsOutWhoeverWasIn) {
    s.AddUser("bob", "secret", home);
    Attempt("bob", "secret");
    ASSERT_TRUE(s.loggedIn());
    ASSERT_FALSE(s.account().homeDirectory().empty());
    User("alice");
    EXPECT_FALSE(s.loggedIn());
    EXPECT_EQ(s.userName(), "alice");
    EXPECT_EQ(s.account().homeDirectory(), "");
    EXPECT_EQ(s.account().token(), nullptr);
    EXPECT_FALSE(s.account().rights().holdsToken());
}

TEST_F(LoginTest, AnonymousNamesAtUser) {
    s.policyValue.allowAnon = true;
    for (const char* name : {"anonymous", "ftp"}) {
        s.ClearRecords();
        User(name);
        EXPECT_EQ(s.userName(), "anonymous") << name;
        EXPECT_EQ(s.ReplyTexts(),
                  "331-Anonymous user access allowed - please enter your email\r\n"
                  "331-address as the password:\r\n"
                  "331 Give me your password, please\r\n")
            << name;
    }
    // Other spellings are not asked for an e-mail address.
    s.ClearRecords();
    User("Anonymous");
    EXPECT_EQ(s.userName(), "Anonymous");
    EXPECT_EQ(s.ReplyTexts(), "331 Give me your password, please\r\n");
}

TEST_F(LoginTest, AnonymousRefusedAtUserWhenNotAllowed) {
    s.policyValue.allowAnon = false;
    User("anonymous");
    EXPECT_EQ(s.ReplyTexts(), "530 Sorry, anonymous access is not allowed\r\n");
    EXPECT_EQ(s.userName(), "");
    EXPECT_EQ(s.status, "Fail");
    EXPECT_EQ(s.LogLines(), std::vector<std::string>{"A Anonymous access disabled - attempt denied"});

    // "Anonymous" passes USER, but PASS treats it as anonymous: without
    // anonymous access it needs a password of its own, which it has not.
    s.ClearRecords();
    s.SetUserString("default", "Home", home);
    User("Anonymous");
    EXPECT_EQ(s.ReplyTexts(), "331 Give me your password, please\r\n");
    s.ClearRecords();
    Pass("me@example.org");
    EXPECT_FALSE(s.loggedIn());
    EXPECT_EQ(s.ReplyTexts(), "530 Not logged in - password incorrect\r\n");
    EXPECT_TRUE(s.Logged("L User not logged in."));
}

TEST_F(LoginTest, AnonymousLoginTakesTheEmail) {
    s.policyValue.allowAnon = true;
    s.SetUserString("default", "Home", home);
    User("Ftp");
    s.ClearRecords();
    Pass("me@example.org");
    ASSERT_TRUE(s.loggedIn()) << s.ReplyTexts();
    EXPECT_EQ(s.userName(), "anonymous");
    EXPECT_EQ(s.userDetail(), "me@example.org");
    EXPECT_EQ(s.account().anonymousEmail(), "me@example.org");
    EXPECT_TRUE(s.account().anonymous());
    EXPECT_TRUE(s.account().restricted()) << "anonymous users are restricted unless configured otherwise";
    EXPECT_EQ(s.account().restrictionRoot(), home);
    EXPECT_EQ(s.LogLines(), (std::vector<std::string>{"C PASSword accepted",
                                                      "A Anonymous user logged in - pass=me@example.org",
                                                      "L User anonymous logged in."}));

    User("anonymous");
    s.ClearRecords();
    Pass("");
    ASSERT_TRUE(s.loggedIn());
    EXPECT_EQ(s.account().anonymousEmail(), "{none}");
    EXPECT_TRUE(s.Logged("A Anonymous user logged in - pass={none}"));

    // A long e-mail is kept to 50 characters.
    User("anonymous");
    Pass(std::string(80, 'e'));
    EXPECT_EQ(s.account().anonymousEmail(), std::string(50, 'e'));
}

TEST_F(LoginTest, ClearTextLoginsCanBeForbidden) {
    s.AddUser("bob", "secret", home);
    s.settings().WriteInt("TLS", "ForbidClearUser", 1);
    User("bob");
    EXPECT_EQ(s.ReplyTexts(), "530 USER and PASS command must be encrypted.\r\n");
    EXPECT_EQ(s.userName(), "");
    s.ClearRecords();
    Pass("secret");
    EXPECT_EQ(s.ReplyTexts(), "530 USER and PASS command must be encrypted.\r\n");
    EXPECT_EQ(s.account().failedLogins(), 0) << "a refused clear-text PASS is not an attempt";

    s.protectedConnection = true;
    Attempt("bob", "secret");
    EXPECT_TRUE(s.loggedIn());
}

TEST_F(LoginTest, StoppingServerRefusesUserAndCloses) {
    s.forcedStop = true;
    User("bob");
    EXPECT_EQ(s.ReplyTexts(), "530 Unable to login - server currently down.\r\n");
    EXPECT_FALSE(s.accepting);
}

TEST_F(LoginTest, ClosingSessionTakesNoLogin) {
    s.AddUser("bob", "secret", home);
    s.accepting = false;
    User("bob");
    Pass("secret");
    EXPECT_TRUE(s.replies.empty());
    EXPECT_FALSE(s.loggedIn());
}

TEST_F(LoginTest, WithoutSecureUserAloneLogsIn) {
    s.policyValue.secure = false;
    s.AddUser("bob", "", home);
    User("bob");
    EXPECT_EQ(s.ReplyTexts(), "230 Logged in successfully\r\n");
    EXPECT_TRUE(s.loggedIn());
    EXPECT_EQ(s.account().homeDirectory(), home);
    EXPECT_TRUE(s.loginMessages.empty()) << "no login message without PASS";
    EXPECT_TRUE(s.Logged("C PASSword accepted"));
    EXPECT_TRUE(s.Logged("L User bob logged in."));

    // Nobody configured: the service's own folder is the home.
    s.ClearRecords();
    User("nobody");
    EXPECT_TRUE(s.loggedIn());
    EXPECT_EQ(s.account().homeDirectory(), std::filesystem::current_path().string() + "/");

    // A home that is missing still logs in, with the complaint after the 230.
    s.ClearRecords();
    s.AddUser("gone", "", s.Path("missing"));
    User("gone");
    EXPECT_EQ(s.ReplyTexts(), "230 Logged in successfully\r\n530 Unable to access your home directory.\r\n");
    EXPECT_TRUE(s.loggedIn());
}

TEST_F(LoginTest, MissingHomeIsRefusedWithItsReasons) {
    const std::string missing = s.Path("missing") + "/";
    s.AddUser("bob", "secret", missing);
    Attempt("bob", "secret");
    EXPECT_FALSE(s.loggedIn());
    EXPECT_EQ(s.ReplyTexts(), "530 Unable to access your home directory.\r\n");
    EXPECT_EQ(s.holdTicks, 0);
    EXPECT_EQ(s.account().failedLogins(), 0) << "the password was right";
    EXPECT_EQ(s.LogLines(),
              (std::vector<std::string>{"! Home directory " + missing +
                                            " for user bob not accessible - Directory not found, User has no rights",
                                        "L User not logged in."}));
    EXPECT_EQ(s.status, "Fail");
}

TEST_F(LoginTest, HomeWithoutRightsIsRefusedOnlyWhenSecure) {
    s.AddUser("bob", "secret", home);
    s.SetUserString("bob\\Rights", "*", "-");
    Attempt("bob", "secret");
    EXPECT_FALSE(s.loggedIn());
    EXPECT_TRUE(s.Logged("! Home directory " + home + " for user bob not accessible - User has no rights"));

    // With Secure 0 the configured rights do not count.
    s.policyValue.secure = false;
    s.settings().WriteInt("Security", "Secure", 0);
    s.ClearRecords();
    User("bob");
    EXPECT_TRUE(s.loggedIn());
    EXPECT_EQ(s.ReplyTexts(), "230 Logged in successfully\r\n");
}

TEST_F(LoginTest, HomeOutsideTheServerRestrictionIsRefused) {
    const std::string root = s.MakeDir("srv");
    s.policyValue.restrictToDirectory = root.substr(0, root.size() - 1);
    s.AddUser("bob", "secret", home);
    Attempt("bob", "secret");
    EXPECT_FALSE(s.loggedIn());
    EXPECT_TRUE(s.Logged("! Directory " + home + " does not appear to be a subdirectory of the server restriction " +
                         root));
    EXPECT_TRUE(s.Logged("! Home directory " + home + " for user bob not accessible - Restriction failed, User has no rights"));

    // A home below it logs in, confined to the restriction.
    const std::string inside = s.MakeDir("srv/bob");
    s.AddUser("carol", "pw", inside);
    Attempt("carol", "pw");
    ASSERT_TRUE(s.loggedIn()) << s.ReplyTexts();
    EXPECT_EQ(s.account().restrictionRoot(), root);
    EXPECT_EQ(s.account().FtpCurrentDirectory(), "/bob");
}

TEST_F(LoginTest, RestrictedUsersAreConfinedToTheirHome) {
    s.AddUser("bob", "secret", home);
    s.SetUserValue("bob", "Restricted", 1);
    Attempt("bob", "secret");
    ASSERT_TRUE(s.loggedIn());
    EXPECT_TRUE(s.account().restricted());
    EXPECT_EQ(s.account().restrictionRoot(), home);
    EXPECT_EQ(s.account().FtpCurrentDirectory(), "/");
    EXPECT_EQ(s.account().rights().root(), home);

    // An administrator never is.
    s.SetUserValue("bob", "RemoteAdmin", 1);
    Attempt("bob", "secret");
    ASSERT_TRUE(s.loggedIn());
    EXPECT_TRUE(s.account().administrator());
    EXPECT_FALSE(s.account().restricted());
    EXPECT_EQ(s.account().restrictionRoot(), "");

    // Restricted from the defaults, and with Secure 0 no confinement at all.
    s.SetUserValue("default", "Restricted", 1);
    s.AddUser("carol", "pw", home);
    Attempt("carol", "pw");
    EXPECT_EQ(s.account().restrictionRoot(), home);
    s.policyValue.secure = false;
    User("carol");
    EXPECT_TRUE(s.loggedIn());
    EXPECT_EQ(s.account().restrictionRoot(), "");
}

TEST_F(LoginTest, AnonymousIsNeverAdministrator) {
    s.policyValue.allowAnon = true;
    s.SetUserString("anonymous", "Home", home);
    s.SetUserValue("anonymous", "RemoteAdmin", 1);
    Attempt("anonymous", "x@y");
    ASSERT_TRUE(s.loggedIn());
    EXPECT_FALSE(s.account().administrator());
}

TEST_F(LoginTest, UserOptionsAreRead) {
    s.AddUser("bob", "secret", home);
    s.SetUserValue("bob", "XeroxDocutech", 1);
    s.SetUserString("bob", "AddSuffix", "_b");
    Attempt("bob", "secret");
    ASSERT_TRUE(s.loggedIn());
    EXPECT_TRUE(s.account().docutech());
    EXPECT_TRUE(s.account().nameSuffix().present);
    EXPECT_EQ(s.account().nameSuffix().text, "_b");

    s.SetUserString("bob", "AddSuffix", "0123456789");
    Attempt("bob", "secret");
    ASSERT_TRUE(s.loggedIn());
    EXPECT_FALSE(s.account().nameSuffix().present);
    EXPECT_TRUE(s.Logged("! Suffix 0123456789 is too long."));
}

TEST_F(LoginTest, TooLongHomeIsRefused) {
    const std::string longHome = "/" + std::string(259, 'h');
    s.AddUser("bob", "secret", longHome);
    Attempt("bob", "secret");
    EXPECT_FALSE(s.loggedIn());
    EXPECT_TRUE(s.Logged("! User bob has too long a home directory."));
    EXPECT_EQ(s.ReplyTexts(), "530 Not logged in - password incorrect\r\n");

    // A long one ending in "/" is refused the same way, not cut.
    s.SetUserString("bob", "Home", "/" + std::string(270, 'h') + "/");
    Attempt("bob", "secret");
    EXPECT_FALSE(s.loggedIn());
    EXPECT_TRUE(s.Logged("! User bob has too long a home directory."));
}

TEST_F(LoginTest, HomeFallsBackToTheDefaultUser) {
    s.AddUser("bob", "secret");
    s.SetUserString("default", "Home", home);
    Attempt("bob", "secret");
    ASSERT_TRUE(s.loggedIn());
    EXPECT_EQ(s.account().homeDirectory(), home);

    // Backslashes in stored homes are separators.
    std::string written = home;
    for (char& c : written)
        if (c == '/') c = '\\';
    s.SetUserString("bob", "Home", written);
    Attempt("bob", "secret");
    ASSERT_TRUE(s.loggedIn());
    EXPECT_EQ(s.account().homeDirectory(), home);
}

TEST_F(LoginTest, VirtualDirectoriesAreLoadedAtLogin) {
    const std::string a = s.MakeDir("real/a");
    const std::string b = s.MakeDir("real/b");
    const std::string c = s.MakeDir("real/c");
    s.settings().WriteString("Virtual Directories", (home + "pub").c_str(), a.c_str());
    s.settings().WriteString("Virtual Directories", (home + "shared").c_str(), b.c_str());
    s.SetUserString("bob\\Virtual Directories", home + "shared", c);
    s.AddUser("bob", "secret", home);
    Attempt("bob", "secret");
    ASSERT_TRUE(s.loggedIn());
    const VirtualDirs& maps = s.account().maps();
    EXPECT_EQ(maps.Forward(home + "pub").value_or(""), a.substr(0, a.size() - 1));
    EXPECT_EQ(maps.Forward(home + "shared").value_or(""), c.substr(0, c.size() - 1)) << "the user's entry wins";

    // A failed login leaves no maps behind.
    Attempt("bob", "wrong");
    EXPECT_TRUE(s.account().maps().empty());
}

}  // namespace
}  // namespace orvyn::test
