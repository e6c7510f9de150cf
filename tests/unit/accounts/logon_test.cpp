// System-account logon against fake accounts only. The logon cases run in a
// child copy of this program with pam_wrapper (PAM services and the pam_matrix
// password file from a temporary folder) and nss_wrapper (passwd and group
// files from the same folder) preloaded, so no real account is ever asked.
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "accounts_support.h"
#include "platform/accounts/SystemLogon.h"

namespace orvyn::accounts {
namespace {

using test::TempDir;

// ---- child side -------------------------------------------------------------

void PrintToken(const TokenPtr& t) {
    if (t == nullptr) {
        return;
    }
    std::printf("name=%s\nuid=%u\ngid=%u\nhome=%s\ngroups=", t->name.c_str(), unsigned(t->uid), unsigned(t->gid),
                t->home.c_str());
    for (gid_t g : t->groups) {
        std::printf("%u,", unsigned(g));
    }
    std::printf("\n");
}

// argv: op account domain password
int Probe(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    std::string op = argv[1];
    std::string account = argv[2];
    if (op == "home") {
        std::printf("home=%s\n", AccountHome(account).c_str());
        return 0;
    }
    if (argc < 5) {
        return 2;
    }
    std::string password = argv[4];
    if (op == "logon-nul") {
        password.append(std::string("\0x", 2));
    } else if (op == "logon-ctl") {
        account.append("\r\n");
    } else if (op != "logon") {
        return 2;
    }
    LogonResult r = LogonUser(account, argv[3], password);
    std::printf("ok=%d\nerror=%d\ntext=%s\n", r.ok ? 1 : 0, r.error, r.errorText.c_str());
    PrintToken(r.token);
    return 0;
}

// ---- parent side ------------------------------------------------------------

#if defined(ORVYN_PAM_WRAPPER_LIB)

std::string g_self;

class SystemLogon : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pdb = dir.write("passdb",
                                    "ftpalice:secret:orvyn\n"
                                    "ftpbob:bobpw:elsewhere\n"
                                    "ftpcarol:carolpw:orvyn\n"
                                    "CORP\\ftpdave:davepw:orvyn\n");
        dir.write("passwd", "ftpalice:x:64501:64501:Alice:" + (dir / "alice") +
                                ":/bin/false\n"
                                "ftpbob:x:64502:64502:Bob:" +
                                (dir / "bob") +
                                ":/bin/false\n"
                                "CORP\\ftpdave:x:64504:64501:Dave:" +
                                (dir / "dave") + ":/bin/false\n");
        dir.write("group",
                  "ftpalice:x:64501:\n"
                  "ftpbob:x:64502:\n"
                  "ftpteam:x:64550:ftpalice,CORP\\ftpdave\n");
        // The plain service, one whose module chats (information and error
        // messages), and one that asks for the password as a visible prompt.
        std::string module = ORVYN_PAM_MATRIX_MODULE;
        for (std::string variant : {"", "verbose", "echo"}) {
            std::string folder = "services" + variant;
            dir.mkdir(folder);
            dir.write(folder + "/orvyn", "auth required " + module + " passdb=" + pdb + " " + variant +
                                             "\naccount required " + module + " passdb=" + pdb + "\n");
        }
    }

    std::map<std::string, std::string> run(const std::vector<std::string>& args, const std::string& variant = "") {
        std::vector<std::string> argv{g_self};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env{
            "ORVYN_LOGON_PROBE=1",
            std::string("LD_PRELOAD=") + ORVYN_PAM_WRAPPER_LIB + ":" + ORVYN_NSS_WRAPPER_LIB,
            "PAM_WRAPPER=1",
            "PAM_WRAPPER_SERVICE_DIR=" + (dir / ("services" + variant)),
            // Deep binding is incompatible with the sanitizers; some versions
            // of the wrapper read the switch under the second name.
            "PAM_WRAPPER_DISABLE_DEEPBIND=1",
            "UID_WRAPPER_DISABLE_DEEPBIND=1",
            "NSS_WRAPPER_PASSWD=" + (dir / "passwd"),
            "NSS_WRAPPER_GROUP=" + (dir / "group"),
            "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0",
            "TMPDIR=" + dir.path(),
            "PATH=/usr/bin:/bin",
        };
        test::ChildOutput out = test::RunChild(argv, env);
        std::map<std::string, std::string> fields;
        EXPECT_TRUE(WIFEXITED(out.status) && WEXITSTATUS(out.status) == 0) << out.out;
        std::istringstream lines(out.out);
        std::string line;
        while (std::getline(lines, line)) {
            size_t eq = line.find('=');
            if (eq != std::string::npos) {
                fields[line.substr(0, eq)] = line.substr(eq + 1);
            }
        }
        fields["_output"] = out.out;
        return fields;
    }

