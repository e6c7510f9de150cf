// Access decisions for a token: mode bits, groups, the directories on the
// way, symbolic links, root's special case, POSIX ACLs, and agreement with
// the kernel's own decision under impersonation.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "accounts_support.h"
#include "platform/accounts/Impersonation.h"

namespace orvyn::accounts {
namespace {

using test::TempDir;

constexpr uid_t kUser = 64101;
constexpr gid_t kGroup = 64101;
constexpr gid_t kTeam = 64150;
constexpr uid_t kOther = 64909;

Token MakeToken(uid_t uid, gid_t gid, std::vector<gid_t> groups) {
    Token t;
    t.name = "fake" + std::to_string(uid);
    t.uid = uid;
    t.gid = gid;
    t.groups = std::move(groups);
    return t;
}

const Token kOwner = MakeToken(kUser, kGroup, {kGroup});
const Token kTeamMember = MakeToken(kOther, kOther, {kOther, kTeam});
const Token kStranger = MakeToken(kOther, kOther, {kOther});
const Token kRoot = MakeToken(0, 0, {0});

// Most cases give files to fake owners, which needs root.
class AccessAs : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "giving files to other owners needs root";
        }
    }
    std::string own(const std::string& path, uid_t uid, gid_t gid, mode_t mode) {
        EXPECT_EQ(lchown(path.c_str(), uid, gid), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }
    TempDir dir;
};

TEST_F(AccessAs, OwnerGroupAndOtherBitsApplyInThatOrder) {
    // Owner bits decide for the owner even when group or other would allow more.
    std::string f = own(dir.write("f", "x"), kUser, kTeam, 0064);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, f, R_OK), EACCES);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kTeamMember, f, R_OK | W_OK), 0);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kTeamMember, f, X_OK), EACCES);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kStranger, f, R_OK), 0);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kStranger, f, W_OK), EACCES);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kStranger, f, F_OK), 0);
}

TEST_F(AccessAs, SupplementaryGroupsCountAsWellAsThePrimaryGroup) {
    std::string f = own(dir.write("f", "x"), 0, kTeam, 0640);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kTeamMember, f, R_OK), 0);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kTeamMember, f, W_OK), EACCES);
    Token primary = MakeToken(kOther, kTeam, {});
    EXPECT_EQ(orvyn::accounts::AccessAs(&primary, f, R_OK), 0);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kStranger, f, R_OK), EACCES);
}

TEST_F(AccessAs, EveryFolderOnTheWayNeedsSearchPermission) {
    std::string locked = own(dir.mkdir("locked"), 0, 0, 0700);
    std::string inner = own(dir.write("locked/f", "x"), kUser, kGroup, 0666);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, inner, R_OK), EACCES);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, inner, F_OK), EACCES);
    own(locked, 0, 0, 0711);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, inner, R_OK | W_OK), 0);
    // Search without read: the folder itself cannot be listed.
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, locked, R_OK), EACCES);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, locked, X_OK), 0);
    // A missing name under a folder that cannot be searched is not revealed.
    own(locked, 0, 0, 0700);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, locked + "/nothing", F_OK), EACCES);
}

TEST_F(AccessAs, SymbolicLinksAreFollowedThroughTheirTargetFolders) {
    std::string locked = own(dir.mkdir("locked"), 0, 0, 0700);
    own(dir.write("locked/f", "x"), kUser, kGroup, 0644);
    std::string open = own(dir.mkdir("open"), 0, 0, 0755);
    ASSERT_EQ(symlink("../locked/f", (open + "/link").c_str()), 0);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, open + "/link", R_OK), EACCES);
    own(locked, 0, 0, 0755);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, open + "/link", R_OK), 0);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, open + "/link", W_OK), 0);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kStranger, open + "/link", W_OK), EACCES);
    // ".." after a link goes to the parent of the link's target folder.
    ASSERT_EQ(symlink(locked.c_str(), (open + "/dirlink").c_str()), 0);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, open + "/dirlink/../open/link", R_OK), 0);
}

