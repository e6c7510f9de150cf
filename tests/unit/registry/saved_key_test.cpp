// Saving a key's subtree to a file and restoring a key from one.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/registry/Registry.h"
#include "registry_support.h"

namespace orvyn::reg {
namespace {

using test::Dump;
using test::Exists;
using test::ReadFile;
using test::TempDir;

class SavedKeyTest : public ::testing::Test {
protected:
    TempDir dir_;
    Store store_{dir_ / "registry.db"};
    const std::string demo_ = "Software\\Brand\\ORVYNPro\\Servers\\Demo";

    static std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
        std::vector<uint8_t> data(size);
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 31 + seed + (i >> 8));
        return data;
    }

    // A tree three levels deep below Demo with every type, mixed-case names
    // and values larger than 8192 bytes.
    void BuildDemo() {
        auto set = [&](const std::string& key, const Value& v) {
            ASSERT_TRUE(store_.SetValue(key, v).ok()) << key << " " << v.name;
        };
        set(demo_, {"", REG_SZ, StringData("default value")});
        set(demo_, {"Port", REG_SZ, StringData("2121")});
        set(demo_, {"Enabled", REG_DWORD, DwordData(1)});
        set(demo_, {"BigBinary", REG_BINARY, Pattern(20000, 1)});
        set(demo_ + "\\Security", {"TimeOut", REG_DWORD_BIG_ENDIAN, DwordBigEndianData(300)});
        set(demo_ + "\\Security", {"Quota", REG_QWORD, QwordData(1ULL << 40)});
        set(demo_ + "\\Users\\Alice", {"Home", REG_EXPAND_SZ, StringData("/srv/ftp/alice/")});
        std::string big(9000, 'x');
        for (size_t i = 0; i < big.size(); i += 97) big[i] = 'Y';
        set(demo_ + "\\Users\\Alice", {"Notes", REG_SZ, StringData(big)});
        set(demo_ + "\\Users\\Alice\\Rights", {"/srv/ftp/alice/", REG_SZ, StringData("RL")});
        set(demo_ + "\\Users\\Alice\\Rights", {"Hosts", REG_MULTI_SZ, MultiStringData({"a", "b"})});
        set(demo_ + "\\Users\\Alice\\Rights", {"Empty", REG_NONE, {}});
        ASSERT_TRUE(store_.CreateKey(demo_ + "\\Users\\bob\\Virtual Directories").ok());
    }
};

TEST_F(SavedKeyTest, RoundTripKeepsEverythingByteForByte) {
    BuildDemo();
    const std::string file = dir_ / "demo.key";
    ASSERT_TRUE(store_.SaveKey(demo_, file).ok());
    // Only the finished file remains beside the store: no temporary file.
    std::vector<std::string> names = test::ListDir(dir_.path());
    EXPECT_EQ(std::count_if(names.begin(), names.end(),
                            [](const std::string& n) { return n.rfind("demo.key", 0) == 0; }),
              1);

    Store other(dir_ / "other/registry.db");
    ASSERT_TRUE(other.RestoreKey("Imported\\Copy", file).ok());
    const std::string original = Dump(store_, demo_);
    EXPECT_NE(original.find("BigBinary"), std::string::npos);
    EXPECT_NE(original.find("\\Users\\Alice\\Rights"), std::string::npos);
    EXPECT_EQ(Dump(other, "Imported\\Copy"), original);

    Value big;
    ASSERT_TRUE(other.QueryValue("imported\\copy", "bigbinary", big).ok());
    EXPECT_EQ(big.name, "BigBinary");
    EXPECT_EQ(big.data, Pattern(20000, 1));
    // The saved key itself is the file's top: its name is not in the file.
    std::vector<std::string> subkeys;
    ASSERT_TRUE(other.EnumSubkeys("Imported\\Copy", subkeys).ok());
    EXPECT_EQ(subkeys, (std::vector<std::string>{"Security", "Users"}));
}

