// The external authentication library: loading and reloading, the answers of
// the test library, the home buffer, the account it may name, and libraries
// that are missing or unusable.
#include <stdlib.h>

#include <gtest/gtest.h>

#include "platform/accounts/ExternalAuth.h"

namespace orvyn::accounts {
namespace {

const std::string kLibrary = ORVYN_TESTAUTH_LIBRARY;

class ExternalAuth : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("ORVYN_TESTAUTH_HOME");
        unsetenv("ORVYN_TESTAUTH_ACCOUNT");
        ASSERT_TRUE(lib.load(kLibrary)) << lib.loadError();
    }
    void TearDown() override {
        unsetenv("ORVYN_TESTAUTH_HOME");
        unsetenv("ORVYN_TESTAUTH_ACCOUNT");
    }
    ExternalAuthLibrary lib;
};

TEST_F(ExternalAuth, AcceptsWhatTheLibraryAcceptsWithItsHome) {
    ExternalAuthResult r = lib.authenticate(7, "extuser", "extpass");
    EXPECT_TRUE(r.accepted);
    EXPECT_EQ(r.home, "/tmp/ext-home/");
    EXPECT_EQ(r.token, nullptr);

    setenv("ORVYN_TESTAUTH_HOME", "/srv/ext/other/", 1);
    EXPECT_EQ(lib.authenticate(7, "extuser", "extpass").home, "/srv/ext/other/");
}

TEST_F(ExternalAuth, RefusesWhatTheLibraryRefuses) {
    EXPECT_FALSE(lib.authenticate(7, "extuser", "wrong").accepted);
    EXPECT_FALSE(lib.authenticate(7, "someone", "extpass").accepted);
    EXPECT_FALSE(lib.authenticate(7, "", "").accepted);
}

TEST_F(ExternalAuth, PassesTheConnectionNumber) {
    EXPECT_EQ(lib.authenticate(4321, "conn", "").home, "/conn/4321");
}

TEST_F(ExternalAuth, AHomeWithoutTerminatorIsCutAtTheBufferEnd) {
    ExternalAuthResult r = lib.authenticate(1, "longhome", "");
    EXPECT_TRUE(r.accepted);
    ASSERT_EQ(r.home.size(), 260u);
    EXPECT_EQ(r.home[0], '/');
    EXPECT_EQ(r.home.find_first_not_of('h', 1), std::string::npos);
}

TEST_F(ExternalAuth, PasswordsWithNulBytesAreNotShortened) {
    EXPECT_FALSE(lib.authenticate(1, "extuser", std::string("extpass\0more", 12)).accepted);
    EXPECT_FALSE(lib.authenticate(1, std::string("extuser\0x", 9), "extpass").accepted);
}

TEST_F(ExternalAuth, AnAccountNamedByTheLibraryBecomesTheToken) {
    setenv("ORVYN_TESTAUTH_ACCOUNT", "root", 1);
    ExternalAuthResult r = lib.authenticate(1, "acctuser", "acctpass");
    ASSERT_TRUE(r.accepted) << r.tokenError;
    ASSERT_NE(r.token, nullptr);
    EXPECT_EQ(r.token->name, "root");
    EXPECT_EQ(r.token->uid, 0u);
    EXPECT_EQ(r.home, "/tmp/acct-home/");
}

TEST_F(ExternalAuth, AnUnknownOrEmptyAccountFailsTheLogin) {
    setenv("ORVYN_TESTAUTH_ACCOUNT", "orvyn-no-such-account", 1);
    ExternalAuthResult r = lib.authenticate(1, "acctuser", "acctpass");
    EXPECT_FALSE(r.accepted);
    EXPECT_EQ(r.token, nullptr);
    EXPECT_NE(r.tokenError.find("orvyn-no-such-account"), std::string::npos) << r.tokenError;

    setenv("ORVYN_TESTAUTH_ACCOUNT", "", 1);
    r = lib.authenticate(1, "acctuser", "acctpass");
    EXPECT_FALSE(r.accepted);
    EXPECT_FALSE(r.tokenError.empty());
}

TEST_F(ExternalAuth, FindsTheReservedExports) {
    EXPECT_NE(lib.approveExport(), nullptr);
    EXPECT_NE(lib.finishedExport(), nullptr);
}

TEST_F(ExternalAuth, LoadsAgainOnlyWhenTheNameChanges) {
    EXPECT_TRUE(lib.load(kLibrary));
    EXPECT_EQ(lib.name(), kLibrary);
    EXPECT_TRUE(lib.authenticate(1, "extuser", "extpass").accepted);

    EXPECT_FALSE(lib.load(""));
    EXPECT_FALSE(lib.loaded());
    EXPECT_TRUE(lib.loadError().empty()) << "no library is not an error";
    EXPECT_FALSE(lib.authenticate(1, "extuser", "extpass").accepted);

    EXPECT_TRUE(lib.load(kLibrary));
    EXPECT_TRUE(lib.authenticate(1, "extuser", "extpass").accepted);
}

TEST(ExternalAuthLoad, AMissingLibraryMeansNoLibrary) {
    ExternalAuthLibrary lib;
    EXPECT_FALSE(lib.load("/nonexistent/orvyn/libnothing.so"));
    EXPECT_FALSE(lib.loaded());
    EXPECT_FALSE(lib.loadError().empty());
    EXPECT_FALSE(lib.authenticate(1, "extuser", "extpass").accepted);
}

TEST(ExternalAuthLoad, ALibraryWithoutTheExportIsNotUsed) {
    ExternalAuthLibrary lib;
    EXPECT_FALSE(lib.load("libm.so.6"));
    EXPECT_FALSE(lib.loaded());
    EXPECT_NE(lib.loadError().find("ORVYN_AuthenticateA"), std::string::npos) << lib.loadError();
}

TEST(ExternalAuthLoad, AFailedNameReplacesAWorkingLibrary) {
    ExternalAuthLibrary lib;
    ASSERT_TRUE(lib.load(kLibrary));
    EXPECT_FALSE(lib.load("/nonexistent/orvyn/libnothing.so"));
    EXPECT_FALSE(lib.authenticate(1, "extuser", "extpass").accepted);
}

}  // namespace
}  // namespace orvyn::accounts
