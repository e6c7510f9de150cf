// Rights masks from the rights entries in a real store and from the
// permissions of real files, judged for fake accounts that own nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "paths_support.h"
#include "platform/accounts/Impersonation.h"
#include "service/accounts/paths/PathRights.h"
#include "service/base/settings/ServerRegistry.h"
#include "tests/unit/settings/TempStore.h"

namespace orvyn {
namespace {

// An account that exists nowhere and owns nothing: only the "other"
// permission bits apply to it.
accounts::TokenPtr Stranger() {
    auto t = std::make_shared<accounts::Token>();
    t->name = "stranger";
    t->uid = 54321;
    t->gid = 54321;
    t->groups = {54321};
    return t;
}

TEST(RightsText, Letters) {
    EXPECT_EQ(ParseRights("RWL"), 15);
    EXPECT_EQ(ParseRights("rcol"), 15);
    EXPECT_EQ(ParseRights("R"), kRightRead);
    EXPECT_EQ(ParseRights("w"), kRightCreate | kRightOverwrite);
    EXPECT_EQ(ParseRights("L-"), kRightList);
    EXPECT_EQ(ParseRights("-"), 0);
    EXPECT_EQ(ParseRights(""), 0);
    EXPECT_EQ(ParseRights("xyz 9"), 0);
}

class RightsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ftp = tree.Dir("ftp") + "/";
        tree.Dir("ftp/pub");
        tree.Dir("ftp/other");
        tree.Dir("elsewhere");
    }
    void UserEntry(const std::string& user, const std::string& path, const char* letters) {
        ASSERT_TRUE(settings.WriteString(("Users\\" + user + "\\Rights").c_str(), path.c_str(), letters));
    }
    void DefaultEntry(const std::string& path, const char* letters) {
        ASSERT_TRUE(settings.WriteString("Users\\DefaultRights", path.c_str(), letters));
    }
    // Whether this thread, as whoever it acts for, can see the store file
    // (its folder is private to the service).
    bool StoreVisible() const {
        struct stat st{};
        return stat(tmp.file("run").c_str(), &st) == 0;
    }
    // Configuration part alone: no token is judged.
    int Configured(const std::string& user, const std::string& path, const std::string& root = "") {
        PathRights rights;
        rights.Load(settings, user, root, nullptr, true);
        return rights.GetRights(path, false);
    }

    test::TempStore tmp;
    test::TempTree tree;
    CServerRegistry settings{tmp.store(), "Demo", nullptr};
    std::string ftp;
};

TEST_F(RightsTest, NoEntriesAtAllGiveEverything) {
    EXPECT_EQ(Configured("alice", ftp + "pub/x"), 15);
    EXPECT_EQ(Configured("alice", ftp), 15);
    EXPECT_EQ(Configured("", "/"), 15);
}

TEST_F(RightsTest, UserEntryCoveringBeatsALongerDefaultEntry) {
    UserEntry("alice", ftp, "R");
    DefaultEntry(ftp + "pub/", "RWL");
    DefaultEntry("*", "L");
    EXPECT_EQ(Configured("alice", ftp + "pub/x"), kRightRead);
    EXPECT_EQ(Configured("alice", ftp + "pub/"), kRightRead);
    // A user without entries of their own gets the default's.
    EXPECT_EQ(Configured("bob", ftp + "pub/x"), 15);
    EXPECT_EQ(Configured("bob", ftp + "other/x"), kRightList);
    // Where none of the user's path entries reaches, the default's path
    // entries come next, then "*".
    EXPECT_EQ(Configured("alice", tree.At("elsewhere/f")), kRightList);
}

TEST_F(RightsTest, LongestCoveringEntryOfTheUserWins) {
    UserEntry("alice", ftp, "R");
    UserEntry("alice", ftp + "pub/", "L");
    UserEntry("alice", ftp + "pub/deep/er/", "W");
    EXPECT_EQ(Configured("alice", ftp + "pub/x"), kRightList);
    EXPECT_EQ(Configured("alice", ftp + "pub/deep/er"), kRightWrite);
    EXPECT_EQ(Configured("alice", ftp + "pub/deep/erx"), kRightList);
    EXPECT_EQ(Configured("alice", ftp + "other/"), kRightRead);
    EXPECT_EQ(Configured("alice", ftp), kRightRead);
    EXPECT_EQ(Configured("alice", tree.At("ft")), 15);
}

