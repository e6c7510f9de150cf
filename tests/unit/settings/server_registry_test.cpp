// Typed accessors of an instance's settings against a real store in a
// temporary folder.
#include <gtest/gtest.h>

#include <climits>
#include <fstream>

#include "TempStore.h"
#include "service/base/settings/ServerRegistry.h"

namespace orvyn {
namespace {

using reg::Value;
using test::RecordingLog;
using test::TempStore;

const std::string kInstance = std::string(kServersKey) + "\\Demo";

class ServerRegistryTest : public ::testing::Test {
protected:
    void Put(const std::string& key, const std::string& name, uint32_t type, std::vector<uint8_t> data) {
        ASSERT_TRUE(tmp.store().SetValue(key, name, type, data.data(), data.size()).ok());
    }
    void PutText(const std::string& key, const std::string& name, uint32_t type, const std::string& text) {
        Put(key, name, type, std::vector<uint8_t>(text.begin(), text.end()));
    }
    bool Stored(const std::string& key, const std::string& name, Value& v) {
        return tmp.store().QueryValue(key, name, v).ok();
    }

    TempStore tmp;
    RecordingLog log;
    CServerRegistry settings{tmp.store(), "Demo", &log};
};

TEST_F(ServerRegistryTest, KeyPathsFromSectionNames) {
    EXPECT_EQ(settings.KeyPath(nullptr), kInstance);
    EXPECT_EQ(settings.KeyPath(""), kInstance);
    EXPECT_EQ(settings.KeyPath("Security"), kInstance + "\\Security");
    EXPECT_EQ(settings.KeyPath("Hosts\\AllowThese"), kInstance + "\\Hosts\\AllowThese");
    for (const char* general : {"General", "GENERAL", "general", "gEnErAl"})
        EXPECT_EQ(settings.KeyPath(general), kProductKey) << general;
    // Only the whole name means the product key.
    EXPECT_EQ(settings.KeyPath("Generals"), kInstance + "\\Generals");
    EXPECT_EQ(settings.KeyPath("Genera"), kInstance + "\\Genera");
    EXPECT_EQ(settings.KeyPath("rights.bob"), kInstance + "\\rights\\bob");
    EXPECT_EQ(settings.KeyPath("RIGHTS.Bob"), kInstance + "\\rights\\Bob");
    EXPECT_EQ(settings.KeyPath("Rights.domain\\carol"), kInstance + "\\rights\\domain\\carol");
    EXPECT_EQ(settings.KeyPath("rightsX"), kInstance + "\\rightsX");
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(ServerRegistryTest, SectionsAddressTheKeysTheyName) {
    ASSERT_TRUE(settings.WriteString("general", "DeviceNames", "CON,AUX"));
    ASSERT_TRUE(settings.WriteInt("Rights.bob", "Level", 3));
    ASSERT_TRUE(settings.WriteInt(nullptr, "AllowLogins", 0));
    Value v;
    ASSERT_TRUE(Stored(kProductKey, "DeviceNames", v));
    EXPECT_EQ(v.type, reg::REG_SZ);
    ASSERT_TRUE(Stored(kInstance + "\\rights\\bob", "Level", v));
    ASSERT_TRUE(Stored(kInstance, "AllowLogins", v));
    EXPECT_EQ(settings.ReadString("GENERAL", "DeviceNames", "x"), "CON,AUX");
    EXPECT_EQ(settings.ReadInt("RIGHTS.BOB", "level", 0), 3);
}

TEST_F(ServerRegistryTest, IntegerTypesAndTheirDefaults) {
    const std::string sec = kInstance + "\\Security";
    Put(sec, "Dword", reg::REG_DWORD, reg::DwordData(8192));
    Put(sec, "AllOnes", reg::REG_DWORD, reg::DwordData(0xFFFFFFFFu));
    Put(sec, "TopBit", reg::REG_DWORD_BIG_ENDIAN, {0x80, 0x00, 0x00, 0x00});
    Put(sec, "TimeOut", reg::REG_DWORD_BIG_ENDIAN, {0x00, 0x00, 0x01, 0x2C});
    Put(sec, "BinaryUsers", reg::REG_BINARY, {10, 0, 0, 0});
    Put(sec, "Expand", reg::REG_EXPAND_SZ, reg::StringData("10"));
    Put(sec, "Qword", reg::REG_QWORD, reg::QwordData(12));
    Put(sec, "Multi", reg::REG_MULTI_SZ, reg::MultiStringData({"5"}));
    Put(sec, "ShortDword", reg::REG_DWORD, {1, 0, 0});
    Put(sec, "LongDword", reg::REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0});
    Put(sec, "ShortBig", reg::REG_DWORD_BIG_ENDIAN, {0, 1});

    EXPECT_EQ(settings.ReadInt("Security", "Dword", -1), 8192);
    // Unsigned, held to the largest signed number: never a negative limit.
    EXPECT_EQ(settings.ReadInt("Security", "AllOnes", 0), INT32_MAX);
    EXPECT_EQ(settings.ReadInt("Security", "TopBit", 0), INT32_MAX);
    EXPECT_EQ(settings.ReadInt("Security", "TimeOut", 0), 300);
    EXPECT_EQ(settings.ReadInt("Security", "BinaryUsers", 0), 0);
    EXPECT_EQ(settings.ReadInt("Security", "BinaryUsers", 77), 77);
    EXPECT_EQ(settings.ReadInt("Security", "Expand", 4), 4);
    EXPECT_EQ(settings.ReadInt("Security", "Qword", 4), 4);
    EXPECT_EQ(settings.ReadInt("Security", "Multi", 4), 4);
    EXPECT_EQ(settings.ReadInt("Security", "ShortDword", 9), 9);
    EXPECT_EQ(settings.ReadInt("Security", "LongDword", 9), 9);
    EXPECT_EQ(settings.ReadInt("Security", "ShortBig", 9), 9);
    EXPECT_EQ(settings.ReadInt("Security", "Missing", 5), 5);
    EXPECT_EQ(settings.ReadInt("NoSuchKey", "Dword", 6), 6);
}

TEST_F(ServerRegistryTest, DecimalStringsReadLikeAtol) {
    struct Case {
        std::string text;
        long expected;
    } cases[] = {
        {"10", 10},
        {"MaxUsers", 0},
        {" 42abc", 42},
        {"\t\n 7", 7},
        {"-5", -5},
        {"+12", 12},
        {"", 0},
        {"- 5", 0},
        {"0x1F", 0},
        {"007", 7},
        {"2147483647", INT32_MAX},
        {"99999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-99999999999999999999", INT32_MIN},
    };
    for (const auto& c : cases) {
        Put(kInstance + "\\Security", "MaxUsers", reg::REG_SZ, reg::StringData(c.text));
        EXPECT_EQ(settings.ReadInt("Security", "MaxUsers", 1234), c.expected) << '"' << c.text << '"';
    }
    // Without a terminating NUL the digits still end with the data.
    PutText(kInstance, "Raw", reg::REG_SZ, "15");
    EXPECT_EQ(settings.ReadInt(nullptr, "Raw", 0), 15);
    // Nothing after an embedded NUL counts.
    Put(kInstance, "Embedded", reg::REG_SZ, {'1', 0, '2'});
    EXPECT_EQ(settings.ReadInt(nullptr, "Embedded", 0), 1);
}

TEST_F(ServerRegistryTest, NumericDataOver200BytesGivesTheDefault) {
    std::string padded = "5" + std::string(198, ' ');  // 199 characters and the NUL: 200 bytes
    Put(kInstance, "Fits", reg::REG_SZ, reg::StringData(padded));
    Put(kInstance, "TooLong", reg::REG_SZ, reg::StringData(padded + " "));
    EXPECT_EQ(settings.ReadInt(nullptr, "Fits", 0), 5);
    EXPECT_EQ(settings.ReadInt(nullptr, "TooLong", 3), 3);
    EXPECT_FALSE(settings.ReadFlag(nullptr, "TooLong", false));
}

TEST_F(ServerRegistryTest, FlagsAreIntegersNotZero) {
    Put(kInstance, "Zero", reg::REG_DWORD, reg::DwordData(0));
    Put(kInstance, "Two", reg::REG_DWORD, reg::DwordData(2));
    Put(kInstance, "Text", reg::REG_SZ, reg::StringData("no"));
    Put(kInstance, "Binary", reg::REG_BINARY, {1});
    EXPECT_FALSE(settings.ReadFlag(nullptr, "Zero", true));
    EXPECT_TRUE(settings.ReadFlag(nullptr, "Two", false));
    EXPECT_FALSE(settings.ReadFlag(nullptr, "Text", true));
    EXPECT_TRUE(settings.ReadFlag(nullptr, "Binary", true));
    EXPECT_FALSE(settings.ReadFlag(nullptr, "Binary", false));
    EXPECT_TRUE(settings.ReadFlag(nullptr, "Missing", true));
    EXPECT_FALSE(settings.ReadFlag(nullptr, "Missing", false));
}

TEST_F(ServerRegistryTest, StringsAcceptOnlyRegSz) {
    const std::string logging = kInstance + "\\Logging";
    Put(logging, "LogFile", reg::REG_EXPAND_SZ, reg::StringData("/var/log/orvyn.log"));
    EXPECT_EQ(settings.ReadString("Logging", "LogFile", ""), "");
    Put(kInstance, "Email", reg::REG_SZ, reg::StringData("admin@example.org"));
    Put(kInstance, "Number", reg::REG_DWORD, reg::DwordData(65));
    Put(kInstance, "Bytes", reg::REG_BINARY, {'a', 'b', 0});
    Put(kInstance, "Empty", reg::REG_SZ, reg::StringData(""));
    Put(kInstance, "Cut", reg::REG_SZ, {'a', 'b', 0, 'c', 'd', 0});
    PutText(kInstance, "Unterminated", reg::REG_SZ, "abc");
    EXPECT_EQ(settings.ReadString(nullptr, "Email", "x"), "admin@example.org");
    EXPECT_EQ(settings.ReadString(nullptr, "Number", "dflt"), "dflt");
    EXPECT_EQ(settings.ReadString(nullptr, "Bytes", "dflt"), "dflt");
    EXPECT_EQ(settings.ReadString(nullptr, "Empty", "dflt"), "");
    EXPECT_EQ(settings.ReadString(nullptr, "Cut", "dflt"), "ab");
    EXPECT_EQ(settings.ReadString(nullptr, "Unterminated", "dflt"), "abc");
    EXPECT_EQ(settings.ReadString(nullptr, "Missing", "Guest"), "Guest");
    EXPECT_EQ(settings.ReadString("NoSuchKey", "Email", "Guest"), "Guest");
}

TEST_F(ServerRegistryTest, LongStringsAreReadWhole) {
    std::string big;
    for (int i = 0; big.size() < 20000; ++i) big += std::to_string(i) + ",";
    ASSERT_TRUE(settings.WriteString("Conversions", "Big", big.c_str()));
    EXPECT_EQ(settings.ReadString("Conversions", "Big", ""), big);
}

TEST_F(ServerRegistryTest, BinaryAcceptsOnlyRegBinary) {
    const std::vector<uint8_t> hash = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x01};
    Put(kInstance + "\\TLS", "CertificateHash", reg::REG_BINARY, hash);
    Put(kInstance + "\\TLS", "Text", reg::REG_SZ, reg::StringData("abc"));
    std::vector<uint8_t> out;
    EXPECT_TRUE(settings.ReadBinary("TLS", "CertificateHash", out));
    EXPECT_EQ(out, hash);
    out = {1, 2, 3};
    EXPECT_FALSE(settings.ReadBinary("TLS", "Text", out));
    EXPECT_TRUE(out.empty());
    out = {1, 2, 3};
    EXPECT_FALSE(settings.ReadBinary("TLS", "Missing", out));
    EXPECT_TRUE(out.empty());
}

TEST_F(ServerRegistryTest, ExistsForAnyType) {
    Put(kInstance, "None", reg::REG_NONE, {});
    Put(kInstance, "Multi", reg::REG_MULTI_SZ, reg::MultiStringData({"a", "b"}));
    EXPECT_TRUE(settings.Exists(nullptr, "None"));
    EXPECT_TRUE(settings.Exists(nullptr, "none"));
    EXPECT_TRUE(settings.Exists(nullptr, "Multi"));
    EXPECT_FALSE(settings.Exists(nullptr, "Missing"));
    EXPECT_FALSE(settings.Exists("Security", "None"));
}

TEST_F(ServerRegistryTest, NameListHasSubkeysFirstThenValues) {
    const std::string allow = kInstance + "\\Hosts\\AllowThese";
    Put(allow, "10.0.0.*", reg::REG_DWORD, reg::DwordData(1));
    ASSERT_TRUE(tmp.store().CreateKey(allow + "\\host.example.org").ok());
    Put(allow, "192.168.1.1", reg::REG_DWORD, reg::DwordData(1));
    const auto& names = settings.ListNames("Hosts\\AllowThese");
    EXPECT_EQ(names, (std::vector<std::string>{"host.example.org", "10.0.0.*", "192.168.1.1"}));

    // The list is refilled, not appended to.
    Put(kInstance + "\\Conversions", "zip", reg::REG_SZ, reg::StringData("x"));
    EXPECT_EQ(settings.ListNames("Conversions"), std::vector<std::string>{"zip"});
    EXPECT_TRUE(settings.ListNames("Hosts\\DenyThese").empty());
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(ServerRegistryTest, OverlongNamesAreSkippedWithTheEnumerationError) {
    const std::string deny = kInstance + "\\Hosts\\DenyThese";
    const std::string longName(1024, 'h');
    Put(deny, "first", reg::REG_DWORD, reg::DwordData(1));
    Put(deny, longName, reg::REG_DWORD, reg::DwordData(1));
    Put(deny, "last", reg::REG_DWORD, reg::DwordData(1));
    Put(deny, std::string(1023, 'k'), reg::REG_DWORD, reg::DwordData(1));
    const auto& names = settings.ListNames("Hosts\\DenyThese");
    EXPECT_EQ(names, (std::vector<std::string>{"first", "last", std::string(1023, 'k')}));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].category, '*');
    EXPECT_EQ(log.lines[0].text, "Error ea in RegEnumValue\n");
}