TEST_F(SavedKeyTest, RestoreReplacesTheWholeKey) {
    BuildDemo();
    const std::string file = dir_ / "demo.key";
    ASSERT_TRUE(store_.SaveKey(demo_, file).ok());

    const std::string target = "Software\\Brand\\ORVYNPro\\Servers\\Target";
    ASSERT_TRUE(store_.SetValue(target, "Port", REG_DWORD, "\x15\0\0\0", 4).ok());
    ASSERT_TRUE(store_.SetValue(target, "Stale", REG_SZ, "x", 2).ok());
    ASSERT_TRUE(store_.SetValue(target + "\\USERS\\Mallory", "Home", REG_SZ, "/", 2).ok());
    ASSERT_TRUE(store_.SetValue(target + "\\Gone\\Deeper", "v", REG_SZ, "x", 2).ok());
    ASSERT_TRUE(store_.SetValue("Software\\Brand\\ORVYNPro\\Servers\\Neighbour", "v", REG_SZ, "x", 2).ok());
    const std::string neighbour = Dump(store_, "Software\\Brand\\ORVYNPro\\Servers\\Neighbour");

    ASSERT_TRUE(store_.RestoreKey(target, file).ok());
    EXPECT_EQ(Dump(store_, target), Dump(store_, demo_));
    EXPECT_EQ(store_.KeyExists(target + "\\Users\\Mallory").code, kNotFound);
    EXPECT_EQ(store_.KeyExists(target + "\\Gone").code, kNotFound);
    Value port;
    ASSERT_TRUE(store_.QueryValue(target, "port", port).ok());
    EXPECT_EQ(port.type, REG_SZ);
    EXPECT_EQ(Dump(store_, "Software\\Brand\\ORVYNPro\\Servers\\Neighbour"), neighbour);

    // Restoring the same file again gives the same content (old content is
    // removed, not merged).
    ASSERT_TRUE(store_.RestoreKey(target, file).ok());
    EXPECT_EQ(Dump(store_, target), Dump(store_, demo_));
}

TEST_F(SavedKeyTest, SaveRefusesToReplaceUnlessAsked) {
    ASSERT_TRUE(store_.SetValue("A", "v", REG_SZ, "1", 2).ok());
    const std::string file = dir_ / "a.key";
    ASSERT_TRUE(store_.SaveKey("A", file).ok());
    const std::vector<uint8_t> first = ReadFile(file);

    ASSERT_TRUE(store_.SetValue("A", "v", REG_SZ, "2", 2).ok());
    EXPECT_EQ(store_.SaveKey("A", file).code, kInvalidParameter);
    EXPECT_EQ(ReadFile(file), first);
    ASSERT_TRUE(store_.SaveKey("A", file, true).ok());

    // Not even with overwrite may a saved key replace the store itself.
    const std::vector<uint8_t> storeBytes = ReadFile(store_.path());
    ASSERT_EQ(symlink(store_.path().c_str(), (dir_ / "alias.db").c_str()), 0);
    EXPECT_EQ(store_.SaveKey("A", store_.path(), true).code, kInvalidParameter);
    EXPECT_EQ(store_.SaveKey("A", dir_ / "alias.db", true).code, kInvalidParameter);
    // Nor the files the store keeps beside it, present or not.
    for (const char* companion : {"-wal", "-shm", "-journal"})
        EXPECT_EQ(store_.SaveKey("A", store_.path() + companion, true).code, kInvalidParameter) << companion;
    EXPECT_EQ(ReadFile(store_.path()), storeBytes);
    EXPECT_TRUE(store_.KeyExists("A").ok());
    // Nor a FIFO or a device, which the rename would replace with a file.
    const std::string fifo = dir_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(store_.SaveKey("A", fifo, true).code, kInvalidParameter);
    EXPECT_EQ(WriteSavedKeyBytes(store_.path(), fifo, "bytes", true).code, kInvalidParameter);
    struct stat sb {};
    ASSERT_EQ(lstat(fifo.c_str(), &sb), 0);
    EXPECT_TRUE(S_ISFIFO(sb.st_mode));

    Store check(dir_ / "check.db");
    ASSERT_TRUE(check.RestoreKey("B", file).ok());
    Value v;
    ASSERT_TRUE(check.QueryValue("B", "v", v).ok());
    EXPECT_EQ(v.data, StringData("2"));
}

TEST_F(SavedKeyTest, SaveOfMissingKeyWritesNothing) {
    ASSERT_TRUE(store_.CreateKey("A").ok());
    EXPECT_EQ(store_.SaveKey("A\\Missing", dir_ / "x.key").code, kNotFound);
    EXPECT_EQ(Store(dir_ / "none.db").SaveKey("A", dir_ / "y.key").code, kNotFound);
    EXPECT_EQ(store_.SaveKey("A", dir_ / "no/such/folder/z.key").code, kIoError);
    EXPECT_FALSE(Exists(dir_ / "x.key"));
    EXPECT_FALSE(Exists(dir_ / "y.key"));
    EXPECT_FALSE(Exists(dir_ / "none.db"));
}