// A folder swapped for a link between the check of a path and the open: the
// open file is judged where the kernel has it, not where the path leads now.
TEST_F(RightsTest, AnOpenedFileIsJudgedWhereItWasOpened) {
    UserEntry("alice", ftp, "RWL");
    UserEntry("alice", tree.At("elsewhere/"), "-");
    tree.File("ftp/pub/f.txt", "mine");
    tree.File("elsewhere/f.txt", "forbidden");
    PathRights rights;
    rights.Load(settings, "alice", "", nullptr, true);
    const std::string path = ftp + "pub/f.txt";
    auto openedAs = [&](const std::string& p) { return ::open(p.c_str(), O_RDONLY | O_CLOEXEC); };
    const int mine = openedAs(path);
    ASSERT_TRUE(::rename(tree.At("ftp/pub").c_str(), tree.At("ftp/pub.away").c_str()) == 0);
    tree.Link("ftp/pub", tree.At("elsewhere"));
    const int forbidden = openedAs(path);
    // Back as it was: the path alone would now be judged as allowed.
    ASSERT_TRUE(::unlink(tree.At("ftp/pub").c_str()) == 0);
    ASSERT_TRUE(::rename(tree.At("ftp/pub.away").c_str(), tree.At("ftp/pub").c_str()) == 0);
    EXPECT_TRUE(rights.HasRights(path, kRightRead));
    EXPECT_TRUE(rights.OpenedHasRights(path, mine, kRightRead));
    EXPECT_FALSE(rights.OpenedHasRights(path, forbidden, kRightRead));
    ::close(mine);
    ::close(forbidden);
}

TEST_F(RightsTest, StarEntries) {
    DefaultEntry(ftp + "pub/", "RL");
    DefaultEntry("*", "L");
    UserEntry("carol", "*", "RW");
    // The user's "*" comes after the default's path entries...
    EXPECT_EQ(Configured("carol", ftp + "pub/f"), kRightRead | kRightList);
    // ...and before the default's "*".
    EXPECT_EQ(Configured("carol", ftp + "other/f"), kRightRead | kRightWrite);
    EXPECT_EQ(Configured("dave", ftp + "other/f"), kRightList);
    // "*" is no path: it covers nothing by prefix.
    UserEntry("erin", "*", "-");
    UserEntry("erin", ftp + "pub/", "RWL");
    EXPECT_EQ(Configured("erin", ftp + "pub/f"), 15);
    EXPECT_EQ(Configured("erin", ftp + "other/f"), 0);
}

TEST_F(RightsTest, TheDefaultUserReadsTheDefaultKey) {
    DefaultEntry(ftp, "L");
    EXPECT_EQ(Configured("default", ftp + "x"), kRightList);
    EXPECT_EQ(Configured("DEFAULT", ftp + "x"), kRightList);
    // A domain account's entries sit one level deeper.
    UserEntry("CORP\\alice", ftp, "R");
    EXPECT_EQ(Configured("CORP\\alice", ftp + "x"), kRightRead);
    // A name that would reach into another user's keys has no entries of
    // its own.
    UserEntry("bob", ftp, "RWL");
    EXPECT_EQ(Configured("bob\\Rights", ftp + "x"), kRightList);
    EXPECT_EQ(Configured("bob", ftp + "x"), 15);
}

TEST_F(RightsTest, EntriesAndRootsAreCaseSensitive) {
    tree.Dir("FTP");
    UserEntry("alice", tree.At("FTP/"), "-");
    EXPECT_EQ(Configured("alice", ftp + "pub/x"), 15);
    EXPECT_EQ(Configured("alice", tree.At("FTP/pub/x")), 0);
    // A path outside the root has no rights, whatever its letter case says.
    EXPECT_EQ(Configured("alice", tree.At("FTP/x"), ftp), 0);
    EXPECT_EQ(Configured("alice", ftp + "x", ftp), 15);
}

