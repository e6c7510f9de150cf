// Conversion values, name mapping, the choice of a conversion and its
// command line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "service/transfer/conversions/Conversion.h"
#include "service/transfer/conversions/ConversionCommand.h"
#include "transfer_support.h"

namespace orvyn {
namespace {

using test::TempFolder;
using Argv = std::vector<std::string>;

TEST(ConversionValue, SixFields) {
    const auto c = ParseConversion("gzip", "|||.gz|gzip -c %s|13");
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->name, "gzip");
    EXPECT_EQ(c->localPrefix, "");
    EXPECT_EQ(c->localSuffix, "");
    EXPECT_EQ(c->requestedPrefix, "");
    EXPECT_EQ(c->requestedSuffix, ".gz");
    EXPECT_EQ(c->command, "gzip -c %s");
    EXPECT_EQ(c->flags, 13u);

    const auto d = ParseConversion("d", "lp|ls|rp|rs|cmd| 7 ");
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->localPrefix, "lp");
    EXPECT_EQ(d->localSuffix, "ls");
    EXPECT_EQ(d->requestedPrefix, "rp");
    EXPECT_EQ(d->requestedSuffix, "rs");
    EXPECT_EQ(d->flags, 7u);
}

TEST(ConversionValue, BackslashEscapes) {
    const auto c = ParseConversion("e", "a\\|b|\\\\|c\\d||tr \\| x \\\\ %s|1");
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->localPrefix, "a|b");
    EXPECT_EQ(c->localSuffix, "\\");
    EXPECT_EQ(c->requestedPrefix, "c\\d");  // any other backslash stays
    EXPECT_EQ(c->command, "tr | x \\ %s");
    // A backslash at the very end stays too.
    const auto t = ParseConversion("t", "||||x|1\\");
    EXPECT_FALSE(t.has_value());  // ...and makes the flags no number
    const auto u = ParseConversion("u", "a\\|||||x|1");
    ASSERT_TRUE(u.has_value());
    EXPECT_EQ(u->localPrefix, "a|");
}

TEST(ConversionValue, WidthsAndFieldCount) {
    const std::string nine(9, 'p');
    const std::string ten(10, 'p');
    EXPECT_TRUE(ParseConversion("w", nine + "|" + nine + "|" + nine + "|" + nine + "|c|1").has_value());
    EXPECT_FALSE(ParseConversion("w", ten + "||||c|1").has_value());
    EXPECT_FALSE(ParseConversion("w", "|" + ten + "|||c|1").has_value());
    EXPECT_FALSE(ParseConversion("w", "||" + ten + "||c|1").has_value());
    EXPECT_FALSE(ParseConversion("w", "|||" + ten + "|c|1").has_value());
    // Widths count characters after unescaping: nine escaped bars fit.
    std::string bars;
    for (int i = 0; i < 9; ++i) bars += "\\|";
    EXPECT_TRUE(ParseConversion("w", bars + "||||c|1").has_value());

    EXPECT_TRUE(ParseConversion("w", "||||" + std::string(260, 'c') + "|1").has_value());
    EXPECT_FALSE(ParseConversion("w", "||||" + std::string(261, 'c') + "|1").has_value());
    EXPECT_TRUE(ParseConversion("w", "||||c|" + std::string(23, '0') + "1").has_value());
    EXPECT_FALSE(ParseConversion("w", "||||c|" + std::string(24, '0') + "1").has_value());

    for (const char* bad : {"", "||||c", "|||||", "||||c|1|", "||||c|1|extra", "||||c|x", "||||c|-1", "||||c|1x",
                            "||||c|99999999999"}) {
        EXPECT_FALSE(ParseConversion("w", bad).has_value()) << bad;
    }
}

TEST(ConversionValue, FormatRoundTrips) {
    CConversion c;
    c.localPrefix = "a|b";
    c.localSuffix = "\\";
    c.requestedSuffix = ".gz";
    c.command = "tr '|' x %s";
    c.flags = 13;
    const std::string text = FormatConversionValue(c);
    EXPECT_EQ(text, "a\\|b|\\\\||.gz|tr '\\|' x %s|13");
    const auto back = ParseConversion("n", text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->localPrefix, c.localPrefix);
    EXPECT_EQ(back->localSuffix, c.localSuffix);
    EXPECT_EQ(back->requestedSuffix, c.requestedSuffix);
    EXPECT_EQ(back->command, c.command);
    EXPECT_EQ(back->flags, c.flags);
}

CConversion Conv(std::string lp, std::string ls, std::string rp, std::string rs, unsigned flags = 13) {
    CConversion c;
    c.localPrefix = std::move(lp);
    c.localSuffix = std::move(ls);
    c.requestedPrefix = std::move(rp);
    c.requestedSuffix = std::move(rs);
    c.command = "cat %s";
    c.flags = flags;
    return c;
}

