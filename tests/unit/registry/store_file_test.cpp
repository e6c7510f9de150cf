// The store file itself: damaged or unusable files, and several processes
// using one store at the same time.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/registry/Registry.h"
#include "registry_support.h"

namespace orvyn::reg {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Runs body in a child process; the child's exit status is 0 when body
// returned true.
pid_t Spawn(const std::function<bool()>& body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body() ? 0 : 1);
    return pid;
}

int ExitCode(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Every operation on a file that is not a store fails with `code`, names the
// file, and leaves the file exactly as it was.
void ExpectRefused(const std::string& file, long code) {
    SCOPED_TRACE(file);
    const std::vector<uint8_t> before = ReadFile(file);
    Store store(file);
    std::vector<std::string> names;
    std::vector<Value> values;
    KeyInfo info;
    Value v;
    const std::vector<Status> results = {
        store.KeyExists(""),
        store.KeyExists("Software"),
        store.EnumSubkeys("", names),
        store.EnumValues("", values),
        store.QueryInfo("", info),
        store.QueryValue("", "v", v),
        store.CreateKey("Software"),
        store.SetValue("Software", "v", REG_SZ, "x", 2),
        store.DeleteValue("", "v"),
        store.DeleteKey("Software"),
        store.DeleteTree("Software"),
        store.SaveKey("", file + ".saved"),
    };
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].code, code) << "operation " << i << ": " << results[i].message;
        EXPECT_NE(results[i].message.find(file), std::string::npos) << results[i].message;
    }
    EXPECT_EQ(ReadFile(file), before);
    EXPECT_FALSE(test::Exists(file + ".saved"));
}

TEST(StoreFile, DamagedFilesAreRefusedAndLeftAlone) {
    TempDir dir;
    std::vector<uint8_t> random(16384);
    for (size_t i = 0; i < random.size(); ++i) random[i] = static_cast<uint8_t>((i * 40503u) >> 7);
    WriteFile(dir / "random.db", random);
    ExpectRefused(dir / "random.db", kCorrupt);

    WriteFile(dir / "text.db", test::Bytes("not a database\n"));
    ExpectRefused(dir / "text.db", kCorrupt);

    // A saved-key file is not a store either.
    Store source(dir / "source.db");
    ASSERT_TRUE(source.SetValue("A", "v", REG_SZ, "x", 2).ok());
    ASSERT_TRUE(source.SaveKey("A", dir / "a.key").ok());
    ExpectRefused(dir / "a.key", kCorrupt);

    // A real database that merely lacks the store's tables.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "other.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE keys(x); INSERT INTO keys VALUES(1)", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    ExpectRefused(dir / "other.db", kCorrupt);

    // A store whose first page was overwritten.
    ASSERT_TRUE(source.SetValue("B", "w", REG_SZ, "y", 2).ok());
    std::vector<uint8_t> broken = ReadFile(dir / "source.db");
    ASSERT_GT(broken.size(), 100u);
    for (size_t i = 0; i < 100; ++i) broken[i] = 0x5A;
    WriteFile(dir / "broken.db", broken);
    ExpectRefused(dir / "broken.db", kCorrupt);
}

TEST(StoreFile, FolderOrBadPathGivesIoError) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "folder.db").c_str(), 0755), 0);
    ExpectRefused(dir / "folder.db", kIoError);

    WriteFile(dir / "plain", test::Bytes("x"));
    Store under(dir / "plain/registry.db");
    Status st = under.SetValue("A", "v", REG_SZ, "x", 2);
    EXPECT_EQ(st.code, kIoError) << st.message;
    EXPECT_FALSE(st.message.empty());
    EXPECT_EQ(ReadFile(dir / "plain"), test::Bytes("x"));
}

// Two processes write the same store as fast as they can, starting from no
// file at all; every value of both must be there afterwards.
TEST(StoreFile, TwoWritersLoseNothing) {
    TempDir dir;
    const std::string file = dir / "new/registry.db";
    constexpr int kWrites = 80;
    auto writer = [&](int who) {
        return [&, who] {
            Store store(file);
            const std::string own = "Writer" + std::to_string(who);
            for (int i = 0; i < kWrites; ++i) {
                const std::string n = std::to_string(i);
                if (!store.SetValue("Shared", own + "-" + n, REG_DWORD, DwordData(i).data(), 4).ok()) return false;
                if (!store.SetValue(own + "\\Sub" + n, "v", REG_SZ, n.c_str(), n.size() + 1).ok()) return false;
                if (!store.SetValue("Shared", "Last", REG_DWORD, DwordData(who).data(), 4).ok()) return false;
            }
            return true;
        };
    };
    pid_t a = Spawn(writer(1));
    pid_t b = Spawn(writer(2));
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    EXPECT_EQ(ExitCode(a), 0);
    EXPECT_EQ(ExitCode(b), 0);

    Store store(file);
    std::vector<Value> shared;
    ASSERT_TRUE(store.EnumValues("Shared", shared).ok());
    EXPECT_EQ(shared.size(), 2u * kWrites + 1);
    for (int who = 1; who <= 2; ++who) {
        const std::string own = "Writer" + std::to_string(who);
        std::vector<std::string> subkeys;
        ASSERT_TRUE(store.EnumSubkeys(own, subkeys).ok());
        EXPECT_EQ(subkeys.size(), static_cast<size_t>(kWrites));
        for (int i = 0; i < kWrites; ++i) {
            Value v;
            ASSERT_TRUE(store.QueryValue("Shared", own + "-" + std::to_string(i), v).ok()) << own << " " << i;
            EXPECT_EQ(v.data, DwordData(i));
            ASSERT_TRUE(store.QueryValue(own + "\\Sub" + std::to_string(i), "v", v).ok()) << own << " " << i;
            EXPECT_EQ(v.data, StringData(std::to_string(i)));
        }
    }
}

// A reader running beside a writer sees every restore either not at all or
// completely: all values of one generation, never a mixture or a part.
TEST(StoreFile, ReaderNeverSeesHalfAWrite) {
    TempDir dir;
    const std::string file = dir / "registry.db";
    constexpr int kValues = 40;
    Store store(file);
    for (char gen : {'A', 'B'}) {
        Store maker(dir / std::string("maker") + gen + ".db");
        for (int i = 0; i < kValues; ++i) {
            ASSERT_TRUE(maker.SetValue("K\\Sub", "v" + std::to_string(i), REG_SZ, StringData(std::string(1, gen)).data(), 2).ok());
        }
        ASSERT_TRUE(maker.SaveKey("K", dir / std::string("gen") + gen + ".key").ok());
    }
    ASSERT_TRUE(store.RestoreKey("Target", dir / "genA.key").ok());

    pid_t writer = Spawn([&] {
        Store w(file);
        for (int round = 0; round < 60; ++round) {
            const char* key = round % 2 ? "genA.key" : "genB.key";
            if (!w.RestoreKey("Target", dir / key).ok()) return false;
        }
        return true;
    });
    ASSERT_GT(writer, 0);

    int reads = 0;
    int status = 0;
    while (waitpid(writer, &status, WNOHANG) == 0 || reads < 20) {
        std::vector<Value> values;
        Status st = store.EnumValues("Target\\Sub", values);
        ASSERT_TRUE(st.ok()) << st.message;
        ASSERT_EQ(values.size(), static_cast<size_t>(kValues)) << "after " << reads << " reads";
        for (const Value& v : values) ASSERT_EQ(v.data, values.front().data) << v.name;
        ++reads;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace orvyn::reg
