#include "tools/orvyn-reg/ValueText.h"

#include <gtest/gtest.h>

#include <limits>

namespace orvyn::regtool {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encode(uint32_t type, std::optional<std::string> text) {
    Bytes out;
    std::string error;
    EXPECT_TRUE(EncodeData(type, text, out, error)) << text.value_or("<none>") << ": " << error;
    return out;
}

std::string Refusal(uint32_t type, std::optional<std::string> text) {
    Bytes out{0xEE};
    std::string error;
    EXPECT_FALSE(EncodeData(type, text, out, error)) << text.value_or("<none>");
    return error;
}

TEST(TypeNameTest, RoundTripsEveryTypeAndIgnoresCase) {
    const std::pair<const char*, uint32_t> types[] = {
        {"REG_NONE", 0}, {"REG_SZ", 1},    {"REG_EXPAND_SZ", 2}, {"REG_BINARY", 3},
        {"REG_DWORD", 4}, {"REG_DWORD_BIG_ENDIAN", 5}, {"REG_MULTI_SZ", 7}, {"REG_QWORD", 11},
    };
    for (const auto& [name, number] : types) {
        EXPECT_EQ(ParseTypeName(name), number) << name;
        EXPECT_EQ(TypeName(number), name);
    }
    EXPECT_EQ(ParseTypeName("reg_dword"), 4u);
    EXPECT_EQ(ParseTypeName("Reg_Multi_Sz"), 7u);
    for (const char* bad : {"", "REG_", "REG_DWORDX", "DWORD", "REG_LINK", "REG_SZ "}) {
        EXPECT_FALSE(ParseTypeName(bad)) << bad;
    }
    EXPECT_EQ(TypeName(6), "REG_TYPE_6");
}

TEST(NumberTest, DecimalAndHexWithinRange) {
    const uint64_t max32 = std::numeric_limits<uint32_t>::max();
    const uint64_t max64 = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(ParseNumber("0", max32), 0u);
    EXPECT_EQ(ParseNumber("0021", max32), 21u);
    EXPECT_EQ(ParseNumber("4294967295", max32), max32);
    EXPECT_EQ(ParseNumber("0xffffFFFF", max32), max32);
    EXPECT_EQ(ParseNumber("0X10", max32), 16u);
    EXPECT_EQ(ParseNumber("18446744073709551615", max64), max64);
    EXPECT_EQ(ParseNumber("0xFFFFFFFFFFFFFFFF", max64), max64);
    EXPECT_EQ(ParseNumber("0x00000000000000000001", max64), 1u);
}

TEST(NumberTest, RefusesGarbageSignsAndOverflow) {
    const uint64_t max32 = std::numeric_limits<uint32_t>::max();
    const uint64_t max64 = std::numeric_limits<uint64_t>::max();
    for (const char* bad : {"", "0x", "12a", "-1", "+1", " 1", "1 ", "0x1g", "x10", "1e3",
                            "4294967296", "0x100000000", "99999999999999999999"}) {
        EXPECT_FALSE(ParseNumber(bad, max32)) << bad;
    }
    EXPECT_FALSE(ParseNumber("18446744073709551616", max64));
    EXPECT_FALSE(ParseNumber("0x10000000000000000", max64));
}

TEST(EncodeTest, StringsKeepTheirNul) {
    EXPECT_EQ(Encode(1, std::string("ab")), (Bytes{'a', 'b', 0}));
    EXPECT_EQ(Encode(2, std::string("%P%")), (Bytes{'%', 'P', '%', 0}));
    EXPECT_EQ(Encode(1, std::nullopt), (Bytes{0}));
    EXPECT_EQ(Encode(1, std::string("")), (Bytes{0}));
}

TEST(EncodeTest, MultiStringItems) {
    EXPECT_EQ(Encode(7, std::string("a\\0bc")), (Bytes{'a', 0, 'b', 'c', 0, 0}));
    EXPECT_EQ(Encode(7, std::string("one")), (Bytes{'o', 'n', 'e', 0, 0}));
    EXPECT_EQ(Encode(7, std::nullopt), (Bytes{0}));
    // A backslash not followed by 0 is an ordinary character.
    EXPECT_EQ(Encode(7, std::string("a\\b")), (Bytes{'a', '\\', 'b', 0, 0}));
    for (const char* bad : {"a\\0\\0b", "\\0a", "a\\0", "\\0"}) {
        EXPECT_NE(Refusal(7, std::string(bad)).find("REG_MULTI_SZ"), std::string::npos) << bad;
    }
}

TEST(EncodeTest, NumbersInTheirByteOrder) {
    EXPECT_EQ(Encode(4, std::string("0x12345678")), (Bytes{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(Encode(5, std::string("0x12345678")), (Bytes{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(Encode(11, std::string("0x0102030405060708")),
              (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(Encode(4, std::string("21")), (Bytes{21, 0, 0, 0}));
    EXPECT_NE(Refusal(4, std::nullopt).find("REG_DWORD"), std::string::npos);
    EXPECT_NE(Refusal(5, std::string("4294967296")).find("REG_DWORD_BIG_ENDIAN"), std::string::npos);
    EXPECT_NE(Refusal(11, std::string("-1")).find("REG_QWORD"), std::string::npos);
    EXPECT_NE(Refusal(4, std::string("12a")).find("\"12a\""), std::string::npos);
}

TEST(EncodeTest, HexDigitsForBinaryAndNone) {
    EXPECT_EQ(Encode(3, std::string("00fFa1")), (Bytes{0x00, 0xff, 0xa1}));
    EXPECT_EQ(Encode(3, std::nullopt), Bytes{});
    EXPECT_EQ(Encode(0, std::string("")), Bytes{});
    EXPECT_EQ(Encode(0, std::string("7f")), Bytes{0x7f});
    for (const char* bad : {"abc", "0g", "0x00", "00 11", "-1"}) {
        EXPECT_FALSE(Refusal(3, std::string(bad)).empty()) << bad;
        EXPECT_FALSE(Refusal(0, std::string(bad)).empty()) << bad;
    }
    EXPECT_FALSE(Refusal(6, std::string("00")).empty());
}

TEST(FormatTest, EveryType) {
    EXPECT_EQ(FormatData(1, {'a', 'b', 0}), "ab");
    EXPECT_EQ(FormatData(2, {'a', 0, 'z', 0}), "a");
    EXPECT_EQ(FormatData(1, {'n', 'o', 'n', 'u', 'l'}), "nonul");
    EXPECT_EQ(FormatData(7, {'a', 0, 'b', 'c', 0, 0}), "a\\0bc");
    EXPECT_EQ(FormatData(7, {'a', 0, 0, 'x', 0, 0}), "a");
    EXPECT_EQ(FormatData(7, {'a', 0, 'b'}), "a\\0b");
    EXPECT_EQ(FormatData(7, {0}), "");
    EXPECT_EQ(FormatData(4, {0x78, 0x56, 0x34, 0x12}), "0x12345678");
    EXPECT_EQ(FormatData(4, {0, 0, 0, 0}), "0x0");
    EXPECT_EQ(FormatData(5, {0x00, 0x00, 0x01, 0x02}), "0x102");
    EXPECT_EQ(FormatData(11, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}), "0xffffffffffffffff");
    EXPECT_EQ(FormatData(3, {0x00, 0xab, 0x10}), "00AB10");
    EXPECT_EQ(FormatData(0, {}), "");
    EXPECT_EQ(FormatData(9, {0xde, 0xad}), "DEAD");
}

TEST(FormatTest, NumbersOfTheWrongSizeShowTheirBytes) {
    EXPECT_EQ(FormatData(4, {1, 2}), "0102");
    EXPECT_EQ(FormatData(5, {1, 2, 3, 4, 5}), "0102030405");
    EXPECT_EQ(FormatData(11, {1, 2, 3, 4}), "01020304");
}

TEST(FormatTest, EncodeThenFormatRoundTrips) {
    const std::pair<uint32_t, const char*> cases[] = {
        {1, "hello world"}, {2, "%HOME%/x"}, {7, "a\\0b b\\0c"}, {4, "0xdeadbeef"},
        {5, "0x1"}, {11, "0x123456789abcdef0"}, {3, "0102FF"}, {0, "AA"},
    };
    for (const auto& [type, text] : cases) {
        EXPECT_EQ(FormatData(type, Encode(type, std::string(text))), text) << text;
    }
}

TEST(ValueLineTest, NameTypeAndDataSeparatedByFourBlanks) {
    reg::Value named{"Port", reg::REG_DWORD, {0x49, 0x08, 0, 0}};
    EXPECT_EQ(ValueLine(named), "    Port    REG_DWORD    0x849\n");
    reg::Value unnamed{"", reg::REG_SZ, {'x', 0}};
    EXPECT_EQ(ValueLine(unnamed), "    (Default)    REG_SZ    x\n");
    reg::Value empty{"e", reg::REG_BINARY, {}};
    EXPECT_EQ(ValueLine(empty), "    e    REG_BINARY    \n");
}

}  // namespace
}  // namespace orvyn::regtool