TEST_F(RightsTest, EmptyLettersMeanNoRights) {
    UserEntry("alice", ftp + "pub/", "-");
    const uint8_t nul = 0;
    ASSERT_TRUE(tmp.store()
                    .SetValue(settings.KeyPath("Users\\alice\\Rights"), ftp + "other/", reg::REG_SZ, &nul, 1)
                    .ok());
    ASSERT_TRUE(settings.WriteInt("Users\\alice\\Rights", (tree.At("elsewhere/")).c_str(), 15));
    EXPECT_EQ(Configured("alice", ftp + "pub/x"), 0);
    EXPECT_EQ(Configured("alice", ftp + "other/x"), 0);
    // Letters that are not text read as missing: no rights.
    EXPECT_EQ(Configured("alice", tree.At("elsewhere/x")), 0);
}

TEST_F(RightsTest, OverlongPathsAndPathsOutsideTheRootHaveNone) {
    const std::string longPath = ftp + std::string(300, 'a');
    EXPECT_EQ(Configured("alice", longPath), 0);
    EXPECT_EQ(Configured("alice", ftp + std::string(259 - ftp.size(), 'b')), 0);
    EXPECT_EQ(Configured("alice", ftp + std::string(257 - ftp.size(), 'b')), 15);
    EXPECT_EQ(Configured("alice", tree.At("elsewhere/x"), ftp), 0);
    EXPECT_EQ(Configured("alice", tree.At("ftpx"), ftp), 0);
}

TEST_F(RightsTest, SecureOffIgnoresEntries) {
    UserEntry("alice", ftp, "-");
    EXPECT_EQ(Configured("alice", ftp + "x"), 0);
    ASSERT_TRUE(settings.WriteInt("Security", "Secure", 0));
    EXPECT_EQ(Configured("alice", ftp + "x"), 15);
    // Outside the root too: the root itself is only set while secure.
    EXPECT_EQ(Configured("alice", tree.At("elsewhere/x"), ftp), 15);
    // The caller decides what a missing value means.
    ASSERT_TRUE(tmp.store().DeleteValue(settings.KeyPath("Security"), "Secure").ok());
    PathRights rights;
    rights.Load(settings, "alice", "", nullptr, true, false);
    EXPECT_EQ(rights.GetRights(ftp + "x", false), 15);
}

TEST_F(RightsTest, UploadSwitchesRemoveCreateAndOverwrite) {
    UserEntry("alice", ftp, "RWL");
    EXPECT_EQ(Configured("alice", ftp + "x"), 15);
    EXPECT_EQ(Configured("anonymous", ftp + "x"), kRightRead | kRightList);  // Allow_Anon_Puts is 0
    ASSERT_TRUE(settings.WriteInt("Security", "Allow_Anon_Puts", 1));
    EXPECT_EQ(Configured("Anonymous", ftp + "x"), 15);
    EXPECT_EQ(Configured("ftp", ftp + "x"), 15);
    ASSERT_TRUE(settings.WriteInt("Security", "Allow_Puts", 0));
    EXPECT_EQ(Configured("alice", ftp + "x"), kRightRead | kRightList);
    EXPECT_EQ(Configured("anonymous", ftp + "x"), kRightRead | kRightList);
    PathRights rights;
    rights.Load(settings, "alice", "", nullptr, true);
    EXPECT_FALSE(rights.writesAllowed());
    EXPECT_FALSE(rights.HasRights(ftp + "x", kRightCreate));
    EXPECT_TRUE(rights.HasRights(ftp + "x", kRightRead | kRightList));
}