    TempDir dir;
};

TEST_F(SystemLogon, AcceptsTheRightPasswordWithTheAccountsCredentials) {
    auto r = run({"logon", "ftpalice", "", "secret"});
    ASSERT_EQ(r["ok"], "1") << r["_output"];
    EXPECT_EQ(r["error"], "0");
    EXPECT_EQ(r["name"], "ftpalice");
    EXPECT_EQ(r["uid"], "64501");
    EXPECT_EQ(r["gid"], "64501");
    EXPECT_EQ(r["home"], dir / "alice");
    EXPECT_NE(r["groups"].find("64501,"), std::string::npos) << r["groups"];
    EXPECT_NE(r["groups"].find("64550,"), std::string::npos) << r["groups"];
}

TEST_F(SystemLogon, WrongPasswordAndUnknownAccountAreTheSameSilentFailure) {
    for (auto args : std::vector<std::vector<std::string>>{{"logon", "ftpalice", "", "Secret"},
                                                            {"logon", "ftpalice", "", ""},
                                                            {"logon", "nosuchuser", "", "secret"},
                                                            {"logon-nul", "ftpalice", "", "secret"},
                                                            {"logon-ctl", "ftpalice", "", "secret"}}) {
        auto r = run(args);
        EXPECT_EQ(r["ok"], "0") << args[0] << " " << args[1] << "\n" << r["_output"];
        EXPECT_EQ(r["error"], "1326") << args[0] << " " << args[1] << "\n" << r["_output"];
        EXPECT_EQ(r.count("uid"), 0u);
    }
}

TEST_F(SystemLogon, AccountCheckRefusalIsAnAccountRestriction) {
    auto r = run({"logon", "ftpbob", "", "bobpw"});
    EXPECT_EQ(r["ok"], "0");
    EXPECT_EQ(r["error"], "1327") << r["_output"];
    EXPECT_EQ(r["text"], "user account restriction.");
}

TEST_F(SystemLogon, AuthenticatedNameWithoutPasswdEntryIsRefused) {
    auto r = run({"logon", "ftpcarol", "", "carolpw"});
    EXPECT_EQ(r["ok"], "0");
    EXPECT_EQ(r["error"], "1332") << r["_output"];
    EXPECT_EQ(r.count("uid"), 0u);
}

TEST_F(SystemLogon, ADomainIsPassedAsDomainBackslashAccount) {
    auto r = run({"logon", "ftpdave", "CORP", "davepw"});
    ASSERT_EQ(r["ok"], "1") << r["_output"];
    EXPECT_EQ(r["name"], "CORP\\ftpdave");
    EXPECT_EQ(r["uid"], "64504");
    EXPECT_NE(r["groups"].find("64550,"), std::string::npos) << r["groups"];

    auto bare = run({"logon", "ftpdave", "", "davepw"});
    EXPECT_EQ(bare["error"], "1326") << bare["_output"];
}

TEST_F(SystemLogon, MessagesFromModulesDoNotDisturbTheLogon) {
    auto ok = run({"logon", "ftpalice", "", "secret"}, "verbose");
    EXPECT_EQ(ok["ok"], "1") << ok["_output"];
    auto refused = run({"logon", "ftpalice", "", "wrong"}, "verbose");
    EXPECT_EQ(refused["error"], "1326") << refused["_output"];
}