TEST(MapName, PrefixesAndSuffixesWithoutRegardToCase) {
    EXPECT_EQ(MapRequestedName(Conv("", "", "", ".gz"), "/srv/pub/report.txt.gz"), "/srv/pub/report.txt");
    EXPECT_EQ(MapRequestedName(Conv("", "", "", ".gz"), "/srv/pub/REPORT.TXT.GZ"), "/srv/pub/REPORT.TXT");
    EXPECT_EQ(MapRequestedName(Conv("", ".txt", "", ".zip"), "/a/b.ZIP"), "/a/b.txt");
    EXPECT_EQ(MapRequestedName(Conv("src_", "", "Z", ""), "/a/zname"), "/a/src_name");
    EXPECT_EQ(MapRequestedName(Conv("", "", "", ".gz"), "relative.gz"), "relative");
    // No match.
    EXPECT_FALSE(MapRequestedName(Conv("", "", "", ".gz"), "/a/report.txt").has_value());
    EXPECT_FALSE(MapRequestedName(Conv("", "", "pre", ""), "/a/report").has_value());
    // Prefix and suffix may not overlap.
    EXPECT_FALSE(MapRequestedName(Conv("", "", "ab", "bc"), "/a/abc").has_value());
    EXPECT_EQ(MapRequestedName(Conv("x", "", "ab", "bc"), "/a/abbc"), "/a/x");
}

TEST(MapName, NeverTheSameNameNorOutsideItsFolder) {
    // A conversion whose local name equals the requested one is never used,
    // whatever the case.
    EXPECT_FALSE(MapRequestedName(Conv("", "", "", ""), "/a/file").has_value());
    EXPECT_FALSE(MapRequestedName(Conv("", ".GZ", "", ".gz"), "/a/file.gz").has_value());
    // The whole name consumed by the affixes leaves nothing to serve.
    EXPECT_FALSE(MapRequestedName(Conv("", "", "", ".gz"), "/a/.gz").has_value());
    // Local affixes cannot lead into another folder.
    EXPECT_FALSE(MapRequestedName(Conv("../", "", "", ".gz"), "/a/x.gz").has_value());
    EXPECT_FALSE(MapRequestedName(Conv("", "/../x", "", ".gz"), "/a/x.gz").has_value());
    EXPECT_FALSE(MapRequestedName(Conv(".", "", "", ".gz"), "/a/..gz").has_value());
}

// A file system in a map, for the choice of a conversion.
struct FakeDisk {
    std::map<std::string, LocalEntry> entries;
    LocalProbe Probe() const {
        return [this](const std::string& p) {
            auto it = entries.find(p);
            return it == entries.end() ? LocalEntry::Missing : it->second;
        };
    }
};

TEST(FindConversion, ModeBitsAndFileOrDirectory) {
    FakeDisk disk;
    disk.entries["/p/report.txt"] = LocalEntry::File;
    disk.entries["/p/tree"] = LocalEntry::Directory;
    const std::vector<ConversionValue> values = {
        {"binary-only", "|||.bz|bzip2 -c %s|5"},
        {"gzip", "|||.gz|gzip -c %s|13"},
        {"tar", "|||.tar|tar cf - %s|14"},
    };
    // Files, both modes.
    auto m = FindConversion(values, "/p/report.txt.gz", true, disk.Probe());
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->conversion.name, "gzip");
    EXPECT_EQ(m->localPath, "/p/report.txt");
    EXPECT_TRUE(FindConversion(values, "/p/report.txt.gz", false, disk.Probe()).has_value());

    // Binary only (flags 5): used for Image, not after TYPE A.
    m = FindConversion(values, "/p/report.txt.bz", true, disk.Probe());
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->conversion.name, "binary-only");
    EXPECT_FALSE(FindConversion(values, "/p/report.txt.bz", false, disk.Probe()).has_value());

    // Directories only (flags 14): a directory maps, a file does not.
    m = FindConversion(values, "/p/tree.tar", false, disk.Probe());
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->localPath, "/p/tree");
    EXPECT_FALSE(FindConversion(values, "/p/report.txt.tar", false, disk.Probe()).has_value());
    // ...and the file conversion does not take a directory.
    EXPECT_FALSE(FindConversion(values, "/p/tree.gz", false, disk.Probe()).has_value());

    // Nothing there to convert.
    EXPECT_FALSE(FindConversion(values, "/p/other.txt.gz", true, disk.Probe()).has_value());
}

TEST(FindConversion, FirstUsableInOrderAndBrokenValuesSkipped) {
    FakeDisk disk;
    disk.entries["/p/a"] = LocalEntry::File;
    disk.entries["/p/a.txt"] = LocalEntry::File;
    disk.entries["/p/secret"] = LocalEntry::Unusable;
    const std::vector<ConversionValue> values = {
        {"broken", "|||.gz|gzip|not a number"},
        {"no-local", "|.missing||.gz|gzip -c %s|13"},
        {"second", "|.txt||.gz|first %s|13"},
        {"third", "|||.gz|second %s|13"},
    };
    auto m = FindConversion(values, "/p/a.gz", true, disk.Probe());
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->conversion.name, "second");
    EXPECT_EQ(m->localPath, "/p/a.txt");
    EXPECT_FALSE(FindConversion(values, "/p/secret.gz", true, disk.Probe()).has_value());
    EXPECT_FALSE(FindConversion({}, "/p/a.gz", true, disk.Probe()).has_value());
}

