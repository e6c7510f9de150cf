// Putting the PAM service file in place at install time.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "service/accounts/login/PamService.h"
#include "tests/unit/settings/TempStore.h"

namespace orvyn::test {
namespace {

class PamServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A fake installation: program/bin/orvyn with pam.d/orvyn beside it.
        bin = store.dir() / "bin";
        std::filesystem::create_directories(bin / "pam.d");
        std::ofstream(bin / "pam.d" / "orvyn") << kShipped;
        target = store.dir() / "pam";
        std::filesystem::create_directories(target);
        ::setenv("ORVYN_PAM_DIR", target.c_str(), 1);
    }
    void TearDown() override { ::unsetenv("ORVYN_PAM_DIR"); }

    static constexpr const char* kShipped = "auth required pam_deny.so\n";
    TempStore store;
    std::filesystem::path bin;
    std::filesystem::path target;
};

TEST_F(PamServiceTest, InstalledOnceAndNeverReplaced) {
    const std::string program = (bin / "orvyn").string();
    PamServiceInstall r = InstallPamService(program);
    EXPECT_EQ(r.outcome, PamServiceInstall::Outcome::Installed) << r.error;
    EXPECT_EQ(r.path, (target / "orvyn").string());
    EXPECT_EQ(ReadAll(r.path), kShipped);
    struct stat st{};
    ASSERT_EQ(::stat(r.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // The administrator's own version stays.
    std::ofstream(r.path, std::ios::trunc) << "# local rules\n";
    r = InstallPamService(program);
    EXPECT_EQ(r.outcome, PamServiceInstall::Outcome::AlreadyPresent);
    EXPECT_EQ(ReadAll(r.path), "# local rules\n");
}

TEST_F(PamServiceTest, ALinkAtTheNameIsNotFollowed) {
    const std::filesystem::path victim = store.dir() / "victim";
    std::filesystem::create_symlink(victim, target / "orvyn");
    const PamServiceInstall r = InstallPamService((bin / "orvyn").string());
    EXPECT_EQ(r.outcome, PamServiceInstall::Outcome::AlreadyPresent);
    EXPECT_FALSE(std::filesystem::exists(victim));
}

TEST_F(PamServiceTest, MissingSourceOrFolderIsReported) {
    PamServiceInstall r = InstallPamService((store.dir() / "elsewhere" / "orvyn").string());
    EXPECT_EQ(r.outcome, PamServiceInstall::Outcome::NoSource);
    EXPECT_FALSE(std::filesystem::exists(target / "orvyn"));

    ::setenv("ORVYN_PAM_DIR", (store.dir() / "no" / "such").c_str(), 1);
    r = InstallPamService((bin / "orvyn").string());
    EXPECT_EQ(r.outcome, PamServiceInstall::Outcome::Failed);
    EXPECT_FALSE(r.error.empty());
}

TEST_F(PamServiceTest, PrivateStoresLeaveTheSystemAlone) {
    ::unsetenv("ORVYN_PAM_DIR");
    // TempStore points ORVYN_REGISTRY at its own store.
    EXPECT_EQ(PamServiceDir(), "");
    EXPECT_EQ(InstallPamService((bin / "orvyn").string()).outcome, PamServiceInstall::Outcome::NotWanted);
    ::setenv("ORVYN_REGISTRY", "/var/lib/orvyn/registry.db", 1);
    EXPECT_EQ(PamServiceDir(), "/etc/pam.d");
}

}  // namespace
}  // namespace orvyn::test