TEST_F(AccessAs, ReportsMissingPathsLoopsAndNonFolders) {
    std::string f = own(dir.write("f", "x"), kUser, kGroup, 0644);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, dir / "missing", F_OK), ENOENT);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, f + "/below", F_OK), ENOTDIR);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, f + "/", R_OK), ENOTDIR);
    ASSERT_EQ(symlink("b", (dir / "a").c_str()), 0);
    ASSERT_EQ(symlink("a", (dir / "b").c_str()), 0);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, dir / "a", R_OK), ELOOP);
    ASSERT_EQ(symlink("missing-target", (dir / "dangling").c_str()), 0);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, dir / "dangling", F_OK), ENOENT);
}

TEST_F(AccessAs, RootMayDoAnythingButRunWhatNobodyMayRun) {
    std::string f = own(dir.write("f", "x"), kUser, kGroup, 0000);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kRoot, f, R_OK | W_OK), 0);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kRoot, f, X_OK), EACCES);
    own(f, kUser, kGroup, 0001);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kRoot, f, X_OK), 0);
    std::string d = own(dir.mkdir("d"), kUser, kGroup, 0000);
    EXPECT_EQ(orvyn::accounts::AccessAs(&kRoot, d, R_OK | W_OK | X_OK), 0);
}

// The modes GrantedModes gives a token on path, from the path's own lstat.
int Granted(const Token& token, const std::string& path, bool readOnlyMount = false) {
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return GrantedModes(token, path, st, readOnlyMount);
}

// Whether AccessAs grants exactly the modes of granted, one by one.
::testing::AssertionResult SameAsAccessAs(const Token& token, const std::string& path, int granted) {
    for (const int mode : {R_OK, W_OK, X_OK}) {
        const bool walk = orvyn::accounts::AccessAs(&token, path, mode) == 0;
        if (walk != ((granted & mode) != 0)) {
            return ::testing::AssertionFailure() << "mode " << mode << ": walk " << walk << ", granted " << granted;
        }
    }
    return ::testing::AssertionSuccess();
}

// Writes a POSIX access ACL in the kernel's stored form.
int SetAcl(const std::string& path, const std::vector<std::array<uint32_t, 3>>& entries) {
    std::vector<unsigned char> blob;
    auto put = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            blob.push_back(static_cast<unsigned char>(v >> (8 * i)));
        }
    };
    put(2, 4);
    for (const auto& e : entries) {
        put(e[0], 2);
        put(e[1], 2);
        put(e[2], 4);
    }
    return setxattr(path.c_str(), "system.posix_acl_access", blob.data(), blob.size(), 0);
}

constexpr uint32_t kUserObj = 0x01, kNamedUser = 0x02, kGroupObj = 0x04, kNamedGroup = 0x08, kMask = 0x10,
                   kOtherEntry = 0x20, kNoId = 0xffffffff;

TEST_F(AccessAs, AccessControlListsGrantAndLimitThroughTheMask) {
    std::string f = own(dir.write("f", "x"), 0, 0, 0600);
    // user::rw- user:64101:rw- group::--- group:64150:r-- mask::r-- other::---
    int rc = SetAcl(f, {{kUserObj, 6, kNoId},
                        {kNamedUser, 6, kUser},
                        {kGroupObj, 0, kNoId},
                        {kNamedGroup, 4, kTeam},
                        {kMask, 4, kNoId},
                        {kOtherEntry, 0, kNoId}});
    if (rc != 0) {
        GTEST_SKIP() << "this file system keeps no ACLs: " << strerror(errno);
    }
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, f, R_OK), 0) << "named user entry";
    EXPECT_EQ(orvyn::accounts::AccessAs(&kOwner, f, W_OK), EACCES) << "write is masked off";
    EXPECT_EQ(orvyn::accounts::AccessAs(&kTeamMember, f, R_OK), 0) << "named group entry";
    EXPECT_EQ(orvyn::accounts::AccessAs(&kStranger, f, R_OK), EACCES);
}

