// Per-thread impersonation: the identity switch, its revert on every way out,
// nesting, and that other threads never see it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "accounts_support.h"
#include "platform/accounts/Impersonation.h"

namespace orvyn::accounts {
namespace {

using test::TempDir;

uid_t Fsuid() { return static_cast<uid_t>(syscall(SYS_setfsuid, static_cast<uid_t>(-1))); }
gid_t Fsgid() { return static_cast<gid_t>(syscall(SYS_setfsgid, static_cast<gid_t>(-1))); }

std::vector<gid_t> Groups() {
    int n = static_cast<int>(syscall(SYS_getgroups, 0, nullptr));
    std::vector<gid_t> g(static_cast<size_t>(n));
    n = static_cast<int>(syscall(SYS_getgroups, g.size(), g.data()));
    g.resize(static_cast<size_t>(n));
    return g;
}

// uids and gids far from any real account; they need not exist anywhere.
Token FakeToken(uid_t uid = 64101, gid_t gid = 64101, std::vector<gid_t> groups = {64101, 64150}) {
    Token t;
    t.name = "fake";
    t.uid = uid;
    t.gid = gid;
    t.groups = std::move(groups);
    return t;
}

class ImpersonationAsRoot : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "switching identities needs root";
        }
    }
};

TEST_F(ImpersonationAsRoot, SwitchesThisThreadAndRevertsAtScopeEnd) {
    uid_t uid0 = Fsuid();
    gid_t gid0 = Fsgid();
    std::vector<gid_t> groups0 = Groups();
    Token t = FakeToken();
    {
        ImpersonationScope scope(&t);
        ASSERT_TRUE(scope.active());
        EXPECT_EQ(Fsuid(), 64101u);
        EXPECT_EQ(Fsgid(), 64101u);
        std::vector<gid_t> g = Groups();
        EXPECT_NE(std::find(g.begin(), g.end(), 64150u), g.end());
        EXPECT_EQ(geteuid(), 0u) << "only the file-system identity changes";
    }
    EXPECT_EQ(Fsuid(), uid0);
    EXPECT_EQ(Fsgid(), gid0);
    EXPECT_EQ(Groups(), groups0);
}

TEST_F(ImpersonationAsRoot, KernelChecksTheAccountNotTheService) {
    TempDir dir;
    std::string secret = dir.write("secret", "root only", 0600);
    std::string shared = dir.mkdir("shared", 0777);
    Token t = FakeToken();
    {
        ImpersonationScope scope(&t);
        ASSERT_TRUE(scope.active());
        int fd = open(secret.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_LT(fd, 0);
        EXPECT_EQ(errno, EACCES);
        if (fd >= 0) {
            close(fd);
        }
        int made = open((shared + "/made").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(made, 0);
        close(made);
    }
    struct stat st;
    ASSERT_EQ(stat((shared + "/made").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 64101u);
    EXPECT_EQ(st.st_gid, 64101u);
    int fd = open(secret.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << "the service's own access is back after the scope";
    if (fd >= 0) {
        close(fd);
    }
}

TEST_F(ImpersonationAsRoot, OtherThreadsKeepTheServiceIdentity) {
    TempDir dir;
    std::string shared = dir.mkdir("shared", 0777);
    Token t = FakeToken();
    std::promise<void> switched;
    std::promise<void> checked;
    std::atomic<uid_t> seenInside{0};
    std::thread worker([&] {
        ImpersonationScope scope(&t);
        seenInside = Fsuid();
        switched.set_value();
        checked.get_future().wait();
    });
    switched.get_future().wait();
    EXPECT_EQ(seenInside.load(), 64101u);
    EXPECT_EQ(Fsuid(), 0u);
    int fd = open((shared + "/main").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    checked.set_value();
    worker.join();
    struct stat st;
    ASSERT_EQ(stat((shared + "/main").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u) << "a file made by another thread meanwhile belongs to the service";
}

TEST_F(ImpersonationAsRoot, RevertsWhenLeftThroughAnException) {
    Token t = FakeToken();
    try {
        ImpersonationScope scope(&t);
        ASSERT_EQ(Fsuid(), 64101u);
        throw std::runtime_error("failure inside a handler");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(Fsuid(), 0u);
    EXPECT_EQ(Fsgid(), 0u);
}

TEST_F(ImpersonationAsRoot, NestedScopeRestoresTheOuterIdentity) {
    Token outer = FakeToken(64101, 64101, {64101, 64150});
    Token inner = FakeToken(64202, 64202, {64202});
    {
        ImpersonationScope a(&outer);
        {
            ImpersonationScope b(&inner);
            EXPECT_EQ(Fsuid(), 64202u);
            std::vector<gid_t> g = Groups();
            EXPECT_EQ(std::find(g.begin(), g.end(), 64150u), g.end()) << "groups are replaced, not added";
        }
        EXPECT_EQ(Fsuid(), 64101u);
        EXPECT_EQ(Fsgid(), 64101u);
        std::vector<gid_t> g = Groups();
        EXPECT_NE(std::find(g.begin(), g.end(), 64150u), g.end());
    }
    EXPECT_EQ(Fsuid(), 0u);
}

TEST_F(ImpersonationAsRoot, PrimaryGroupJoinsTheGroupsEvenWhenTheTokenOmitsIt) {
    Token t = FakeToken(64101, 64177, {64150});
    ImpersonationScope scope(&t);
    std::vector<gid_t> g = Groups();
    EXPECT_NE(std::find(g.begin(), g.end(), 64177u), g.end());
}

TEST(Impersonation, NullTokenChangesNothing) {
    uid_t before = Fsuid();
    ImpersonationScope scope(nullptr);
    EXPECT_FALSE(scope.active());
    EXPECT_EQ(Fsuid(), before);
}

TEST(Impersonation, DoesNothingWhenTheServiceIsNotRoot) {
    if (geteuid() != 0) {
        Token t = FakeToken();
        ImpersonationScope scope(&t);
        EXPECT_FALSE(scope.active());
        EXPECT_FALSE(CanImpersonate());
        return;
    }
    // Running as root: drop to an unprivileged identity in a child process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (setresgid(64300, 64300, 64300) != 0 || setresuid(64300, 64300, 64300) != 0) {
                _exit(2);
            }
            Token t = FakeToken();
            ImpersonationScope scope(&t);
            _exit(!scope.active() && !CanImpersonate() && Fsuid() == 64300 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace orvyn::accounts
