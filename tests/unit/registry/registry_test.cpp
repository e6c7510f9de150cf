// Keys, values, names and orders of the configuration store.
#include "platform/registry/Registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "registry_support.h"

namespace orvyn::reg {
namespace {

using test::Bytes;
using test::Exists;
using test::TempDir;

class StoreTest : public ::testing::Test {
protected:
    TempDir dir_;
    Store store_{dir_ / "registry.db"};

    std::vector<std::string> Subkeys(const std::string& key) {
        std::vector<std::string> names;
        EXPECT_TRUE(store_.EnumSubkeys(key, names).ok()) << key;
        return names;
    }
    std::vector<std::string> ValueNames(const std::string& key) {
        std::vector<Value> values;
        EXPECT_TRUE(store_.EnumValues(key, values).ok()) << key;
        std::vector<std::string> names;
        for (const Value& v : values) names.push_back(v.name);
        return names;
    }
};

TEST(DataHelpers, EncodeLikeWriters) {
    EXPECT_EQ(StringData("ab"), (std::vector<uint8_t>{'a', 'b', 0}));
    EXPECT_EQ(StringData(""), (std::vector<uint8_t>{0}));
    EXPECT_EQ(DwordData(0x12345678), (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(DwordBigEndianData(300), (std::vector<uint8_t>{0, 0, 1, 0x2C}));
    EXPECT_EQ(QwordData(0x0102030405060708ULL), (std::vector<uint8_t>{8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(MultiStringData({"a", "bc"}), (std::vector<uint8_t>{'a', 0, 'b', 'c', 0, 0}));
    EXPECT_EQ(MultiStringData({}), (std::vector<uint8_t>{0}));
}

TEST(KeyPaths, SplitDropsEmptyNames) {
    EXPECT_EQ(SplitKeyPath("Software\\\\Brand\\"), (std::vector<std::string>{"Software", "Brand"}));
    EXPECT_EQ(SplitKeyPath("\\a\\b c\\"), (std::vector<std::string>{"a", "b c"}));
    EXPECT_TRUE(SplitKeyPath("").empty());
    EXPECT_TRUE(SplitKeyPath("\\\\").empty());
}

TEST(KeyPaths, DefaultStorePathFollowsEnvironment) {
    const char* saved = std::getenv("ORVYN_REGISTRY");
    std::string keep = saved ? saved : "";
    setenv("ORVYN_REGISTRY", "/tmp/somewhere/store.db", 1);
    EXPECT_EQ(DefaultStorePath(), "/tmp/somewhere/store.db");
    EXPECT_EQ(Store().path(), "/tmp/somewhere/store.db");
    setenv("ORVYN_REGISTRY", "", 1);
    EXPECT_EQ(DefaultStorePath(), "/var/lib/orvyn/registry.db");
    unsetenv("ORVYN_REGISTRY");
    EXPECT_EQ(DefaultStorePath(), "/var/lib/orvyn/registry.db");
    EXPECT_EQ(Store("/x/y.db").path(), "/x/y.db");
    if (saved) setenv("ORVYN_REGISTRY", keep.c_str(), 1);
}

TEST_F(StoreTest, EveryTypeKeepsItsBytes) {
    std::vector<uint8_t> binary;
    for (int i = 0; i < 300; ++i) binary.push_back(static_cast<uint8_t>(i * 7));
    const std::vector<Value> written = {
        {"sz", REG_SZ, StringData("hello")},
        {"expand", REG_EXPAND_SZ, StringData("%HOME%/x")},
        {"bin", REG_BINARY, binary},
        {"dword", REG_DWORD, DwordData(0xDEADBEEF)},
        {"be", REG_DWORD_BIG_ENDIAN, DwordBigEndianData(300)},
        {"multi", REG_MULTI_SZ, MultiStringData({"one", "", "three"})},
        {"qword", REG_QWORD, QwordData(~0ULL)},
        {"none", REG_NONE, {}},
        {"odd", 0x12345678u, Bytes(std::string("\0\xff\0", 3))},
    };
    for (const Value& v : written) ASSERT_TRUE(store_.SetValue("Types", v).ok()) << v.name;
    ASSERT_TRUE(store_.SetValue("Types", "nullptr", REG_BINARY, nullptr, 0).ok());

    for (const Value& v : written) {
        Value got;
        ASSERT_TRUE(store_.QueryValue("Types", v.name, got).ok()) << v.name;
        EXPECT_EQ(got.name, v.name);
        EXPECT_EQ(got.type, v.type) << v.name;
        EXPECT_EQ(got.data, v.data) << v.name;
    }
    Value empty;
    ASSERT_TRUE(store_.QueryValue("Types", "nullptr", empty).ok());
    EXPECT_EQ(empty.type, REG_BINARY);
    EXPECT_TRUE(empty.data.empty());

    // Replacing changes type and data.
    ASSERT_TRUE(store_.SetValue("Types", "dword", REG_SZ, "10", 3).ok());
    Value got;
    ASSERT_TRUE(store_.QueryValue("Types", "dword", got).ok());
    EXPECT_EQ(got.type, REG_SZ);
    EXPECT_EQ(got.data, StringData("10"));

    EXPECT_EQ(store_.SetValue("Types", "x", REG_BINARY, nullptr, 4).code, kInvalidParameter);
}

TEST_F(StoreTest, NamesIgnoreAsciiCaseAndKeepTheirs) {
    ASSERT_TRUE(store_.CreateKey("Software\\Brand\\Servers").ok());
    EXPECT_TRUE(store_.KeyExists("SOFTWARE\\brand\\sErVeRs").ok());
    EXPECT_TRUE(store_.CreateKey("software\\BRAND").ok());
    EXPECT_EQ(Subkeys(""), std::vector<std::string>{"Software"});
    EXPECT_EQ(Subkeys("software"), std::vector<std::string>{"Brand"});

    ASSERT_TRUE(store_.SetValue("software\\BRAND", Value{"MaxUsers", REG_DWORD, DwordData(1)}).ok());
    ASSERT_TRUE(store_.SetValue("Software\\Brand", Value{"MAXUSERS", REG_DWORD, DwordData(2)}).ok());
    EXPECT_EQ(ValueNames("Software\\Brand"), std::vector<std::string>{"MaxUsers"});
    Value got;
    ASSERT_TRUE(store_.QueryValue("SOFTWARE\\BRAND", "maxusers", got).ok());
    EXPECT_EQ(got.name, "MaxUsers");
    EXPECT_EQ(got.data, DwordData(2));

    // Only ASCII letters fold; other characters compare as they are.
    ASSERT_TRUE(store_.CreateKey("\xC3\x84").ok());
    EXPECT_EQ(store_.KeyExists("\xC3\xA4").code, kNotFound);
    // Value names may hold a backslash; key names may not.
    ASSERT_TRUE(store_.SetValue("Paths", "C:\\Dir\\", REG_SZ, "x", 2).ok());
    EXPECT_TRUE(store_.QueryValue("Paths", "c:\\dir\\", got).ok());
    EXPECT_EQ(got.name, "C:\\Dir\\");
}

TEST_F(StoreTest, SubkeysInFoldedOrderValuesInCreationOrder) {
    for (const char* k : {"beta", "Alpha", "gamma", "a_b", "ALPHA2", "ab"}) {
        ASSERT_TRUE(store_.CreateKey(std::string("Order\\") + k).ok());
    }
    // Names compare upper-cased: "_" sorts after the letters.
    EXPECT_EQ(Subkeys("Order"), (std::vector<std::string>{"ab", "Alpha", "ALPHA2", "a_b", "beta", "gamma"}));

    for (const char* v : {"c", "A", "b"}) ASSERT_TRUE(store_.SetValue("Order", v, REG_DWORD, "\1\0\0\0", 4).ok());
    EXPECT_EQ(ValueNames("Order"), (std::vector<std::string>{"c", "A", "b"}));
    ASSERT_TRUE(store_.SetValue("Order", "a", REG_SZ, "x", 2).ok());
    EXPECT_EQ(ValueNames("Order"), (std::vector<std::string>{"c", "A", "b"}));
    ASSERT_TRUE(store_.DeleteValue("Order", "a").ok());
    ASSERT_TRUE(store_.SetValue("Order", "a", REG_SZ, "x", 2).ok());
    EXPECT_EQ(ValueNames("Order"), (std::vector<std::string>{"c", "b", "a"}));
    // The highest position freed and taken again still sorts last.
    ASSERT_TRUE(store_.DeleteValue("Order", "A").ok());
    ASSERT_TRUE(store_.SetValue("Order", "", REG_SZ, "d", 2).ok());
    EXPECT_EQ(ValueNames("Order"), (std::vector<std::string>{"c", "b", ""}));
}

TEST_F(StoreTest, BadNamesAreRefusedAndWriteNothing) {
    const std::string longKey(256, 'k');
    EXPECT_EQ(store_.CreateKey("A\\" + longKey).code, kInvalidParameter);
    EXPECT_EQ(store_.SetValue("A", std::string(16384, 'v'), REG_SZ, "", 1).code, kInvalidParameter);
    EXPECT_EQ(store_.SetValue(std::string("A\0B", 3), "v", REG_SZ, "", 1).code, kInvalidParameter);
    EXPECT_EQ(store_.SetValue("A", std::string("v\0w", 3), REG_SZ, "", 1).code, kInvalidParameter);
    std::string deep;
    for (int i = 0; i < 513; ++i) deep += "d\\";
    EXPECT_EQ(store_.CreateKey(deep).code, kInvalidParameter);
    EXPECT_FALSE(Exists(store_.path())) << "a refused write created the store";

    // The limits count characters, not bytes.
    std::string umlauts;
    for (int i = 0; i < 255; ++i) umlauts += "\xC3\xA4";
    ASSERT_TRUE(store_.CreateKey("A\\" + longKey.substr(1)).ok());
    ASSERT_TRUE(store_.CreateKey("A\\" + umlauts).ok());
    ASSERT_TRUE(store_.SetValue("A", std::string(16383, 'v'), REG_SZ, "", 1).ok());
    EXPECT_EQ(store_.KeyExists("A\\" + longKey).code, kInvalidParameter);
}

TEST_F(StoreTest, DeleteKeyOnlyWithoutSubkeys) {
    ASSERT_TRUE(store_.SetValue("P\\Child\\Leaf", "v", REG_SZ, "x", 2).ok());
    ASSERT_TRUE(store_.SetValue("P\\Child", "w", REG_SZ, "y", 2).ok());

    EXPECT_EQ(store_.DeleteKey("P\\Child").code, kKeyHasChildren);
    EXPECT_TRUE(store_.KeyExists("P\\Child\\Leaf").ok());
    EXPECT_EQ(store_.DeleteKey("P\\Nothing").code, kNotFound);
    EXPECT_EQ(store_.DeleteKey("").code, kInvalidParameter);
    EXPECT_EQ(store_.DeleteKey("\\").code, kInvalidParameter);

    ASSERT_TRUE(store_.DeleteKey("p\\child\\LEAF").ok());
    EXPECT_EQ(store_.KeyExists("P\\Child\\Leaf").code, kNotFound);
    // Its values went with it.
    ASSERT_TRUE(store_.CreateKey("P\\Child\\Leaf").ok());
    EXPECT_TRUE(ValueNames("P\\Child\\Leaf").empty());
    EXPECT_EQ(ValueNames("P\\Child"), std::vector<std::string>{"w"});
}

TEST_F(StoreTest, DeleteTreeRemovesEverythingBelow) {
    ASSERT_TRUE(store_.SetValue("Root\\Doomed\\A\\B\\C", "deep", REG_SZ, "x", 2).ok());
    ASSERT_TRUE(store_.SetValue("Root\\Doomed\\A", "mid", REG_SZ, "x", 2).ok());
    ASSERT_TRUE(store_.SetValue("Root\\Doomed", "top", REG_SZ, "x", 2).ok());
    ASSERT_TRUE(store_.SetValue("Root\\Doomed2", "keep", REG_SZ, "x", 2).ok());
    ASSERT_TRUE(store_.SetValue("Root\\Kept\\Doomed", "keep", REG_SZ, "x", 2).ok());

    EXPECT_EQ(store_.DeleteTree("").code, kInvalidParameter);
    EXPECT_EQ(store_.DeleteTree("Root\\Missing").code, kNotFound);
    ASSERT_TRUE(store_.DeleteTree("ROOT\\doomed").ok());

    EXPECT_EQ(Subkeys("Root"), (std::vector<std::string>{"Doomed2", "Kept"}));
    EXPECT_EQ(ValueNames("Root\\Kept\\Doomed"), std::vector<std::string>{"keep"});
    // Recreating the names shows nothing of the old content.
    ASSERT_TRUE(store_.CreateKey("Root\\Doomed\\A\\B\\C").ok());
    EXPECT_TRUE(ValueNames("Root\\Doomed").empty());
    EXPECT_TRUE(ValueNames("Root\\Doomed\\A").empty());
    EXPECT_TRUE(ValueNames("Root\\Doomed\\A\\B\\C").empty());
}

// A rename carries the whole subtree in one step; it never merges into or
// replaces another key.
TEST_F(StoreTest, RenameKeyMovesTheTreeOrNothing) {
    ASSERT_TRUE(store_.SetValue("S\\Old\\Users\\bob", "Passwd", REG_SZ, "x", 2).ok());
    ASSERT_TRUE(store_.SetValue("S\\Old", "Port", REG_SZ, "21", 3).ok());
    ASSERT_TRUE(store_.SetValue("S\\Other", "Port", REG_SZ, "22", 3).ok());

    EXPECT_EQ(store_.RenameKey("S\\old", "OTHER").code, kInvalidParameter);
    EXPECT_EQ(store_.RenameKey("S\\Missing", "New").code, kNotFound);
    EXPECT_EQ(store_.RenameKey("", "New").code, kInvalidParameter);
    EXPECT_EQ(store_.RenameKey("S\\Old", "a\\b").code, kInvalidParameter);
    EXPECT_EQ(store_.RenameKey("S\\Old", std::string(256, 'n')).code, kInvalidParameter);
    EXPECT_EQ(Subkeys("S"), (std::vector<std::string>{"Old", "Other"}));

    ASSERT_TRUE(store_.RenameKey("s\\OLD", "New").ok());
    EXPECT_EQ(Subkeys("S"), (std::vector<std::string>{"New", "Other"}));
    EXPECT_EQ(ValueNames("S\\New\\Users\\bob"), std::vector<std::string>{"Passwd"});
    EXPECT_EQ(ValueNames("S\\New"), std::vector<std::string>{"Port"});
    ASSERT_TRUE(store_.RenameKey("S\\New", "NEW").ok());
    EXPECT_EQ(Subkeys("S"), (std::vector<std::string>{"NEW", "Other"}));
}

TEST_F(StoreTest, QueryInfoCountsAndLongest) {
    ASSERT_TRUE(store_.CreateKey("K\\ab").ok());
    ASSERT_TRUE(store_.CreateKey("K\\\xC3\xA4\xC3\xA4\xC3\xA4").ok());  // three characters, six bytes
    ASSERT_TRUE(store_.CreateKey("K\\ab\\deeper-and-longer").ok());
    ASSERT_TRUE(store_.SetValue("K", "", REG_BINARY, std::vector<uint8_t>(1000).data(), 1000).ok());
    ASSERT_TRUE(store_.SetValue("K", "four", REG_SZ, "x", 2).ok());
    KeyInfo info;
    ASSERT_TRUE(store_.QueryInfo("k", info).ok());
    EXPECT_EQ(info.subkeys, 2u);
    EXPECT_EQ(info.maxSubkeyLen, 3u);
    EXPECT_EQ(info.values, 2u);
    EXPECT_EQ(info.maxValueNameLen, 4u);
    EXPECT_EQ(info.maxValueLen, 1000u);

    ASSERT_TRUE(store_.QueryInfo("K\\ab\\deeper-and-longer", info).ok());
    EXPECT_EQ(info.subkeys, 0u);
    EXPECT_EQ(info.values, 0u);
    EXPECT_EQ(info.maxValueLen, 0u);
    EXPECT_EQ(store_.QueryInfo("K\\none", info).code, kNotFound);
}

TEST_F(StoreTest, MissingStoreReadsEmptyAndIsCreatedOnFirstWrite) {
    Store store(dir_ / "not\\yet/there/registry.db");
    std::vector<std::string> names{"stale"};
    std::vector<Value> values{Value{}};
    KeyInfo info{1, 1, 1, 1, 1};
    Value v;
    EXPECT_TRUE(store.KeyExists("").ok());
    EXPECT_EQ(store.KeyExists("Software").code, kNotFound);
    EXPECT_TRUE(store.EnumSubkeys("", names).ok());
    EXPECT_TRUE(names.empty());
    EXPECT_TRUE(store.EnumValues("", values).ok());
    EXPECT_TRUE(values.empty());
    EXPECT_TRUE(store.QueryInfo("", info).ok());
    EXPECT_EQ(info.subkeys + info.values + info.maxValueLen, 0u);
    EXPECT_EQ(store.EnumSubkeys("Software", names).code, kNotFound);
    EXPECT_EQ(store.QueryValue("", "v", v).code, kNotFound);
    EXPECT_EQ(store.QueryValue("Software", "v", v).code, kNotFound);
    EXPECT_EQ(store.DeleteValue("", "v").code, kNotFound);
    EXPECT_EQ(store.DeleteKey("Software").code, kNotFound);
    EXPECT_EQ(store.DeleteTree("Software").code, kNotFound);
    EXPECT_FALSE(Exists(dir_ / "not\\yet")) << "a read created the store's folder";

    ASSERT_TRUE(store.SetValue("Software", "v", REG_DWORD, "\7\0\0\0", 4).ok());
    EXPECT_TRUE(Exists(store.path()));
    ASSERT_TRUE(store.QueryValue("software", "V", v).ok());
    EXPECT_EQ(v.data, DwordData(7));
    // A second handle on the same file sees the write.
    EXPECT_TRUE(Store(store.path()).KeyExists("SOFTWARE").ok());
}

}  // namespace
}  // namespace orvyn::reg