TEST_F(RightsTest, LettersAreReadFreshButNamesOnReload) {
    UserEntry("alice", ftp, "R");
    PathRights rights;
    rights.Load(settings, "alice", "", nullptr, true);
    EXPECT_EQ(rights.GetRights(ftp + "pub/x", false), kRightRead);
    UserEntry("alice", ftp, "L");
    EXPECT_EQ(rights.GetRights(ftp + "pub/x", false), kRightList);
    UserEntry("alice", ftp + "pub/", "W");
    EXPECT_EQ(rights.GetRights(ftp + "pub/x", false), kRightList);
    EXPECT_EQ(rights.GetRights(ftp + "pub/x", true), kRightWrite);
    ASSERT_TRUE(tmp.store().DeleteValue(settings.KeyPath("Users\\alice\\Rights"), ftp + "pub/").ok());
    // The cached name is still there; its letters are gone.
    EXPECT_EQ(rights.GetRights(ftp + "pub/x", false), 0);
    EXPECT_TRUE(rights.HasRights(ftp + "pub/x", kRightList));
}

TEST_F(RightsTest, VirtualDirectoriesAreJudgedWhereTheyAreShown) {
    tree.Dir("data/shared");
    ASSERT_TRUE(settings.WriteString("Users\\alice\\Virtual Directories", (ftp + "shared").c_str(),
                                     tree.At("data/shared").c_str()));
    UserEntry("alice", ftp + "shared/", "L");
    PathRights rights;
    rights.Load(settings, "alice", ftp, nullptr, true);
    EXPECT_EQ(rights.GetRights(tree.At("data/shared/x"), false), kRightList);
    EXPECT_EQ(rights.GetRights(tree.At("data/x"), false), 0);
}

TEST_F(RightsTest, HasRightsRefusesEmptyAndDevicePaths) {
    PathRights rights;
    rights.Load(settings, "alice", "", nullptr, true);
    EXPECT_TRUE(rights.HasRights(ftp + "x", 15));
    EXPECT_FALSE(rights.HasRights("", 0));
    EXPECT_FALSE(rights.HasRights(ftp + "con", kRightRead));
    EXPECT_FALSE(rights.HasRights(ftp + "LPT1:/x", kRightRead));
    EXPECT_FALSE(rights.HasRights(ftp + "Aux/", 0));
    std::string owner, group;
    rights.GetRights(ftp, false, &owner, &group);
    EXPECT_EQ(owner, "noone");
    EXPECT_EQ(group, "nogroup");
    PathRights unloaded;
    EXPECT_EQ(unloaded.GetRights(ftp, false), 0);
    EXPECT_FALSE(unloaded.HasRights(ftp, 0));
}

TEST_F(RightsTest, FileSystemPartFollowsTheAccountsPermissions) {
    tree.Dir("fs/readonly", 0555);
    tree.Dir("fs/open", 0777);
    tree.Dir("fs/private", 0700);
    tree.Dir("fs/dropbox", 0333);
    tree.File("fs/open/ro.txt", "x", 0444);
    tree.File("fs/open/rw.txt", "x", 0666);
    tree.File("fs/private/hidden.txt", "x", 0666);
    PathRights rights;
    rights.Load(settings, "stranger", "", Stranger(), false);
    const std::string fs = tree.At("fs/");
    // Folders: traverse gives R, write gives C and O, read gives L.
    EXPECT_EQ(rights.GetRights(fs + "readonly/", false), kRightRead | kRightList);
    EXPECT_EQ(rights.GetRights(fs + "open/", false), 15);
    EXPECT_EQ(rights.GetRights(fs + "dropbox/", false), kRightRead | kRightWrite);
    // Files: read gives R and L, write gives C and O.
    EXPECT_EQ(rights.GetRights(fs + "open/ro.txt", false), kRightRead | kRightList);
    EXPECT_EQ(rights.GetRights(fs + "open/rw.txt", false), 15);
    // What does not exist is judged by its nearest existing folder.
    EXPECT_EQ(rights.GetRights(fs + "readonly/new.txt", false), kRightRead | kRightList);
    EXPECT_EQ(rights.GetRights(fs + "readonly/a/b/c/", false), kRightRead | kRightList);
    EXPECT_EQ(rights.GetRights(fs + "open/new/deeper.txt", false), 15);
    // A folder the account cannot enter grants nothing below it.
    EXPECT_EQ(rights.GetRights(fs + "private/hidden.txt", false), 0);
    EXPECT_EQ(rights.GetRights(fs + "private/new.txt", false), 0);
    EXPECT_FALSE(rights.HasRights(fs + "readonly/new.txt", kRightCreate));
    EXPECT_TRUE(rights.HasRights(fs + "open/new.txt", kRightCreate | kRightOverwrite));

    // Both parts must grant a right.
    UserEntry("stranger", fs + "open/", "RL");
    EXPECT_EQ(rights.GetRights(fs + "open/rw.txt", true), kRightRead | kRightList);

    // Skipping the token leaves the file system out of it.
    PathRights skipped;
    skipped.Load(settings, "stranger", "", Stranger(), true);
    EXPECT_EQ(skipped.GetRights(fs + "readonly/", false), 15);
    EXPECT_TRUE(skipped.hasSessionToken());
    EXPECT_FALSE(skipped.holdsToken());
}

