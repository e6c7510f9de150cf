#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "service/accounts/files/LoginMessage.h"

namespace orvyn {
namespace {

using Lines = std::vector<std::string>;

TEST(MessageLines, LineEndsAndEmptyLines) {
    EXPECT_EQ(SplitMessageLines("one\ntwo\r\n\nfour\n"), (Lines{"one", "two", "", "four"}));
    EXPECT_EQ(SplitMessageLines("no final end"), (Lines{"no final end"}));
    EXPECT_EQ(SplitMessageLines(""), Lines{});
    EXPECT_EQ(SplitMessageLines("\n"), (Lines{""}));
}

TEST(MessageLines, LongLinesContinueWithoutLoss) {
    std::string line(74, 'a');
    EXPECT_EQ(SplitMessageLines(line + "\n"), (Lines{line}));
    const std::string longer = std::string(74, 'x') + std::string(74, 'y') + "z";
    EXPECT_EQ(SplitMessageLines(longer), (Lines{std::string(74, 'x'), std::string(74, 'y'), "z"}));
}

TEST(MessageLines, NeverCutsInsideAUtf8Character) {
    // 73 ASCII bytes, then a two-byte character straddling the width.
    const std::string text = std::string(73, 'a') + "\xc3\xa9" + "b";
    const Lines lines = SplitMessageLines(text);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string(73, 'a'));
    EXPECT_EQ(lines[1], "\xc3\xa9" "b");
}

TEST(MessageLines, ControlCharactersCannotEndAReplyLine) {
    EXPECT_EQ(SplitMessageLines("a\rb\x01" "c\td\n"), (Lines{"a b c\td"}));
}

TEST(MessageFile, ReadsFilesOnlyAndBoundsTheSize) {
    char dir[] = "/tmp/orvyn-msg-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/message.ftp";
    EXPECT_EQ(ReadMessageLines(path), Lines{});  // missing
    EXPECT_EQ(ReadMessageLines(dir), Lines{});   // a folder
    {
        std::ofstream f(path, std::ios::binary);
        f << "hello\n";
        for (size_t i = 0; i < kMaxMessageBytes; ++i) f << (i % 80 == 79 ? '\n' : 'q');
    }
    const Lines lines = ReadMessageLines(path);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "hello");
    size_t bytes = 0;
    for (const auto& l : lines) bytes += l.size();
    // Everything up to the bound arrives (less the line ends), nothing past it.
    EXPECT_LE(bytes, kMaxMessageBytes);
    EXPECT_GE(bytes, kMaxMessageBytes - kMaxMessageBytes / 80 - 1);
    std::remove(path.c_str());
    rmdir(dir);
}

}  // namespace
}  // namespace orvyn