TEST_F(ServerRegistryTest, WritersCreateKeysAndUseDwordAndSz) {
    ASSERT_TRUE(settings.WriteInt("Logging", "ConnectNum", 42));
    Value v;
    ASSERT_TRUE(Stored(kInstance + "\\Logging", "ConnectNum", v));
    EXPECT_EQ(v.type, reg::REG_DWORD);
    EXPECT_EQ(v.data, reg::DwordData(42));

    // A negative number is stored as its 32 bits; read back as the DWORD it
    // then is.
    ASSERT_TRUE(settings.WriteInt("Security", "MaxUsers", -3));
    ASSERT_TRUE(Stored(kInstance + "\\Security", "MaxUsers", v));
    EXPECT_EQ(v.data, reg::DwordData(0xFFFFFFFDu));
    EXPECT_EQ(settings.ReadInt("Security", "MaxUsers", 0), INT32_MAX);

    ASSERT_TRUE(settings.WriteString(nullptr, "Fatal Error", "Port in use"));
    ASSERT_TRUE(Stored(kInstance, "Fatal Error", v));
    EXPECT_EQ(v.type, reg::REG_SZ);
    EXPECT_EQ(v.data, reg::StringData("Port in use"));
}

TEST_F(ServerRegistryTest, IntegersOutsideTheStoredWidthAreRefused) {
    if (sizeof(long) <= 4) GTEST_SKIP() << "long is 32 bits here";
    ASSERT_TRUE(settings.WriteInt("Security", "TimeOut", 300));
    EXPECT_FALSE(settings.WriteInt("Security", "TimeOut", 5000000000L));
    EXPECT_FALSE(settings.WriteInt("Security", "TimeOut", -5000000000L));
    EXPECT_EQ(settings.ReadInt("Security", "TimeOut", 0), 300);
}