TEST_F(RightsTest, FrozenCopyJudgesExaminedEntriesAsAWalkWouldAndKeepsItsLetters) {
    tree.Dir("fs/open", 0777);
    tree.Dir("fs/open/sub", 0555);
    tree.Dir("fs/private", 0700);
    tree.File("fs/open/ro.txt", "x", 0444);
    tree.File("fs/open/rw.txt", "x", 0666);
    tree.File("fs/open/none.txt", "x", 0000);
    tree.File("fs/open/sub/inside.txt", "x", 0644);
    tree.File("fs/private/hidden.txt", "x", 0666);
    UserEntry("stranger", tree.At("fs/"), "RWL");
    UserEntry("stranger", tree.At("fs/open/sub/"), "R");
    // Folders are named with their closing "/"; the order moves between
    // folders so the copy's per-folder state must follow.
    const std::vector<std::string> paths = {
        tree.At("fs/open/ro.txt"),        tree.At("fs/private/hidden.txt"), tree.At("fs/open/rw.txt"),
        tree.At("fs/open/none.txt"),      tree.At("fs/open/sub/"),          tree.At("fs/open/sub/inside.txt"),
        tree.At("fs/open/"),              tree.At("fs/private/"),           tree.At("fs/open/ro.txt"),
    };
    for (const accounts::TokenPtr& token : {Stranger(), accounts::TokenPtr()}) {
        SCOPED_TRACE(token ? "stranger" : "service");
        UserEntry("stranger", tree.At("fs/"), "RWL");
        PathRights live;
        live.Load(settings, "stranger", "", token, false);
        PathRights frozen;
        frozen.CopyFrom(live);
        frozen.Freeze();
        std::vector<int> before;
        for (const std::string& path : paths) {
            struct stat st;
            ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
            before.push_back(live.GetRights(path, false));
            EXPECT_EQ(frozen.GetExaminedRights(path, st), before.back()) << path;
        }
        if (token) {
            EXPECT_EQ(before[0], kRightRead | kRightList);  // the stranger reads ro.txt only
            EXPECT_EQ(before[1], 0);                        // nothing inside a folder it cannot enter
            EXPECT_EQ(before[2], 15);
            EXPECT_EQ(before[3], 0);
            EXPECT_EQ(before[5], kRightRead);               // the sub entry's letters
        }

        // New letters reach the live rights at once, the frozen copy only
        // when it reloads.
        UserEntry("stranger", tree.At("fs/"), "L");
        struct stat st;
        ASSERT_EQ(lstat(paths[2].c_str(), &st), 0);
        EXPECT_EQ(live.GetRights(paths[2], false), kRightList);
        EXPECT_EQ(frozen.GetExaminedRights(paths[2], st), before[2]);
        EXPECT_EQ(frozen.GetRights(paths[2], false), before[2]);
        EXPECT_EQ(frozen.GetRights(paths[2], true), kRightList);
        EXPECT_EQ(frozen.GetExaminedRights(paths[2], st), kRightList);
    }
}