TEST_F(SystemLogon, AVisiblePromptIsNotAnsweredAndIsReportedAsAnError) {
    auto r = run({"logon", "ftpalice", "", "secret"}, "echo");
    EXPECT_EQ(r["ok"], "0");
    // A configuration problem must reach the log, not pass as a wrong
    // password; which number it gets depends on how the module reports it.
    EXPECT_NE(r["error"], "0") << r["_output"];
    EXPECT_NE(r["error"], "1326") << r["_output"];
    EXPECT_FALSE(r["text"].empty());
}

TEST_F(SystemLogon, AccountHomeComesFromThePasswordDatabase) {
    EXPECT_EQ(run({"home", "ftpalice"})["home"], dir / "alice");
    EXPECT_EQ(run({"home", "nosuchuser"})["home"], "");
}

#endif  // ORVYN_PAM_WRAPPER_LIB

// ---- in-process cases (no PAM involved) -------------------------------------

TEST(AccountInfo, ServiceTokenIsTheEffectiveIdentity) {
    TokenPtr t = ServiceToken();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->uid, geteuid());
    EXPECT_EQ(t->gid, getegid());
    EXPECT_NE(std::find(t->groups.begin(), t->groups.end(), getegid()), t->groups.end());
    EXPECT_FALSE(t->name.empty());
}

TEST(AccountInfo, AccountTokenRejectsUnusableNames) {
    EXPECT_EQ(AccountToken(""), nullptr);
    EXPECT_EQ(AccountToken(std::string("root\0x", 6)), nullptr);
    EXPECT_EQ(AccountToken(std::string(300, 'a')), nullptr);
    EXPECT_EQ(AccountToken("orvyn-no-such-account"), nullptr);
}

TEST(AccountInfo, NearestExistingDirectoryClimbsToWhatExists) {
    TempDir dir;
    std::string sub = dir.mkdir("a");
    EXPECT_EQ(NearestExistingDirectory(sub + "/b/c/d"), sub);
    EXPECT_EQ(NearestExistingDirectory(sub + "/"), sub);
    EXPECT_EQ(NearestExistingDirectory(sub), sub);
    // A file on the way is not a directory to stop at.
    dir.write("a/file", "x");
    EXPECT_EQ(NearestExistingDirectory(sub + "/file/x"), sub);
    EXPECT_EQ(NearestExistingDirectory("/orvyn-none-such/x"), "/");
    EXPECT_EQ(NearestExistingDirectory("/"), "/");

}

TEST(AccountInfo, TheLastResortHomeIsMadeInAnInstalledDataFolder) {
    TempDir dir;
    // Installed: the data folder exists, and the home is made in it rather
    // than lending the data folder (and the store in it).
    const std::string data = dir.mkdir("orvyn");
    EXPECT_EQ(LastResortHome(data + "/users/default"), data + "/users/default");
    struct stat st;
    ASSERT_EQ(stat((data + "/users/default").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    // Not installed: nothing is made, the nearest folder that exists is it.
    EXPECT_EQ(LastResortHome(dir.path() + "/none/users/default"), dir.path());
    EXPECT_NE(stat((dir.path() + "/none").c_str(), &st), 0);
}

TEST(AccountInfo, LogonErrorTexts) {
    EXPECT_EQ(LogonErrorText(1330), "the account's password has expired.");
    EXPECT_EQ(LogonErrorText(1385), LogonErrorText(1380));
    EXPECT_EQ(LogonErrorText(0), "");
    EXPECT_NE(LogonErrorText(1793), LogonErrorText(1359));
}

}  // namespace
}  // namespace orvyn::accounts

int main(int argc, char** argv) {
    if (getenv("ORVYN_LOGON_PROBE") != nullptr) {
        return orvyn::accounts::Probe(argc, argv);
    }
#if defined(ORVYN_PAM_WRAPPER_LIB)
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        orvyn::accounts::g_self.assign(self, static_cast<size_t>(n));
    }
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