TEST_F(ServerRegistryTest, EmptyStringDeletesTheValue) {
    ASSERT_TRUE(settings.WriteString("Logging", "LogFile", "/tmp/x.log"));
    ASSERT_TRUE(settings.Exists("Logging", "LogFile"));
    EXPECT_TRUE(settings.WriteString("Logging", "LogFile", ""));
    EXPECT_FALSE(settings.Exists("Logging", "LogFile"));
    ASSERT_TRUE(settings.WriteString("Logging", "LogFile", "/tmp/y.log"));
    EXPECT_TRUE(settings.WriteString("Logging", "LogFile", nullptr));
    EXPECT_FALSE(settings.Exists("Logging", "LogFile"));
    // Already gone is what was asked for.
    EXPECT_TRUE(settings.WriteString("Logging", "LogFile", nullptr));
}

TEST_F(ServerRegistryTest, DeleteSubkeyTreeRemovesOnlyThatSubtree) {
    ASSERT_TRUE(settings.WriteString("Users\\bob", "Home", "/srv/bob/"));
    ASSERT_TRUE(settings.WriteString("Users\\bob\\Rights", "/srv/bob/", "RL"));
    ASSERT_TRUE(settings.WriteString("Users\\alice", "Home", "/srv/alice/"));
    ASSERT_TRUE(settings.WriteInt("General", "Keep", 1));
    ASSERT_TRUE(settings.WriteInt("General\\Child", "Keep", 1));

    EXPECT_TRUE(settings.DeleteSubkeyTree("Users\\BOB"));
    EXPECT_EQ(tmp.store().KeyExists(kInstance + "\\Users\\bob").code, reg::kNotFound);
    EXPECT_EQ(settings.ReadString("Users\\alice", "Home", ""), "/srv/alice/");
    EXPECT_FALSE(settings.DeleteSubkeyTree("Users\\bob"));

    // "General" under the instance is an ordinary subkey here, never the
    // product key.
    ASSERT_TRUE(tmp.store().CreateKey(kInstance + "\\General\\Deep").ok());
    EXPECT_TRUE(settings.DeleteSubkeyTree("General"));
    EXPECT_EQ(tmp.store().KeyExists(kInstance + "\\General").code, reg::kNotFound);
    EXPECT_EQ(settings.ReadInt("General", "Keep", 0), 1);

    // Names that address no subkey never delete the instance itself.
    EXPECT_FALSE(settings.DeleteSubkeyTree(nullptr));
    EXPECT_FALSE(settings.DeleteSubkeyTree(""));
    EXPECT_FALSE(settings.DeleteSubkeyTree("\\\\"));
    EXPECT_TRUE(tmp.store().KeyExists(kInstance).ok());
}

