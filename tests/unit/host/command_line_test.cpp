#include <sys/stat.h>

#include <gtest/gtest.h>

#include "host_support.h"
#include "service/core/host/CommandLine.h"
#include "service/core/host/ProfileFile.h"

namespace orvyn {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TEST(StandardArgs, InstallAndRemoveTokens) {
    struct Case {
        const char* line;
        ServiceAction action;
        bool quiet;
    };
    const Case cases[] = {
        {"-install", ServiceAction::Install, false},
        {"-INSTALL", ServiceAction::Install, false},
        {"-installation", ServiceAction::Install, false},  // first 8 characters decide
        {"-installq", ServiceAction::Install, true},
        {"-InstallQ", ServiceAction::Install, true},
        {"-install s", ServiceAction::Install, false},
        {"-remove", ServiceAction::Remove, false},
        {"-REMOVEALL", ServiceAction::Remove, false},  // first 7 characters decide
        {"-removeq", ServiceAction::Remove, true},
        {"-Removeq  i /x", ServiceAction::Remove, true},
        {"-instal", ServiceAction::None, false},
        {"-remov", ServiceAction::None, false},
        {"install", ServiceAction::None, false},
        {"/install", ServiceAction::None, false},
        {"-v", ServiceAction::None, false},
        {"-version", ServiceAction::None, false},
        {"", ServiceAction::None, false},
        {"s -install", ServiceAction::None, false},  // only the first token is the wrapper's
    };
    for (const auto& c : cases) {
        StandardArgs args = ParseStandardArgs(c.line);
        EXPECT_EQ(args.action, c.action) << c.line;
        EXPECT_EQ(args.quiet, c.quiet) << c.line;
    }
}

TEST(CommandLineSwitches, RunAsApplicationForms) {
    for (const char* line : {"s", "-s", "/s", "S", "/S", "h s", "  s  ", "\ts"}) {
        EXPECT_TRUE(ParseCommandLine(line).runAsApplication) << line;
    }
    for (const char* line : {"", "ss", "-ss", "x", "--s", "\\s", "sx", "-v"}) {
        EXPECT_FALSE(ParseCommandLine(line).runAsApplication) << line;
    }
}

TEST(CommandLineSwitches, ProfilePathPlainAndQuoted) {
    CommandLine plain = ParseCommandLine("i /tmp/orvyn.ini s");
    EXPECT_TRUE(plain.profileSwitch);
    EXPECT_EQ(plain.profilePath, "/tmp/orvyn.ini");
    EXPECT_TRUE(plain.runAsApplication);

    CommandLine quoted = ParseCommandLine("s i \"/tmp/a  b\tc.ini\" h");
    EXPECT_EQ(quoted.profilePath, "/tmp/a  b\tc.ini");
    EXPECT_TRUE(quoted.clearStartupFlag);
    EXPECT_TRUE(quoted.runAsApplication);

    // A quote that is never closed runs to the end of the line.
    EXPECT_EQ(ParseCommandLine("i \"/tmp/open ended").profilePath, "/tmp/open ended");
    // The path is the next token, whatever it looks like.
    EXPECT_EQ(ParseCommandLine("I s").profilePath, "s");
    EXPECT_FALSE(ParseCommandLine("I s").runAsApplication);
}

TEST(CommandLineSwitches, ProfileSwitchWithoutPath) {
    for (const char* line : {"i", "s i", "i   ", "i \"\""}) {
        CommandLine cmd = ParseCommandLine(line);
        EXPECT_TRUE(cmd.profileSwitch) << line;
        EXPECT_EQ(cmd.profilePath, "") << line;
    }
    EXPECT_FALSE(ParseCommandLine("-i /x").profileSwitch);
}

TEST(CommandLineSwitches, OthersAreIgnored) {
    CommandLine cmd = ParseCommandLine("-debug  --foo h bar");
    EXPECT_FALSE(cmd.runAsApplication);
    EXPECT_FALSE(cmd.profileSwitch);
    EXPECT_TRUE(cmd.clearStartupFlag);
    EXPECT_EQ(cmd.service.action, ServiceAction::None);
}

TEST(CommandLineJoin, ArgumentsWithBlanksStayOnePath) {
    EXPECT_EQ(JoinArguments({}), "");
    EXPECT_EQ(JoinArguments({"s"}), "s");
    EXPECT_EQ(JoinArguments({"i", "/tmp/a b.ini", "s"}), "i \"/tmp/a b.ini\" s");
    // Already quoted by the caller: left as it is.
    EXPECT_EQ(JoinArguments({"i \"/tmp/a b.ini\""}), "i \"/tmp/a b.ini\"");

    CommandLine cmd = ParseCommandLine(JoinArguments({"i", "/tmp/dir with blanks/x.ini", "s"}));
    EXPECT_EQ(cmd.profilePath, "/tmp/dir with blanks/x.ini");
    EXPECT_TRUE(cmd.runAsApplication);
}

TEST(ProfileFile, CreatedWhenMissingAndNeverTruncated) {
    TempDir dir;
    const std::string path = dir / "orvyn.ini";
    auto opened = OpenProfileFile(path);
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(*opened, path);
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);

    WriteFile(path, "[settings]\nkeep=1\n");
    ASSERT_TRUE(OpenProfileFile(path).has_value());
    EXPECT_EQ(ReadFile(path), "[settings]\nkeep=1\n");
}

TEST(ProfileFile, RelativePathBecomesAbsolute) {
    TempDir dir;
    char old[4096];
    ASSERT_NE(::getcwd(old, sizeof(old)), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    auto opened = OpenProfileFile("./rel.ini");
    ASSERT_EQ(::chdir(old), 0);
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(*opened, dir / "rel.ini");
}

TEST(ProfileFile, RefusedPaths) {
    TempDir dir;
    EXPECT_FALSE(OpenProfileFile("").has_value());
    EXPECT_FALSE(OpenProfileFile(dir.path()).has_value());              // a folder
    EXPECT_FALSE(OpenProfileFile(dir / "missing/x.ini").has_value());    // no such folder
    const std::string fifo = dir / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(OpenProfileFile(fifo).has_value());
    EXPECT_FALSE(OpenProfileFile(std::string(5000, 'a')).has_value());
}

}  // namespace
}  // namespace orvyn
