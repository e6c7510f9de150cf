#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "listing_support.h"
#include "service/transfer/listing/SpoolFile.h"

namespace orvyn {
namespace {

using test::TempTree;

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (const dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// The open descriptor of this process whose (deleted) file carries name.
std::optional<struct stat> OpenFileNamed(const std::string& name) {
    for (const std::string& fd : FolderNames("/proc/self/fd")) {
        char target[4096];
        const std::string link = "/proc/self/fd/" + fd;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = 0;
        const std::string text(target);
        if (text.find("/" + name) != std::string::npos) {
            struct stat st;
            if (stat(link.c_str(), &st) == 0) return st;
        }
    }
    return std::nullopt;
}

// "ORV", one to four upper-case hexadecimal digits, ".TMP".
bool IsSpoolName(const std::string& name) {
    if (name.size() < 8 || name.size() > 11 || name.rfind("ORV", 0) != 0) return false;
    if (name.substr(name.size() - 4) != ".TMP") return false;
    const std::string digits = name.substr(3, name.size() - 7);
    return digits.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

std::string ReadAll(SpoolFile& spool) {
    std::string out;
    char buffer[1000];
    for (;;) {
        const ssize_t n = spool.Read(buffer, sizeof buffer);
        EXPECT_GE(n, 0);
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

TEST(SpoolFile, CreatedInFolderUnderPrefixNameAndUnlinked) {
    TempTree tree;
    auto spool = SpoolFile::Create(tree.top());
    ASSERT_FALSE(spool->inMemory());
    EXPECT_TRUE(IsSpoolName(spool->createdName())) << spool->createdName();
    // Nothing is left in the folder: the file lives only through its descriptor.
    EXPECT_TRUE(FolderNames(tree.top()).empty());
    const auto st = OpenFileNamed(spool->createdName());
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(st->st_nlink, 0u);
    EXPECT_EQ(st->st_mode & 0777, 0600u);
    // Its owner closes it, and with that the file is gone for good.
    const std::string name = spool->createdName();
    spool.reset();
    EXPECT_FALSE(OpenFileNamed(name).has_value());
}

TEST(SpoolFile, ContentRoundTripsThroughTheFile) {
    TempTree tree;
    auto spool = SpoolFile::Create(tree.top());
    ASSERT_FALSE(spool->inMemory());
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        const std::string line = "line " + std::to_string(i) + "\r\n";
        ASSERT_TRUE(spool->Write(line));
        expected += line;
    }
    EXPECT_EQ(spool->size(), expected.size());
    ASSERT_TRUE(spool->Rewind());
    EXPECT_EQ(ReadAll(*spool), expected);
    // Reading again after a second rewind gives the same bytes.
    ASSERT_TRUE(spool->Rewind());
    EXPECT_EQ(ReadAll(*spool), expected);
}

TEST(SpoolFile, NumbersSkipNamesInUseAndWrap) {
    TempTree tree;
    tree.File("ORV1F.TMP", 3);
    auto spool = SpoolFile::Create(tree.top(), "ORVYN", 0x1F);
    ASSERT_FALSE(spool->inMemory());
    EXPECT_EQ(spool->createdName(), "ORV20.TMP");
    // The file already there is left as it was.
    struct stat st;
    ASSERT_EQ(stat(tree.At("ORV1F.TMP").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 3);

    tree.File("ORVFFFF.TMP", 1);
    EXPECT_EQ(SpoolFile::Create(tree.top(), "ORV", 0xFFFF)->createdName(), "ORV1.TMP");
    // A short prefix is used as it is.
    EXPECT_EQ(SpoolFile::Create(tree.top(), "ab", 0xA)->createdName(), "abA.TMP");
}

TEST(SpoolFile, FallsBackToMemory) {
    TempTree tree;
    auto spool = SpoolFile::Create(tree.At("no/such/folder"));
    EXPECT_TRUE(spool->inMemory());
    EXPECT_TRUE(spool->createdName().empty());
    ASSERT_TRUE(spool->Write("hello "));
    ASSERT_TRUE(spool->Write("world"));
    ASSERT_TRUE(spool->Rewind());
    char buffer[4];
    EXPECT_EQ(spool->Read(buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "hell");
    EXPECT_EQ(ReadAll(*spool), "o world");
    EXPECT_EQ(spool->Read(buffer, sizeof buffer), 0);

    // A folder the service may not write into gives a spool in memory as well.
    if (geteuid() != 0) {
        const std::string locked = tree.Dir("locked");
        chmod(locked.c_str(), 0500);
        EXPECT_TRUE(SpoolFile::Create(locked)->inMemory());
        chmod(locked.c_str(), 0700);
    }
}

TEST(SpoolFile, AFileThatStopsTakingWritesGoesOnInMemory) {
    // A full disk, made here by a file size limit the writes run into.
    TempTree tree;
    auto spool = SpoolFile::Create(tree.top());
    ASSERT_FALSE(spool->inMemory());
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit low = old;
    low.rlim_cur = 100 * 1024;
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
    std::string expected;
    bool allTaken = true;
    for (int i = 0; allTaken && expected.size() < 300 * 1024; ++i) {
        const std::string line = "entry " + std::to_string(i) + "\r\n";
        allTaken = spool->Write(line);
        expected += line;
    }
    const bool rewound = spool->Rewind();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    ASSERT_TRUE(allTaken);
    ASSERT_TRUE(rewound);
    EXPECT_TRUE(spool->inMemory());
    EXPECT_EQ(ReadAll(*spool), expected);
}

TEST(SpoolFile, SystemTempDirFollowsTmpdir) {
    TempTree tree;
    const char* saved = std::getenv("TMPDIR");
    const std::string previous = saved != nullptr ? saved : "";
    setenv("TMPDIR", tree.top().c_str(), 1);
    EXPECT_EQ(SystemTempDir(), tree.top());
    auto spool = SpoolFile::Create();
    EXPECT_FALSE(spool->inMemory());
    EXPECT_TRUE(FolderNames(tree.top()).empty());
    setenv("TMPDIR", tree.At("missing").c_str(), 1);
    EXPECT_EQ(SystemTempDir(), "/tmp");
    setenv("TMPDIR", "relative", 1);
    EXPECT_EQ(SystemTempDir(), "/tmp");
    if (saved != nullptr) {
        setenv("TMPDIR", previous.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
}

}  // namespace
}  // namespace orvyn