// The kernel itself, asked under impersonation, is the judge: for every
// combination of mode bits and relation to the file the answers must agree.
TEST_F(AccessAs, AgreesWithTheKernelForEveryModeAndRelation) {
    std::string f = dir.write("f", "x");
    std::string d = dir.mkdir("d");
    const Token* tokens[] = {&kOwner, &kTeamMember, &kStranger};
    int checked = 0;
    for (const std::string& path : {f, d}) {
        for (mode_t mode = 0; mode <= 0777; ++mode) {
            own(path, kUser, kTeam, mode);
            for (const Token* t : tokens) {
                for (int want : {R_OK, W_OK, X_OK, R_OK | W_OK, R_OK | X_OK}) {
                    int kernel;
                    {
                        ImpersonationScope scope(t);
                        kernel = faccessat(AT_FDCWD, path.c_str(), want, AT_EACCESS) == 0 ? 0 : errno;
                    }
                    ASSERT_EQ(orvyn::accounts::AccessAs(t, path, want), kernel)
                        << path << " mode " << std::oct << mode << std::dec << " uid " << t->uid << " want "
                        << want;
                    ++checked;
                }
                ASSERT_TRUE(SameAsAccessAs(*t, path, Granted(*t, path)))
                    << path << " mode " << std::oct << mode << std::dec << " uid " << t->uid;
            }
        }
    }
    EXPECT_EQ(checked, 2 * 512 * 3 * 5);
}

// The same judge for access control lists: named users and groups, the
// owning group and the mask in many combinations.
TEST_F(AccessAs, AgreesWithTheKernelOnAccessControlLists) {
    std::string f = own(dir.write("f", "x"), kUser, kGroup, 0600);
    if (SetAcl(f, {{kUserObj, 6, kNoId}, {kNamedUser, 4, kOther}, {kGroupObj, 0, kNoId}, {kMask, 4, kNoId},
                   {kOtherEntry, 0, kNoId}}) != 0) {
        GTEST_SKIP() << "this file system keeps no ACLs: " << strerror(errno);
    }
    const Token namedUser = MakeToken(kOther, kOther, {kOther});
    const Token namedGroup = MakeToken(64777, 64777, {64777, kTeam});
    const Token owningGroup = MakeToken(64778, 64778, {64778, kGroup});
    const Token* tokens[] = {&kOwner, &namedUser, &namedGroup, &owningGroup, &kStranger};
    int checked = 0;
    for (uint32_t mask = 0; mask < 8; ++mask) {
        for (uint32_t userPerm : {0u, 4u, 6u, 7u}) {
            for (uint32_t groupPerm : {0u, 2u, 5u, 7u}) {
                for (uint32_t groupObj : {0u, 4u, 7u}) {
                    for (uint32_t other : {0u, 5u}) {
                        ASSERT_EQ(SetAcl(f, {{kUserObj, 5, kNoId},
                                             {kNamedUser, userPerm, kOther},
                                             {kGroupObj, groupObj, kNoId},
                                             {kNamedGroup, groupPerm, kTeam},
                                             {kMask, mask, kNoId},
                                             {kOtherEntry, other, kNoId}}),
                                  0);
                        for (const Token* t : tokens) {
                            for (int want : {R_OK, W_OK, X_OK}) {
                                int kernel;
                                {
                                    ImpersonationScope scope(t);
                                    kernel = faccessat(AT_FDCWD, f.c_str(), want, AT_EACCESS) == 0 ? 0 : errno;
                                }
                                ASSERT_EQ(orvyn::accounts::AccessAs(t, f, want), kernel)
                                    << "mask " << mask << " user " << userPerm << " group " << groupPerm
                                    << " group-obj " << groupObj << " other " << other << " uid " << t->uid
                                    << " want " << want;
                                ++checked;
                            }
                            ASSERT_TRUE(SameAsAccessAs(*t, f, Granted(*t, f)))
                                << "mask " << mask << " user " << userPerm << " group " << groupPerm
                                << " group-obj " << groupObj << " other " << other << " uid " << t->uid;
                        }
                    }
                }
            }
        }
    }
    EXPECT_EQ(checked, 8 * 4 * 4 * 3 * 2 * 5 * 3);
}

