// A Store keeps connections open between calls. These tests make sure that a
// kept connection never shows stale content: not after the store was deleted,
// not to another process after fork, and not to another Store object writing
// the same file.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/registry/Registry.h"
#include "platform/registry/StoreDb.h"
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

TEST(ConnectionReuse, StatusCodeReadsAnswerLikeFullReads) {
    TempDir dir;
    Store store(dir / "registry.db");
    Store writer(dir / "registry.db");
    WriteDword(writer, "Port", 21);
    Value reused;
    for (int round = 0; round < 2; ++round) {  // the second round is answered from the cache
        SCOPED_TRACE(round);
        ASSERT_EQ(store.QueryValueCode(kKey, "Port", reused), kSuccess);
        EXPECT_EQ(reused.name, "Port");
        EXPECT_EQ(reused.type, REG_DWORD);
        EXPECT_EQ(reused.data, DwordData(21));
        // A missing value leaves nothing of the last answer behind.
        EXPECT_EQ(store.QueryValueCode(kKey, "Missing", reused), kNotFound);
        EXPECT_TRUE(reused.name.empty() && reused.data.empty());
        EXPECT_EQ(reused.type, REG_NONE);
        Value full;
        EXPECT_EQ(store.QueryValueCode(kKey, std::string(20000, 'x'), reused),
                  store.QueryValue(kKey, std::string(20000, 'x'), full).code);
    }
    WriteDword(writer, "Port", 990);
    ASSERT_EQ(store.QueryValueCode(kKey, "Port", reused), kSuccess);
    EXPECT_EQ(reused.data, DwordData(990));
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

TEST(ConnectionReuse, FileReplacedBetweenCallsIsReadAfresh) {
    TempDir dir;
    Store live(dir / "registry.db");
    WriteDword(live, "Port", 21);
    ASSERT_EQ(ReadDword(live, "Port"), 21u);
    {
        // Another store file, written elsewhere, is moved over the first.
        Store other(dir / "other.db");
        WriteDword(other, "Port", 2121);
    }
    for (const char* suffix : {"-wal", "-shm"}) std::remove((dir / ("registry.db" + std::string(suffix))).c_str());
    ASSERT_EQ(std::rename((dir / "other.db").c_str(), (dir / "registry.db").c_str()), 0);
    EXPECT_EQ(ReadDword(live, "Port"), 2121u);
    WriteDword(live, "Port", 22);
    EXPECT_EQ(ReadDword(Store(dir / "registry.db"), "Port"), 22u);
}

// With read epochs the cache stops asking the store once a check has found
// nothing written near it and no writer at work; a write by another process
// after that, and a file moved over the store, are still seen at once.
TEST(ConnectionReuse, ChangesAfterAQuietSpellAreSeenInTheNextEpoch) {
    TempDir dir;
    Store live(dir / "registry.db");
    WriteDword(live, "Port", 21);
    auto read = [&] {
        NewReadEpoch();
        return ReadDword(live, "Port");
    };
    ASSERT_EQ(read(), 21u);
    // Reads until the cache has settled (a write of our own, and the
    // connections it replaced coming and going, are noticed first).
    auto quiet = [&] {
        for (int i = 0; i < 3; ++i) read();
    };
    quiet();
    quiet();

    pid_t pid = fork();
    if (pid == 0) {
        Store other(dir / "registry.db");
        auto data = DwordData(2121);
        _exit(other.SetValue(kKey, "Port", REG_DWORD, data.data(), data.size()) ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read(), 2121u);

    quiet();
    {
        Store other(dir / "other.db");
        WriteDword(other, "Port", 990);
    }
    for (const char* suffix : {"-wal", "-shm"}) std::remove((dir / ("registry.db" + std::string(suffix))).c_str());
    ASSERT_EQ(std::rename((dir / "other.db").c_str(), (dir / "registry.db").c_str()), 0);
    EXPECT_EQ(read(), 990u);
}

TEST(WriteDeadline, ManyWritesWaitOnceForAStoreHeldElsewhere) {
    TempDir dir;
    Store store(dir / "registry.db");
    WriteDword(store, "Count", 1);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "registry.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    const auto start = std::chrono::steady_clock::now();
    {
        const ScopedWriteWait patient(kFullWriteWaitMs);
        const ScopedWriteDeadline once(300);
        for (uint32_t i = 2; i < 5; ++i) {
            const auto data = DwordData(i);
            EXPECT_FALSE(store.SetValue(kKey, "Count", REG_DWORD, data.data(), data.size()));
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "each write waited on its own";
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    WriteDword(store, "Count", 7);
    EXPECT_EQ(ReadDword(store, "Count"), 7u);
}

TEST(StatementCache, NestedUsesAreApartAndKeptOnesStartClean) {
    TempDir dir;
    detail::Db db;
    ASSERT_TRUE(db.Open(dir / "plain.db", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE));
    ASSERT_TRUE(db.Exec("CREATE TABLE t(n INTEGER); INSERT INTO t VALUES (1), (2), (3);"));
    const char* sql = "SELECT n FROM t WHERE ?1 IS NULL OR n >= ?1 ORDER BY n";
    {
        detail::Stmt outer(db, sql);
        outer.Bind(1, int64_t{2});
        bool row = false;
        ASSERT_TRUE(outer.Step(&row));
        ASSERT_TRUE(row);
        EXPECT_EQ(outer.Int(0), 2);
        {
            // The same text while the first is part way: a statement of its own.
            detail::Stmt inner(db, sql);
            ASSERT_TRUE(inner.Step(&row));
            ASSERT_TRUE(row);
            EXPECT_EQ(inner.Int(0), 1);
        }
        ASSERT_TRUE(outer.Step(&row));
        ASSERT_TRUE(row);
        EXPECT_EQ(outer.Int(0), 3);
    }
    // Kept statements come back reset and without the last bindings.
    for (int round = 0; round < 3; ++round) {
        detail::Stmt again(db, sql);
        bool row = false;
        ASSERT_TRUE(again.Step(&row));
        ASSERT_TRUE(row);
        EXPECT_EQ(again.Int(0), 1) << round;
        again.Bind(1, int64_t{3});
    }
    // A statement that failed is not handed out broken.
    {
        detail::Stmt bad(db, "INSERT INTO missing VALUES (1)");
        EXPECT_FALSE(bad.Run());
    }
    detail::Stmt count(db, "SELECT count(*) FROM t");
    bool row = false;
    ASSERT_TRUE(count.Step(&row));
    EXPECT_EQ(count.Int(0), 3);
}

}  // namespace
}  // namespace orvyn::reg
