#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "service/core/session/CommandTable.h"

namespace orvyn {
namespace {

const char* Name(std::string_view line) { return LookupCommand(line).name; }

TEST(CommandTable, HasFiftySixEntriesWithNotFoundLast) {
    const auto& t = CommandTable();
    ASSERT_EQ(t.size(), 56u);
    EXPECT_STREQ(t.back().name, "____");
    EXPECT_EQ(t.back().number, CMD_NOTFOUND);
    EXPECT_STREQ(t.back().help, "No such command");
    EXPECT_EQ(&NotFoundEntry(), &t.back());
    // Every name is as long as its compared length, and every number but the
    // not-found one appears before the end.
    std::set<int> numbers;
    for (const auto& e : t) {
        EXPECT_EQ(std::strlen(e.name), static_cast<size_t>(e.nameLen)) << e.name;
        numbers.insert(e.number);
    }
    for (int n = 0; n <= CMD_NOTFOUND; ++n) EXPECT_TRUE(numbers.count(n)) << n;
    // EPSV came later: it sits just before the not-found entry and takes the
    // first number after it.
    EXPECT_STREQ(t[t.size() - 2].name, "EPSV");
    EXPECT_EQ(LookupCommand("EPSV ALL").number, CMD_EPSV);
    EXPECT_EQ(LookupCommand("epsv").argRule, kArgOptional);
    EXPECT_STREQ(LookupCommand("EPSV").help, "EPSV [<protocol>|ALL] - enter extended passive mode");
}

TEST(CommandTable, NumbersRulesAndAliases) {
    struct Row {
        const char* name;
        int number;
        int rule;
    };
    const Row rows[] = {
        {"USER", CMD_USER, kArgRequired}, {"PASS", CMD_PASS, kArgOptional}, {"XCWD", CMD_CWD, kArgRequired},
        {"XCUP", CMD_CDUP, kArgNone},     {"SMNT", CMD_SMNT, kArgRequired}, {"EPRT", CMD_EPRT, kArgRequired},
        {"STOU", CMD_STOU, kArgOptional}, {"ALLO", CMD_ALLO, kArgRequired}, {"XRMD", CMD_RMD, kArgRequired},
        {"XMKD", CMD_MKD, kArgRequired},  {"XPWD", CMD_PWD, kArgNone},      {"STAT", CMD_STAT, kArgOptional},
        {"MACB", CMD_MACB, kArgOptional}, {"FEAT", CMD_FEAT, kArgNone},     {"OPTS", CMD_OPTS, kArgRequired},
        {"MLSD", CMD_MLSD, kArgOptional}, {"HOST", CMD_HOST, kArgRequired}, {"PROT", CMD_PROT, kArgRequired},
        {"NOOP", CMD_NOOP, kArgNone},     {"TYPE", CMD_TYPE, kArgRequired}, {"REIN", CMD_REIN, kArgNone},
    };
    for (const Row& r : rows) {
        const CommandEntry& e = LookupCommand(r.name);
        EXPECT_STREQ(e.name, r.name);
        EXPECT_EQ(e.number, r.number) << r.name;
        EXPECT_EQ(e.argRule, r.rule) << r.name;
    }
    EXPECT_STREQ(LookupCommand("XCWD").help, LookupCommand("CWD x").help);
}

TEST(CommandLookup, CaseAndPrefixMatching) {
    EXPECT_STREQ(Name("retr file"), "RETR");
    EXPECT_STREQ(Name("rEtR file"), "RETR");
    EXPECT_STREQ(Name("RETRX f"), "RETR");
    EXPECT_STREQ(Name("NOOPING"), "NOOP");
    EXPECT_STREQ(Name("cwd /tmp"), "CWD");
    // CWD is found before XCWD's turn and three-letter names match on three.
    EXPECT_STREQ(Name("CWDX"), "CWD");
    EXPECT_STREQ(Name("xcwd a"), "XCWD");
    EXPECT_STREQ(Name("mkd a"), "MKD");
    EXPECT_STREQ(Name("PWD"), "PWD");
}

TEST(CommandLookup, UnknownEmptyAndShortLines) {
    EXPECT_TRUE(IsNotFound(LookupCommand("")));
    EXPECT_TRUE(IsNotFound(LookupCommand("FOO bar")));
    EXPECT_TRUE(IsNotFound(LookupCommand("RET")));  // shorter than the name length
    EXPECT_TRUE(IsNotFound(LookupCommand("CW")));
    EXPECT_TRUE(IsNotFound(LookupCommand(" USER x")));  // leading blank is not skipped
    EXPECT_TRUE(IsNotFound(LookupCommand(std::string_view("US\0R x", 6))));
    // The not-found entry is the only one that can be longer than the line.
    const std::string_view shortLine = "X";
    const CommandEntry& e = LookupCommand(shortLine);
    EXPECT_TRUE(IsNotFound(e));
    EXPECT_LT(shortLine.size(), static_cast<size_t>(e.nameLen));
}

TEST(CommandArgument, AfterNameAndBlanks) {
    const CommandEntry& retr = LookupCommand("RETRIEVE file");
    EXPECT_STREQ(retr.name, "RETR");
    EXPECT_EQ(CommandArgument(retr, "RETRIEVE file"), "IEVE file");
    EXPECT_EQ(CommandArgument(retr, "RETR    a b "), "a b ");
    EXPECT_EQ(CommandArgument(retr, "RETR"), "");
    EXPECT_EQ(CommandArgument(retr, "RETR   "), "");
    EXPECT_EQ(CommandArgument(NotFoundEntry(), "X"), "");
    const CommandEntry& cwd = LookupCommand("CWD dir");
    EXPECT_EQ(CommandArgument(cwd, "CWD dir"), "dir");
}

TEST(CommandArgument, RulesGiveMissingAndUnexpected) {
    auto check = [](std::string_view line) {
        const CommandEntry& e = LookupCommand(line);
        return CheckArgument(e, CommandArgument(e, line));
    };
    EXPECT_EQ(check("CWD"), ArgCheck::Missing);
    EXPECT_EQ(check("CWD   "), ArgCheck::Missing);
    EXPECT_EQ(check("PWD x"), ArgCheck::Unexpected);
    EXPECT_EQ(check("NOOPING"), ArgCheck::Unexpected);
    EXPECT_EQ(check("PASS"), ArgCheck::Ok);
    EXPECT_EQ(check("PASS secret"), ArgCheck::Ok);
    EXPECT_EQ(check("NOOP"), ArgCheck::Ok);
    EXPECT_EQ(check("NOOP "), ArgCheck::Ok);
    EXPECT_EQ(check("ALLO"), ArgCheck::Missing);
    EXPECT_EQ(check("SMNT x"), ArgCheck::Ok);
    EXPECT_EQ(check(""), ArgCheck::Ok);  // the not-found entry takes anything
}

TEST(CommandLookup, HelpArgumentsLookLikeLines) {
    // HELP RETR and HELP RETRIEVE both show RETR's text; an unknown name
    // shows the not-found text.
    const CommandEntry& help = LookupCommand("HELP RETRIEVE");
    ASSERT_EQ(help.number, CMD_HELP);
    EXPECT_STREQ(LookupCommand(CommandArgument(help, "HELP RETRIEVE")).help, "RETR <path> - Start file download");
    EXPECT_STREQ(LookupCommand("RETR").help, "RETR <path> - Start file download");
    EXPECT_STREQ(LookupCommand("help").help,
                 "HELP [<command>] - Displays helpful information concerning supported commands");
    EXPECT_STREQ(LookupCommand("BOGUS").help, "No such command");
    EXPECT_STREQ(LookupCommand("site").help,
                 "SITE <command> [<parameters>] - Site specific command - see ORVYN documentation for details");
}

TEST(HelpGrid, ExactLines) {
    const auto& g = HelpGrid();
    std::string all;
    for (const char* line : g) all += std::string(line) + "\r\n";
    EXPECT_EQ(all,
              "   USER    PORT    STOR    MSAM*   RNTO    NLST    MKD     CDUP \r\n"
              "   PASS    PASV    APPE    MRSQ*   ABOR    SITE    XMKD    XCUP \r\n"
              "   ACCT    TYPE    MLFL*   MRCP*   DELE    SYST    RMD     STOU \r\n"
              "   SMNT*   STRU    MAIL*   ALLO    CWD     STAT    XRMD    SIZE \r\n"
              "   REIN    MODE    MSND*   REST    XCWD    HELP    PWD     MDTM \r\n"
              "   QUIT    RETR    MSOM*   RNFR    LIST    NOOP    XPWD    FEAT \r\n"
              "   OPTS    MLST \r\n");
    // Names start every eight columns after three blanks; the full lines
    // hold eight names.
    for (int i = 0; i < 6; ++i) {
        const std::string line = g[i];
        ASSERT_EQ(line.size(), 64u) << i;
        for (size_t col = 3; col < line.size(); col += 8) EXPECT_NE(line[col], ' ') << i << ":" << col;
    }
}

}  // namespace
}  // namespace orvyn