TEST_F(ServerRegistryTest, EmptyInstanceNameNeverAddressesTheServersKey) {
    CServerRegistry nameless(tmp.store(), "", &log);
    ASSERT_TRUE(settings.WriteInt(nullptr, "Enabled", 1));
    EXPECT_FALSE(nameless.WriteInt(nullptr, "Enabled", 0));
    EXPECT_FALSE(nameless.DeleteSubkeyTree("Demo"));
    EXPECT_TRUE(nameless.ListNames(nullptr).empty());
    EXPECT_EQ(settings.ReadInt(nullptr, "Enabled", 0), 1);
    Value v;
    EXPECT_FALSE(Stored(kServersKey, "Enabled", v));
    // The product key does not depend on an instance.
    EXPECT_TRUE(nameless.WriteString("General", "DeviceNames", "CON"));
    EXPECT_EQ(nameless.ReadString("General", "DeviceNames", ""), "CON");
}

class TooLongNameTest : public ServerRegistryTest {
protected:
    // Long enough that the instance key alone passes the path limit.
    std::string name = std::string(1100, 'n');
    CServerRegistry longName{tmp.store(), name, &log};
    std::string expectedLine = "Unable to open registry key for too-long server name " + name + ".";
};

TEST_F(TooLongNameTest, LogsTheWarningAndReadsDefaults) {
    EXPECT_EQ(longName.ReadInt("Security", "TimeOut", 300), 300);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].conn, -1);
    EXPECT_EQ(log.lines[0].category, '!');
    EXPECT_EQ(log.lines[0].text, expectedLine);

    EXPECT_EQ(longName.ReadString("Logging", "LogFile", "none"), "none");
    EXPECT_FALSE(longName.ReadFlag(nullptr, "AllowLogins", false));
    EXPECT_EQ(log.lines.size(), 3u);

    const std::string path = longName.KeyPath(nullptr);
    EXPECT_EQ(path.size(), kMaxKeyPath);
    EXPECT_EQ(path, (std::string(kServersKey) + "\\" + name).substr(0, kMaxKeyPath));
}