TEST_F(SavedKeyTest, EmptyRootOfMissingStoreClearsAKey) {
    const std::string file = dir_ / "empty.key";
    ASSERT_TRUE(Store(dir_ / "none.db").SaveKey("", file).ok());
    EXPECT_FALSE(Exists(dir_ / "none.db"));
    ASSERT_TRUE(store_.SetValue("A\\B", "v", REG_SZ, "1", 2).ok());
    ASSERT_TRUE(store_.RestoreKey("A", file).ok());
    EXPECT_TRUE(store_.KeyExists("A").ok());
    EXPECT_EQ(Dump(store_, "A"), "");
}

// Everything that is not a saved key is refused and changes nothing: not the
// store's content, and a missing store is not created.
TEST_F(SavedKeyTest, RestoreRefusesFilesThatAreNotSavedKeys) {
    ASSERT_TRUE(store_.SetValue("Keep\\Sub", "v", REG_SZ, "1", 2).ok());
    const std::string before = Dump(store_, "");
    Store fresh(dir_ / "fresh/registry.db");

    std::vector<uint8_t> random(8192);
    for (size_t i = 0; i < random.size(); ++i) random[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    test::WriteFile(dir_ / "random.bin", random);
    test::WriteFile(dir_ / "text.txt", test::Bytes("[Servers]\nDemo=1\n"));
    test::WriteFile(dir_ / "empty.bin", {});
    Store ordinary(dir_ / "ordinary.db");
    ASSERT_TRUE(ordinary.SetValue("X", "v", REG_SZ, "1", 2).ok());

    for (const std::string name : {"random.bin", "text.txt", "empty.bin", "ordinary.db", ""}) {
        const std::string file = dir_ / name;  // "" is the folder itself
        Status st = store_.RestoreKey("Keep", file);
        EXPECT_EQ(st.code, kInvalidParameter) << name << ": " << st.message;
        EXPECT_NE(st.message.find(file), std::string::npos) << st.message;
        EXPECT_EQ(fresh.RestoreKey("Keep", file).code, kInvalidParameter) << name;
    }
    EXPECT_EQ(store_.RestoreKey("Keep", dir_ / "missing.key").code, kNotFound);
    // A saved key made to say "write-ahead log" would have its log and index
    // made beside it, through whatever is at their names.
    ASSERT_TRUE(ordinary.SaveKey("X", dir_ / "wal.key").ok());
    std::vector<uint8_t> wal = ReadFile(dir_ / "wal.key");
    wal[18] = wal[19] = 2;
    test::WriteFile(dir_ / "wal.key", wal);
    test::WriteFile(dir_ / "victim", test::Bytes("victim"));
    ASSERT_EQ(link((dir_ / "victim").c_str(), (dir_ / "wal.key-shm").c_str()), 0);
    EXPECT_EQ(store_.RestoreKey("Keep", dir_ / "wal.key").code, kInvalidParameter);
    EXPECT_EQ(ReadFile(dir_ / "victim"), test::Bytes("victim"));
    EXPECT_FALSE(Exists(dir_ / "wal.key-wal"));
    // Keys that would lie deeper than a path can reach.
    std::string chain = "D";
    for (int i = 0; i < 509; ++i) chain += "\\k";
    ASSERT_TRUE(ordinary.CreateKey(chain).ok());
    ASSERT_TRUE(ordinary.SaveKey("D", dir_ / "deep.key").ok());
    EXPECT_EQ(store_.RestoreKey("Keep\\A\\B\\C", dir_ / "deep.key").code, kInvalidParameter);
    EXPECT_EQ(Dump(store_, ""), before);
    EXPECT_TRUE(ordinary.RestoreKey("Copy", dir_ / "deep.key").ok());
    EXPECT_FALSE(Exists(dir_ / "fresh"));
    // A refused file is only read, never changed.
    EXPECT_EQ(ReadFile(dir_ / "random.bin"), random);
}

// Bytes of a saved key fetched from another computer are written like a
// local save: never over the store, never half over an earlier file.
TEST_F(SavedKeyTest, SavedKeyBytesFromElsewhereKeepTheStoreAndEarlierFiles) {
    ASSERT_TRUE(store_.SetValue("Src", "v", REG_SZ, "1", 2).ok());
    const std::string before = Dump(store_, "");
    const std::string bytes = "bytes of a saved key";
    for (const std::string& target : {store_.path(), store_.path() + "-wal"}) {
        EXPECT_EQ(WriteSavedKeyBytes(store_.path(), target, bytes, true).code, kInvalidParameter) << target;
    }
    EXPECT_EQ(Dump(store_, ""), before);
    const std::string earlier = dir_ / "earlier.key";
    test::WriteFile(earlier, {'o', 'l', 'd'});
    EXPECT_EQ(WriteSavedKeyBytes(store_.path(), earlier, bytes, false).code, kInvalidParameter);
    EXPECT_EQ(ReadFile(earlier), std::vector<uint8_t>({'o', 'l', 'd'}));
    ASSERT_TRUE(WriteSavedKeyBytes(store_.path(), earlier, bytes, true).ok());
    EXPECT_EQ(ReadFile(earlier), std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

// A saved-key file from elsewhere may be damaged or crafted; every way it can
// break the tree is refused before the store is touched.
TEST_F(SavedKeyTest, RestoreRefusesDamagedSavedKeys) {
    ASSERT_TRUE(store_.SetValue("Src\\A\\B", "v", REG_SZ, "1", 2).ok());
    ASSERT_TRUE(store_.SetValue("Keep", "v", REG_SZ, "1", 2).ok());
    const std::string good = dir_ / "good.key";
    ASSERT_TRUE(store_.SaveKey("Src", good).ok());
    const std::string before = Dump(store_, "");

    const std::vector<std::pair<const char*, const char*>> damages = {
        {"orphan key", "INSERT INTO keys(id, parent, name, folded) VALUES(900, 777, 'Lost', 'LOST')"},
        {"backslash in key name", "UPDATE keys SET name = 'A\\B', folded = 'A\\B' WHERE name = 'A'"},
        {"duplicate by case", "INSERT INTO keys(parent, name, folded) VALUES(0, 'a', 'something-else')"},
        {"key loop", "UPDATE keys SET parent = id WHERE name = 'B'"},
        {"value of a missing key", "UPDATE vals SET key_id = 4242"},
        {"text data", "UPDATE vals SET data = 'text'"},
        {"type out of range", "UPDATE vals SET type = 4294967296"},
        {"wrong kind", "UPDATE meta SET value = 'store' WHERE name = 'kind'"},
        {"newer schema", "UPDATE meta SET value = '99' WHERE name = 'schema'"},
        {"no meta", "DROP TABLE meta"},
        {"changed data", "UPDATE vals SET data = X'3200'"},
        {"endless view", "DROP TABLE keys; CREATE VIEW keys AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL "
                         "SELECT x + 1 FROM c) SELECT x AS id, 0 AS parent, 'k' AS name, 'K' AS folded FROM c "
                         "WHERE x < 0"},
    };
    for (const auto& [what, sql] : damages) {
        const std::string file = dir_ / "bad.key";
        test::WriteFile(file, ReadFile(good));
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        char* err = nullptr;
        ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &err), SQLITE_OK) << what << ": " << (err ? err : "");
        sqlite3_close(db);

        Status st = store_.RestoreKey("Keep", file);
        EXPECT_EQ(st.code, kInvalidParameter) << what << ": " << st.message;
        EXPECT_EQ(Dump(store_, ""), before) << what;
    }
    // No file replaces the root: it holds every key.
    EXPECT_EQ(store_.RestoreKey("", good).code, kInvalidParameter);
    EXPECT_EQ(Dump(store_, ""), before);
    // A file that lost its end reads as zeros where the end was.
    ASSERT_TRUE(store_.SetValue("Src\\A", "long", REG_BINARY, Pattern(120000, 7).data(), 120000).ok());
    ASSERT_TRUE(store_.SaveKey("Src", good, true).ok());
    std::vector<uint8_t> cut = ReadFile(good);
    cut.resize(cut.size() - 100);
    test::WriteFile(dir_ / "short.key", cut);
    const std::string unchanged = Dump(store_, "");
    Status st = store_.RestoreKey("Keep", dir_ / "short.key");
    EXPECT_EQ(st.code, kInvalidParameter) << st.message;
    EXPECT_EQ(Dump(store_, ""), unchanged);
    // The undamaged file still restores, and so does one saved before files
    // carried a check sum.
    ASSERT_TRUE(store_.RestoreKey("Keep", good).ok());
    EXPECT_EQ(Dump(store_, "Keep"), Dump(store_, "Src"));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(good.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DELETE FROM meta WHERE name = 'digest'", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    ASSERT_TRUE(store_.DeleteTree("Keep").ok());
    ASSERT_TRUE(store_.RestoreKey("Keep", good).ok());
    EXPECT_EQ(Dump(store_, "Keep"), Dump(store_, "Src"));
}

}  // namespace
}  // namespace orvyn::reg