TEST(FindConversion, OnTheRealFileSystem) {
    TempFolder dir;
    dir.Write("report.txt", "data");
    dir.Write(".hidden", "x");
    ASSERT_EQ(mkdir(dir.At("tree").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.At("fifo").c_str(), 0600), 0);
    EXPECT_EQ(ProbeLocalEntry(dir.At("report.txt")), LocalEntry::File);
    EXPECT_EQ(ProbeLocalEntry(dir.At("tree")), LocalEntry::Directory);
    EXPECT_EQ(ProbeLocalEntry(dir.At("nothing")), LocalEntry::Missing);
    EXPECT_EQ(ProbeLocalEntry(dir.At(".hidden")), LocalEntry::Unusable);
    EXPECT_EQ(ProbeLocalEntry(dir.At("fifo")), LocalEntry::Unusable);

    const std::vector<ConversionValue> values = {{"gzip", "|||.gz|gzip -c %s|13"}};
    const auto m = FindConversion(values, dir.At("report.txt.gz"), true);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->localPath, dir.At("report.txt"));
    EXPECT_FALSE(FindConversion(values, dir.At("fifo.gz"), true).has_value());
    EXPECT_FALSE(FindConversion(values, dir.At(".hidden.gz"), true).has_value());
}

TEST(CommandLine, SplitsLikeAShellWithThePathAsOneWord) {
    const std::string path = "/srv/my file; rm -rf ~ $(id) `x` \"q\" 'a' \\n";
    EXPECT_EQ(SplitCommandLine("gzip -c %s", path), Argv({"gzip", "-c", path}));
    EXPECT_EQ(SplitCommandLine("  gzip\t-c   %s  ", path), Argv({"gzip", "-c", path}));
    EXPECT_EQ(SplitCommandLine("tool --in=%s", "/a_b"), Argv({"tool", "--in=/a_b"}));
    EXPECT_EQ(SplitCommandLine("tool '%s'", "/a b"), Argv({"tool", "/a b"}));
    EXPECT_EQ(SplitCommandLine("tool \"%s\"", "/a b"), Argv({"tool", "/a b"}));
    EXPECT_EQ(SplitCommandLine("echo 'a  b' \"c \\\" d\" e\\ f", ""), Argv({"echo", "a  b", "c \" d", "e f"}));
    EXPECT_EQ(SplitCommandLine("echo '' \"\"", ""), Argv({"echo", "", ""}));
    EXPECT_EQ(SplitCommandLine("echo 'a\\b' \"c\\d\"", ""), Argv({"echo", "a\\b", "c\\d"}));
    EXPECT_EQ(SplitCommandLine("printf 100%% %s", "/p"), Argv({"printf", "100%", "/p"}));
    EXPECT_EQ(SplitCommandLine("echo \\%s", "/p"), Argv({"echo", "%s"}));
    EXPECT_EQ(SplitCommandLine("date", "/p"), Argv({"date"}));
    // Joined with other text the path may be a shell's to read: only a name
    // no shell can take for anything else is put there.
    EXPECT_EQ(SplitCommandLine("sh -c \"gzip -c %s\"", "/srv/a_b-1.txt"), Argv({"sh", "-c", "gzip -c /srv/a_b-1.txt"}));
    for (const char* name : {"/srv/a;touch x;b", "/srv/a b", "/srv/$(id)", "/srv/a'b", "/srv/-x\n"}) {
        for (const char* command : {"sh -c \"gzip -c %s\"", "sh -c 'gzip -c %s | cat'", "sh -c 'cat '%s",
                                    "sh -c cat\\ %s", "sh -c :%s", "tool --in=%s"}) {
            EXPECT_FALSE(SplitCommandLine(command, name).has_value()) << command << " " << name;
        }
    }
}

TEST(CommandLine, RefusedCommands) {
    for (const char* bad : {"cat %s %s", "cat %d", "cat %s%n", "cat %", "cat %x %s", "cat '%s", "cat \"%s",
                            "", "   ", "'' %s", "cat %5s", "cat %-s"}) {
        EXPECT_FALSE(SplitCommandLine(bad, "/p").has_value()) << bad;
    }
}

TEST(CommandLine, BuildCommandFillsTheLogText) {
    CConversion c = Conv("", "", "", ".gz");
    c.command = "gzip -c %s # 50%%";
    const auto cmd = BuildCommand(c, "/srv/report.txt");
    ASSERT_TRUE(cmd.has_value());
    EXPECT_EQ(cmd->argv, Argv({"gzip", "-c", "/srv/report.txt", "#", "50%"}));
    EXPECT_EQ(cmd->text, "gzip -c /srv/report.txt # 50%");
    c.command = "cat %s %s";
    EXPECT_FALSE(BuildCommand(c, "/x").has_value());
}

}  // namespace
}  // namespace orvyn
