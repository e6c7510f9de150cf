#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "listing_support.h"
#include "service/transfer/listing/LineFormat.h"

namespace orvyn {
namespace {

using test::Utc;

const std::time_t kNow = Utc(2024, 6, 15, 12, 0, 0);

ListEntry File(const std::string& name, std::uint64_t size, std::time_t when, int rights = 15) {
    ListEntry entry;
    entry.name = name;
    entry.size = size;
    entry.writeTime = when;
    entry.accessTime = when;
    entry.rights = rights;
    entry.mode = FileMode(rights, false);
    return entry;
}

ListEntry Folder(const std::string& name, std::time_t when, int rights = 15) {
    ListEntry entry = File(name, 4096, when, rights);
    entry.kind = EntryKind::Directory;
    entry.mode = DirectoryMode(rights, false);
    return entry;
}

std::string LineOf(const std::string& letters, const ListEntry& entry, const ListContext& context) {
    const ListOptions options = ListOptions::Parse(letters.empty() ? "" : "-" + letters, 'l');
    LineFormatter formatter(options, kNow);
    std::string out;
    formatter.AppendLine(out, entry, context);
    return out;
}

std::string LineOf(const std::string& letters, const ListEntry& entry) {
    ListContext context;
    context.Add(entry);
    return LineOf(letters, entry, context);
}

TEST(LineFormat, ModeStringsByValue) {
    const char* expected[16] = {"----", "d---", "-r--", "dr--", "--w-", "d-w-", "-rw-", "drw-",
                                "---x", "d--x", "-r-x", "dr-x", "--wx", "d-wx", "-rwx", "drwx"};
    for (int mode = 0; mode < 16; ++mode) EXPECT_EQ(ModeString(mode), expected[mode]) << mode;
}

TEST(LineFormat, ModeFromRightsForEveryKind) {
    // Files: R reads and executes, O writes unless the file is read-only.
    EXPECT_EQ(ModeString(FileMode(listing_rights::kRead, false)), "-r-x");
    EXPECT_EQ(ModeString(FileMode(listing_rights::kOverwrite, false)), "--w-");
    EXPECT_EQ(ModeString(FileMode(listing_rights::kCreate, false)), "----");
    EXPECT_EQ(ModeString(FileMode(15, true)), "-r-x");
    // Folders: L reads, C or O writes, any right executes.
    EXPECT_EQ(ModeString(DirectoryMode(listing_rights::kList, false)), "dr-x");
    EXPECT_EQ(ModeString(DirectoryMode(listing_rights::kCreate, false)), "d-wx");
    EXPECT_EQ(ModeString(DirectoryMode(listing_rights::kRead, false)), "d--x");
    EXPECT_EQ(ModeString(DirectoryMode(0, false)), "d---");
    EXPECT_EQ(ModeString(DirectoryMode(15, true)), "dr-x");
    // Virtual directories read with R instead of L.
    EXPECT_EQ(ModeString(VirtualDirectoryMode(listing_rights::kRead, false)), "dr-x");
    EXPECT_EQ(ModeString(VirtualDirectoryMode(listing_rights::kList, false)), "d--x");
    EXPECT_EQ(ModeString(VirtualDirectoryMode(listing_rights::kOverwrite, false)), "d-wx");
}

TEST(LineFormat, LongLineByteForByte) {
    const ListEntry file = File("notes.txt", 1234, Utc(2024, 6, 10, 9, 5));
    EXPECT_EQ(LineOf("l", file), "-rwxrwxrwx  1 noone    nogroup      1234 Jun 10 09:05 notes.txt\r\n");

    const ListEntry dir = Folder("sub dir", Utc(2023, 1, 2, 3, 4), listing_rights::kList);
    EXPECT_EQ(LineOf("l", dir), "dr-xr-xr-x  1 noone    nogroup      4096 Jan  2  2023 sub dir\r\n");

    ListEntry link = File("docs", 40, Utc(2024, 6, 1, 0, 0), listing_rights::kRead);
    link.kind = EntryKind::Link;
    link.linkTarget = "/pub/docs";
    EXPECT_EQ(LineOf("l", link), "lr-xr-xr-x  1 noone    nogroup        40 Jun  1 00:00 docs -> /pub/docs\r\n");
    // With F the mark comes before the arrow.
    EXPECT_EQ(LineOf("lF", link), "lr-xr-xr-x  1 noone    nogroup        40 Jun  1 00:00 docs@ -> /pub/docs\r\n");
    // The short forms show the name only, never the target.
    EXPECT_EQ(LineOf("1", link), "docs\r\n");
    EXPECT_EQ(LineOf("C", link), "docs\r\n");
}

TEST(LineFormat, ColumnsWidenWithTheFolder) {
    ListContext context;
    const ListEntry small = File("a", 7, Utc(2024, 6, 1));
    ListEntry big = File("b", 123456789, Utc(2024, 6, 1));
    big.owner = "averylongowner";  // 14 characters: 16 wide
    context.Add(small);
    context.Add(big);
    EXPECT_EQ(context.ownerWidth(), 16);
    EXPECT_EQ(context.groupWidth(), 8);
    EXPECT_EQ(context.sizeWidth(), 16);
    EXPECT_EQ(LineOf("l", small, context),
              "-rwxrwxrwx  1 noone            nogroup                 7 Jun  1 00:00 a\r\n");

    // Eight digits still fit the first step; names of exactly eight fill it.
    ListContext eight;
    ListEntry exact = File("c", 99999999, 0);
    exact.group = "eightchr";
    eight.Add(exact);
    EXPECT_EQ(eight.sizeWidth(), 8);
    EXPECT_EQ(eight.groupWidth(), 8);
    // An empty folder's widths are the minimum ones.
    ListContext none;
    EXPECT_EQ(none.sizeWidth(), 8);
    EXPECT_EQ(none.blockWidth(), 4);
}

TEST(LineFormat, BlockColumnAndTotal) {
    ListContext context;
    for (std::uint64_t size : {0u, 512u, 1023u, 1024u}) context.Add(File("f", size, 0));
    // Each entry counts its whole blocks plus one: 1 + 2 + 2 + 3.
    EXPECT_EQ(context.totalBlocks(), 8u);
    const ListOptions options = ListOptions::Parse("-ls", 'l');
    LineFormatter formatter(options, kNow);
    std::string total;
    formatter.AppendTotal(total, context);
    EXPECT_EQ(total, "total 8\r\n");

    // s prefixes the size in blocks rounded up, right-aligned in its column.
    EXPECT_EQ(LineOf("1s", File("x", 1025, 0)), "    3 x\r\n");
    EXPECT_EQ(LineOf("1s", File("x", 0, 0)), "    0 x\r\n");

    // The block column counts multiplications of 512 by ten up to the size.
    auto widthFor = [](std::uint64_t size) {
        ListContext c;
        c.Add(File("f", size, 0));
        return c.blockWidth();
    };
    EXPECT_EQ(widthFor(0), 4);
    EXPECT_EQ(widthFor(511), 4);
    EXPECT_EQ(widthFor(5119999), 4);   // 512, 5120, ..., 512000: 4 steps
    EXPECT_EQ(widthFor(5120000), 8);   // five steps
    EXPECT_EQ(widthFor(std::numeric_limits<std::uint64_t>::max()), 20);  // 17 steps, no overflow
}

TEST(LineFormat, DateFormsAroundSixMonths) {
    // Within six months either way: time of day.
    EXPECT_EQ(DateText(Utc(2023, 12, 31, 23, 59), kNow), "Dec 31 23:59 ");
    EXPECT_EQ(DateText(Utc(2024, 12, 1, 8, 0), kNow), "Dec  1 08:00 ");
    // Seven months either way: the year.
    EXPECT_EQ(DateText(Utc(2023, 11, 30, 23, 59), kNow), "Nov 30  2023 ");
    EXPECT_EQ(DateText(Utc(2025, 1, 1, 0, 0), kNow), "Jan  1  2025 ");
    // The rule counts months, not days: the first of the month six months back still shows the time.
    EXPECT_EQ(DateText(Utc(2023, 12, 1, 0, 0), kNow), "Dec  1 00:00 ");
    for (std::time_t when : {Utc(1999, 2, 3), Utc(2024, 6, 15), Utc(2038, 1, 19)}) {
        EXPECT_EQ(DateText(when, kNow).size(), 13u);
    }
    // u shows the access time in place of the write time.
    ListEntry entry = File("f", 1, Utc(2024, 6, 2, 1, 2));
    entry.accessTime = Utc(2020, 3, 4);
    EXPECT_NE(LineOf("l", entry).find("Jun  2 01:02 f"), std::string::npos);
    EXPECT_NE(LineOf("lu", entry).find("Mar  4  2020 f"), std::string::npos);
}

TEST(LineFormat, OneFormatterDatesEveryLineByItsOwnTime) {
    const ListOptions options = ListOptions::Parse("-l", 'l');
    const LineFormatter formatter(options, kNow);
    const std::time_t a = Utc(2024, 6, 10, 9, 5);
    const std::time_t b = Utc(2021, 2, 3, 4, 5);
    ListContext context;
    context.Add(File("f", 1, a));
    std::string out;
    for (const std::time_t when : {a, a, b, a, b + 60}) {
        formatter.AppendLine(out, File("f", 1, when), context);
    }
    const std::string line = "-rwxrwxrwx  1 noone    nogroup         1 ";
    EXPECT_EQ(out, line + "Jun 10 09:05 f\r\n" + line + "Jun 10 09:05 f\r\n" + line + "Feb  3  2021 f\r\n" + line +
                       "Jun 10 09:05 f\r\n" + line + "Feb  3  2021 f\r\n");
}

TEST(LineFormat, ClassMarks) {
    EXPECT_EQ(LineOf("1F", Folder("sub", 0)), "sub/\r\n");
    EXPECT_EQ(LineOf("1F", File("setup.EXE", 1, 0)), "setup.EXE*\r\n");
    EXPECT_EQ(LineOf("1F", File("setup.exe.txt", 1, 0)), "setup.exe.txt\r\n");
    EXPECT_EQ(LineOf("1F", File("plain", 1, 0)), "plain\r\n");
    ListEntry link = File("docs", 1, 0);
    link.kind = EntryKind::Link;
    link.linkTarget = "/x";
    EXPECT_EQ(LineOf("1F", link), "docs@\r\n");
    ListEntry virtualDir = Folder("v", 0);
    virtualDir.kind = EntryKind::VirtualDirectory;
    EXPECT_EQ(ClassMark(virtualDir), '/');
    // Without F no mark at all.
    EXPECT_EQ(LineOf("1", Folder("sub", 0)), "sub\r\n");
}

}  // namespace
}  // namespace orvyn