TEST_F(RightsTest, WithoutASessionTokenTheServiceIsJudged) {
    tree.Dir("fs/open", 0777);
    PathRights rights;
    rights.Load(settings, "alice", "", nullptr, false);
    EXPECT_FALSE(rights.hasSessionToken());
    EXPECT_TRUE(rights.holdsToken());
    EXPECT_EQ(rights.GetRights(tree.At("fs/open/"), false), 15);
    // The service's own account: the owner of what the test made.
    tree.Dir("fs/mine", 0500);
    const int expected = geteuid() == 0 ? 15 : (kRightRead | kRightList);
    EXPECT_EQ(rights.GetRights(tree.At("fs/mine/"), false), expected);
}

TEST_F(RightsTest, ImpersonationCountsAndNeverHidesTheStore) {
    tree.Dir("fs/open", 0777);
    UserEntry("stranger", tree.At("fs/"), "RL");
    PathRights rights;
    rights.Load(settings, "stranger", "", Stranger(), false);
    EXPECT_TRUE(rights.Impersonate());
    EXPECT_TRUE(rights.Impersonate());
    EXPECT_EQ(rights.impersonationDepth(), 2);
    // The store lives in a folder the account may not enter; its entries
    // must still be read (as the service) while the account is taken on.
    EXPECT_EQ(rights.GetRights(tree.At("fs/open/"), true), kRightRead | kRightList);
    EXPECT_EQ(rights.impersonationDepth(), 2);
    if (accounts::CanImpersonate()) {
        // Still acting as the account afterwards: the account cannot see
        // into the store's private folder.
        EXPECT_FALSE(StoreVisible());
    }
    rights.Revert();
    rights.Revert();
    rights.Revert();
    EXPECT_EQ(rights.impersonationDepth(), 0);
    EXPECT_TRUE(StoreVisible());

    // Nothing to take on without a token.
    PathRights skipped;
    skipped.Load(settings, "stranger", "", Stranger(), true);
    skipped.Impersonate();
    EXPECT_EQ(skipped.impersonationDepth(), 0);
}

TEST_F(RightsTest, DestroyedWhileImpersonatingRevertsAnyway) {
    {
        PathRights rights;
        rights.Load(settings, "stranger", "", Stranger(), false);
        rights.Impersonate();
    }
    // Back to the service's identity: its own private store folder is open.
    EXPECT_TRUE(StoreVisible());
}

TEST_F(RightsTest, CopyWorksOnAnotherThreadAndStandsAlone) {
    tree.Dir("fs/readonly", 0555);
    UserEntry("stranger", tree.At("fs/"), "RWL");
    PathRights original;
    original.Load(settings, "stranger", tree.At("fs/"), Stranger(), false);
    original.Impersonate();

    PathRights copy;
    copy.CopyFrom(original);
    original.Revert();
    EXPECT_EQ(copy.impersonationDepth(), 0);
    EXPECT_EQ(copy.userName(), "stranger");
    EXPECT_EQ(copy.root(), tree.At("fs/"));

    // The original moves on to another login; the copy keeps its own.
    original.Load(settings, "bob", "", nullptr, true);

    int onWorker = -1;
    int outside = -1;
    std::thread worker([&] {
        copy.Impersonate();
        onWorker = copy.GetRights(tree.At("fs/readonly/"), true);
        outside = copy.GetRights(tree.At("elsewhere/"), true);
        copy.Revert();
    });
    worker.join();
    EXPECT_EQ(onWorker, kRightRead | kRightList);
    EXPECT_EQ(outside, 0);
    EXPECT_EQ(original.GetRights(tree.At("fs/readonly/"), false), 15);

    // A copy of rights that judged no token judges the service instead.
    PathRights fromSkipped;
    fromSkipped.CopyFrom(original);
    EXPECT_TRUE(fromSkipped.holdsToken());
    EXPECT_FALSE(fromSkipped.hasSessionToken());
}

}  // namespace
}  // namespace orvyn
