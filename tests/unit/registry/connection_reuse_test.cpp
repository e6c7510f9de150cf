// A Store keeps connections open between calls. These tests make sure that a
// kept connection never shows stale content: not after the store was deleted,
// not to another process after fork, and not to another Store object writing
// the same file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/registry/Registry.h"
#include "registry_support.h"

namespace orvyn::reg {
namespace {

using test::TempDir;

constexpr const char* kKey = "Software\\Test";

uint32_t ReadDword(const Store& store, const char* name) {
    Value v;
    if (!store.QueryValue(kKey, name, v) || v.data.size() != 4) return 0xFFFFFFFFu;
    return v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (uint32_t(v.data[3]) << 24);
}

void WriteDword(Store& store, const char* name, uint32_t value) {
    auto data = DwordData(value);
    ASSERT_TRUE(store.SetValue(kKey, name, REG_DWORD, data.data(), data.size()));
}

TEST(ConnectionReuse, DeletedFileReadsAsEmptyTree) {
    TempDir dir;
    Store live(dir / "registry.db");
    WriteDword(live, "Port", 21);
    ASSERT_EQ(ReadDword(live, "Port"), 21u);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((dir / ("registry.db" + std::string(suffix))).c_str());

    EXPECT_EQ(live.KeyExists(kKey).code, kNotFound);
    WriteDword(live, "Port", 990);
    EXPECT_EQ(ReadDword(live, "Port"), 990u);
}

TEST(ConnectionReuse, WritesOfAnotherStoreObjectAreSeen) {
    TempDir dir;
    Store reader(dir / "registry.db");
    Store writer(dir / "registry.db");
    for (uint32_t i = 1; i <= 50; ++i) {
        WriteDword(writer, "ConnectNum", i);
        ASSERT_EQ(ReadDword(reader, "ConnectNum"), i);
    }
}

TEST(ConnectionReuse, ChildAfterForkUsesItsOwnConnections) {
    TempDir dir;
    Store store(dir / "registry.db");
    WriteDword(store, "Value", 1);
    ASSERT_EQ(ReadDword(store, "Value"), 1u);

    pid_t pid = fork();
    if (pid == 0) {
        // The child writes through the same Store object; the parent's kept
        // connection must not be used here.
        for (uint32_t i = 2; i <= 40; ++i) {
            auto data = DwordData(i);
            if (!store.SetValue(kKey, "Value", REG_DWORD, data.data(), data.size())) _exit(1);
        }
        _exit(ReadDword(store, "Value") == 40u ? 0 : 2);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadDword(store, "Value"), 40u);
}

}  // namespace
}  // namespace orvyn::reg