// Key names are at most 255 characters, so a path passes the limit through
// a deep section below the instance.
std::string DeepSection(size_t length) {
    std::string section = "rights.";
    while (section.size() < length) section += std::string(200, 'd') + "\\";
    return section;
}

TEST_F(ServerRegistryTest, CutPathIsNeverReadOrWritten) {
    // A key that happens to sit exactly at the cut path must not stand in for
    // the key that was named.
    const std::string section = DeepSection(1100);
    const std::string cut = settings.KeyPath(section.c_str());
    ASSERT_EQ(cut.size(), kMaxKeyPath);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].text, "Unable to open registry key for too-long server name Demo.");
    Put(cut, "MaxUsers", reg::REG_DWORD, reg::DwordData(9));
    const char* sec = section.c_str();
    EXPECT_EQ(settings.ReadInt(sec, "MaxUsers", 0), 0);
    EXPECT_FALSE(settings.Exists(sec, "MaxUsers"));
    EXPECT_TRUE(settings.ListNames(sec).empty());
    EXPECT_FALSE(settings.WriteInt(sec, "MaxUsers", 1));
    EXPECT_FALSE(settings.WriteString(sec, "MaxUsers", nullptr));
    EXPECT_FALSE(settings.DeleteSubkeyTree(section.c_str() + 7));
    EXPECT_EQ(log.lines.size(), 7u);
    Value v;
    ASSERT_TRUE(Stored(cut, "MaxUsers", v));
    EXPECT_EQ(v.data, reg::DwordData(9));
}

