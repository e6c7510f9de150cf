#include "tools/orvyn-reg/Arguments.h"

#include <gtest/gtest.h>

namespace orvyn::regtool {
namespace {

ParseResult Parse(std::vector<std::string> args, Request& request) {
    return ParseArguments(args, request);
}

TEST(KeyNameTest, AcceptsBothRootSpellingsInAnyCase) {
    for (const char* text : {"HKLM\\Software\\X", "hklm\\Software\\X", "HKEY_LOCAL_MACHINE\\Software\\X",
                             "hkey_Local_Machine\\Software\\X"}) {
        std::optional<KeyName> key = ParseKeyName(text);
        ASSERT_TRUE(key) << text;
        EXPECT_EQ(key->path, "Software\\X");
        EXPECT_EQ(key->display, "HKEY_LOCAL_MACHINE\\Software\\X");
    }
}

TEST(KeyNameTest, RootAloneAndEmptyComponents) {
    for (const char* text : {"HKLM", "HKLM\\", "HKEY_LOCAL_MACHINE\\\\"}) {
        std::optional<KeyName> key = ParseKeyName(text);
        ASSERT_TRUE(key) << text;
        EXPECT_EQ(key->path, "");
        EXPECT_EQ(key->display, "HKEY_LOCAL_MACHINE");
    }
    std::optional<KeyName> key = ParseKeyName("HKLM\\\\A\\\\\\b c\\");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->path, "A\\b c");
    EXPECT_EQ(key->display, "HKEY_LOCAL_MACHINE\\A\\b c");
}

TEST(KeyNameTest, RefusesOtherRoots) {
    for (const char* text : {"", "HKCU\\Software", "HKLMX\\A", "Software\\X", "\\HKLM\\A",
                             "HKEY_CURRENT_USER", "HKLM/Software"}) {
        EXPECT_FALSE(ParseKeyName(text)) << text;
    }
}

TEST(KeyNameTest, ChildKeysExtendPathAndDisplay) {
    KeyName root = *ParseKeyName("HKLM");
    KeyName a = ChildKey(root, "A");
    EXPECT_EQ(a.path, "A");
    EXPECT_EQ(a.display, "HKEY_LOCAL_MACHINE\\A");
    KeyName b = ChildKey(a, "b");
    EXPECT_EQ(b.path, "A\\b");
    EXPECT_EQ(b.display, "HKEY_LOCAL_MACHINE\\A\\b");
}

TEST(ArgumentsTest, FullAddCommandWithMixedOptionSpelling) {
    Request r;
    ParseResult p = Parse({"ADD", "HKLM\\A", "-V", "Port", "/T", "REG_DWORD", "-d", "21", "/F",
                           "--store", "/tmp/s.db"},
                          r);
    ASSERT_EQ(p.kind, ParseResult::kRun) << p.error;
    EXPECT_EQ(r.command, Command::Add);
    EXPECT_EQ(r.key.path, "A");
    EXPECT_EQ(r.target, ValueTarget::Named);
    EXPECT_EQ(r.valueName, "Port");
    EXPECT_EQ(r.type, "REG_DWORD");
    EXPECT_EQ(r.data, "21");
    EXPECT_TRUE(r.force);
    EXPECT_EQ(r.store, "/tmp/s.db");
}

TEST(ArgumentsTest, OptionArgumentsAreTakenAsTheyStand) {
    Request r;
    ParseResult p = Parse({"add", "HKLM\\A", "/v", "/d", "/d", "/var/log/x.log"}, r);
    ASSERT_EQ(p.kind, ParseResult::kRun) << p.error;
    EXPECT_EQ(r.valueName, "/d");
    EXPECT_EQ(r.data, "/var/log/x.log");

    p = Parse({"add", "HKLM\\A", "/ve", "/d", "--store"}, r);
    ASSERT_EQ(p.kind, ParseResult::kRun) << p.error;
    EXPECT_EQ(r.data, "--store");
    EXPECT_EQ(r.store, "");

    p = Parse({"add", "HKLM\\A", "/ve", "/d", "-5"}, r);
    ASSERT_EQ(p.kind, ParseResult::kRun) << p.error;
    EXPECT_EQ(r.data, "-5");
}

TEST(ArgumentsTest, StoreMayStandAnywhere) {
    Request r;
    ASSERT_EQ(Parse({"--store", "a.db", "query", "HKLM"}, r).kind, ParseResult::kRun);
    EXPECT_EQ(r.store, "a.db");
    ASSERT_EQ(Parse({"query", "--store=b.db", "HKLM", "/s"}, r).kind, ParseResult::kRun);
    EXPECT_EQ(r.store, "b.db");
    EXPECT_TRUE(r.recursive);
    EXPECT_EQ(Parse({"query", "HKLM", "--store"}, r).kind, ParseResult::kError);
    EXPECT_EQ(Parse({"query", "HKLM", "--store="}, r).kind, ParseResult::kError);
    EXPECT_EQ(Parse({"--store", "a", "--store", "b", "query", "HKLM"}, r).kind, ParseResult::kError);
}

TEST(ArgumentsTest, SaveAndRestoreTakeAFile) {
    Request r;
    ASSERT_EQ(Parse({"save", "HKLM\\A", "/tmp/a.hiv", "/y"}, r).kind, ParseResult::kRun);
    EXPECT_EQ(r.command, Command::Save);
    EXPECT_EQ(r.file, "/tmp/a.hiv");
    EXPECT_TRUE(r.overwrite);
    ASSERT_EQ(Parse({"restore", "HKLM\\A", "rel.hiv"}, r).kind, ParseResult::kRun);
    EXPECT_EQ(r.command, Command::Restore);
    EXPECT_EQ(r.file, "rel.hiv");
    EXPECT_FALSE(r.overwrite);
    EXPECT_EQ(Parse({"save", "HKLM\\A"}, r).kind, ParseResult::kError);
    EXPECT_EQ(Parse({"restore", "HKLM\\A", "a", "b"}, r).kind, ParseResult::kError);
    EXPECT_EQ(Parse({"restore", "HKLM\\A", "a", "/y"}, r).kind, ParseResult::kError);
}

TEST(ArgumentsTest, HelpWins) {
    Request r;
    for (const char* word : {"--help", "-h", "/?", "-?", "--HELP"}) {
        EXPECT_EQ(Parse({word}, r).kind, ParseResult::kHelp) << word;
        EXPECT_EQ(Parse({"add", "HKLM\\A", word}, r).kind, ParseResult::kHelp) << word;
    }
}

TEST(ArgumentsTest, RefusesBadCommandLines) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate", "HKLM"},
        {"--store", "x.db"},
        {"query"},
        {"query", "HKCU\\Software"},
        {"query", "HKLM", "HKLM\\B"},
        {"query", "HKLM", "/x"},
        {"query", "-q", "HKLM"},
        {"query", "HKLM", "/f"},
        {"query", "HKLM", "/va"},
        {"query", "HKLM", "/v"},
        {"query", "HKLM", "/v", ""},
        {"query", "HKLM", "/v", "a", "/ve"},
        {"query", "HKLM", "/s", "/s"},
        {"add", "HKLM\\A", "/v", "a", "/v", "b"},
        {"add", "HKLM\\A", "/d"},
        {"add", "HKLM\\A", "/y"},
        {"delete", "HKLM\\A", "/ve", "/va"},
        {"delete", "HKLM\\A", "/s"},
        {"save", "HKLM\\A", "-file"},
        {"restore", "HKLM\\A", "f", "/f"},
    };
    for (const auto& args : bad) {
        Request r;
        ParseResult p = Parse(args, r);
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_EQ(p.kind, ParseResult::kError) << joined;
        EXPECT_FALSE(p.error.empty()) << joined;
    }
}

TEST(ArgumentsTest, ValueTargets) {
    Request r;
    ASSERT_EQ(Parse({"delete", "HKLM\\A", "/VA"}, r).kind, ParseResult::kRun);
    EXPECT_EQ(r.target, ValueTarget::All);
    ASSERT_EQ(Parse({"delete", "HKLM\\A", "-ve", "-f"}, r).kind, ParseResult::kRun);
    EXPECT_EQ(r.target, ValueTarget::Unnamed);
    EXPECT_TRUE(r.force);
    ASSERT_EQ(Parse({"delete", "HKLM\\A"}, r).kind, ParseResult::kRun);
    EXPECT_EQ(r.target, ValueTarget::None);
    EXPECT_FALSE(r.force);
}

}  // namespace
}  // namespace orvyn::regtool