TEST_F(AccessAs, GrantedModesForRootAndOnReadOnlyFileSystems) {
    std::string f = own(dir.write("f", "x"), kUser, kGroup, 0000);
    std::string d = own(dir.mkdir("d"), kUser, kGroup, 0000);
    EXPECT_EQ(Granted(kRoot, f), R_OK | W_OK);
    EXPECT_EQ(Granted(kRoot, d), R_OK | W_OK | X_OK);
    own(f, kUser, kGroup, 0010);
    EXPECT_EQ(Granted(kRoot, f), R_OK | W_OK | X_OK);
    // A read-only mount takes write away from files and folders, but not
    // from a pipe, whose writes never reach the file system.
    own(f, kUser, kGroup, 0666);
    EXPECT_EQ(Granted(kOwner, f, true), R_OK);
    EXPECT_EQ(Granted(kRoot, d, true), R_OK | X_OK);
    const std::string pipe = dir / "pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0666), 0);
    own(pipe, kUser, kGroup, 0666);
    EXPECT_EQ(Granted(kStranger, pipe, true), R_OK | W_OK);
}

TEST(AccessAsArguments, RejectsMalformedRequests) {
    Token t = MakeToken(kUser, kGroup, {});
    EXPECT_EQ(orvyn::accounts::AccessAs(&t, "", R_OK), EINVAL);
    EXPECT_EQ(orvyn::accounts::AccessAs(&t, "/tmp", 8), EINVAL);
    EXPECT_EQ(orvyn::accounts::AccessAs(&t, std::string("/tmp\0/x", 7), R_OK), EINVAL);
    EXPECT_EQ(orvyn::accounts::AccessAs(&t, "/" + std::string(5000, 'a'), R_OK), ENAMETOOLONG);
    EXPECT_EQ(orvyn::accounts::AccessAs(&t, "/" + std::string(300, 'a') + "/x", R_OK), ENAMETOOLONG);
}

TEST(AccessAsService, WithoutATokenTheServiceIdentityDecides) {
    TempDir dir;
    std::string f = dir.write("f", "x", 0644);
    EXPECT_EQ(orvyn::accounts::AccessAs(nullptr, f, R_OK), 0);
    EXPECT_EQ(orvyn::accounts::AccessAs(nullptr, f, X_OK), EACCES);
    EXPECT_EQ(orvyn::accounts::AccessAs(nullptr, dir / "missing", F_OK), ENOENT);

    // The process's own token judges as AccessAs(nullptr, ...) does.
    const Token self = ProcessToken();
    EXPECT_EQ(self.uid, geteuid());
    EXPECT_EQ(self.gid, getegid());
    EXPECT_NE(std::find(self.groups.begin(), self.groups.end(), self.gid), self.groups.end());
    for (const mode_t mode : {0000, 0400, 0644, 0755}) {
        ASSERT_EQ(chmod(f.c_str(), mode), 0);
        struct stat st;
        ASSERT_EQ(lstat(f.c_str(), &st), 0);
        const int granted = GrantedModes(self, f, st, false);
        for (const int want : {R_OK, W_OK, X_OK}) {
            EXPECT_EQ(orvyn::accounts::AccessAs(nullptr, f, want) == 0, (granted & want) != 0)
                << std::oct << mode << std::dec << " want " << want;
        }
    }
}

}  // namespace
}  // namespace orvyn::accounts