TEST_F(ServerRegistryTest, PathOfExactlyTheLimitIsUsed) {
    std::string section = "Users";
    const size_t base = kInstance.size() + 1;
    while (base + section.size() + 1 + 200 <= kMaxKeyPath) section += "\\" + std::string(199, 'u');
    section += "\\" + std::string(kMaxKeyPath - base - section.size() - 1, 'e');
    ASSERT_EQ(base + section.size(), kMaxKeyPath);
    EXPECT_EQ(settings.KeyPath(section.c_str()).size(), kMaxKeyPath);
    ASSERT_TRUE(settings.WriteInt(section.c_str(), "Port", 2121));
    EXPECT_EQ(settings.ReadInt(section.c_str(), "Port", 0), 2121);
    EXPECT_TRUE(log.lines.empty());
    // One more character passes the limit.
    section += "x";
    EXPECT_EQ(settings.ReadInt(section.c_str(), "Port", 7), 7);
    EXPECT_EQ(log.lines.size(), 1u);
}

TEST_F(ServerRegistryTest, NoLogSinkIsAllowed) {
    CServerRegistry quiet(tmp.store(), std::string(1100, 'q'), nullptr);
    EXPECT_EQ(quiet.ReadInt(nullptr, "Port", 21), 21);
}

// "Error <hex code> in <call>\n"
bool IsEnumError(const std::string& text, const std::string& call) {
    const std::string head = "Error ", tail = " in " + call + "\n";
    if (text.size() <= head.size() + tail.size() || text.compare(0, head.size(), head) != 0 ||
        text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string code = text.substr(head.size(), text.size() - head.size() - tail.size());
    return code.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST_F(ServerRegistryTest, BrokenStoreGivesDefaultsAndEnumerationErrors) {
    ASSERT_TRUE(settings.WriteInt(nullptr, "Port", 2121));
    ASSERT_TRUE(settings.WriteInt("Hosts\\AllowThese", "h", 1));
    {
        std::ofstream junk(tmp.store().path(), std::ios::binary | std::ios::trunc);
        junk << std::string(8192, 'Z');
    }
    for (const char* extra : {"-wal", "-shm"}) std::filesystem::remove(tmp.store().path() + extra);

    EXPECT_EQ(settings.ReadInt(nullptr, "Port", 21), 21);
    EXPECT_EQ(settings.ReadString(nullptr, "Port", "ftp"), "ftp");
    std::vector<uint8_t> out{1};
    EXPECT_FALSE(settings.ReadBinary(nullptr, "Port", out));
    EXPECT_FALSE(settings.Exists(nullptr, "Port"));
    EXPECT_FALSE(settings.WriteInt(nullptr, "Port", 1));
    EXPECT_FALSE(settings.WriteString(nullptr, "Port", "1"));
    EXPECT_FALSE(settings.DeleteSubkeyTree("Hosts"));
    EXPECT_TRUE(log.lines.empty());

    EXPECT_TRUE(settings.ListNames("Hosts\\AllowThese").empty());
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[0].category, '*');
    EXPECT_TRUE(IsEnumError(log.lines[0].text, "RegEnumKeyEx")) << log.lines[0].text;
    EXPECT_EQ(log.lines[1].category, '*');
    EXPECT_TRUE(IsEnumError(log.lines[1].text, "RegEnumValue")) << log.lines[1].text;
    // A missing key is no error: the code logged is never "not found".
    EXPECT_NE(log.lines[0].text, "Error 2 in RegEnumKeyEx\n");
}

}  // namespace
}  // namespace orvyn
