#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "service/core/session/ReceiveBuffer.h"

namespace orvyn {
namespace {

using namespace std::string_literals;

// Receives text the way the session does: prepare, copy what fits, commit.
// Returns the number of bytes taken.
size_t Receive(CReceiveBuffer& b, std::string_view text) {
    const auto span = b.PrepareRead();
    const size_t n = std::min(span.size(), text.size());
    std::memcpy(span.data(), text.data(), n);
    b.Commit(n);
    return n;
}

std::vector<std::string> Lines(CReceiveBuffer& b) {
    std::vector<std::string> lines;
    while (auto l = b.NextLine()) lines.push_back(*l);
    return lines;
}

TEST(ReceiveBuffer, StartsAt512AndOffersAllButOneByte) {
    CReceiveBuffer b;
    EXPECT_EQ(b.capacity(), 512u);
    EXPECT_EQ(b.fill(), 0u);
    EXPECT_EQ(b.PrepareRead().size(), 511u);
    EXPECT_EQ(Receive(b, "NOOP"), 4u);
    EXPECT_EQ(b.fill(), 4u);
    EXPECT_EQ(b.PrepareRead().size(), 507u);
    EXPECT_STREQ(b.data(), "NOOP");  // terminating zero after the bytes
}

TEST(ReceiveBuffer, GrowsBy512WhenFullAndShrinksWhenEmptied) {
    CReceiveBuffer b;
    EXPECT_EQ(Receive(b, std::string(600, 'a')), 511u);
    EXPECT_EQ(b.capacity(), 512u);
    // Full up to one byte below the capacity: the next read grows it.
    EXPECT_EQ(b.PrepareRead().size(), 512u);
    EXPECT_EQ(b.capacity(), 1024u);
    b.Commit(0);
    EXPECT_EQ(b.fill(), 511u);
    EXPECT_EQ(Receive(b, std::string(512, 'b') ), 512u);
    EXPECT_EQ(b.fill(), 1023u);
    EXPECT_EQ(Receive(b, "\r\n"), 2u);
    EXPECT_EQ(b.capacity(), 1536u);
    const auto line = b.NextLine();
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, std::string(511, 'a') + std::string(512, 'b'));
    EXPECT_EQ(b.fill(), 0u);
    // Emptied and larger than 512: the next read starts with a fresh buffer.
    EXPECT_EQ(b.capacity(), 1536u);
    EXPECT_EQ(b.PrepareRead().size(), 511u);
    EXPECT_EQ(b.capacity(), 512u);
}

TEST(ReceiveBuffer, GrowthStopsAtTheLineLimit) {
    CReceiveBuffer b(2048);
    size_t total = 0;
    for (int i = 0; i < 20; ++i) {
        const auto span = b.PrepareRead();
        if (span.empty()) break;
        std::memset(span.data(), 'x', span.size());
        b.Commit(span.size());
        total += span.size();
    }
    // The fill can reach the limit, so the owner's close check fires...
    EXPECT_GE(b.fill(), 2048u);
    EXPECT_EQ(total, b.fill());
    // ...and the buffer never grows a step further than that needs.
    EXPECT_EQ(b.capacity(), 2560u);
    EXPECT_TRUE(b.PrepareRead().empty());

    CReceiveBuffer small(100);
    EXPECT_EQ(Receive(small, std::string(1000, 'y')), 511u);
    EXPECT_GE(small.fill(), 100u);
    EXPECT_TRUE(small.PrepareRead().empty());
    EXPECT_EQ(small.capacity(), 512u);
}

TEST(ReceiveBuffer, HardLimitBoundsHugeLineLimits) {
    CReceiveBuffer b(static_cast<size_t>(-1));
    while (true) {
        const auto span = b.PrepareRead();
        if (span.empty()) break;
        b.Commit(span.size());
    }
    EXPECT_LE(b.capacity(), CReceiveBuffer::kHardLimit);
    EXPECT_EQ(b.fill(), b.capacity() - 1);
}

TEST(ReceiveBuffer, LineEndsLfAndCrLf) {
    CReceiveBuffer b;
    Receive(b, "USER a\r\nPASS\nNOOP\r\r\n\r\n\nrest");
    EXPECT_EQ(Lines(b), (std::vector<std::string>{"USER a", "PASS", "NOOP\r", "", ""}));
    EXPECT_EQ(b.fill(), 4u);
    EXPECT_STREQ(b.data(), "rest");
    EXPECT_FALSE(b.HasLine());
}

TEST(ReceiveBuffer, LineSplitOverReceives) {
    CReceiveBuffer b;
    Receive(b, "RE");
    EXPECT_FALSE(b.NextLine());
    EXPECT_EQ(b.fill(), 2u);
    Receive(b, "TR file\r");
    EXPECT_FALSE(b.NextLine());
    Receive(b, "\nNO");
    EXPECT_TRUE(b.HasLine());
    EXPECT_EQ(b.NextLine(), "RETR file");
    EXPECT_FALSE(b.NextLine());
    Receive(b, "OP\r\n");
    EXPECT_EQ(b.NextLine(), "NOOP");
}

TEST(ReceiveBuffer, EmbeddedNulDoesNotHideTheLineEnd) {
    CReceiveBuffer b;
    Receive(b, "AB\0CD\r\nX"s);
    const auto line = b.NextLine();
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "AB\0CD"s);
}

TEST(ReceiveBuffer, HighBitPrefixIsSkippedOnlyAtTheStart) {
    CReceiveBuffer b;
    Receive(b, "\xff\xf4\xff\xf2" "ABOR\r\nNOOP \xff\r\n");
    b.SkipHighBitPrefix();
    EXPECT_EQ(Lines(b), (std::vector<std::string>{"ABOR", "NOOP \xff"}));

    CReceiveBuffer all;
    Receive(all, "\x80\x90\xff");
    all.SkipHighBitPrefix();
    EXPECT_EQ(all.fill(), 0u);
    all.SkipHighBitPrefix();  // nothing left: harmless
    EXPECT_EQ(all.fill(), 0u);

    CReceiveBuffer none;
    Receive(none, "\x7f" "A");
    none.SkipHighBitPrefix();
    EXPECT_EQ(none.fill(), 2u);
}

TEST(ReceiveBuffer, DoubledFfIsOneByte) {
    CReceiveBuffer b;
    Receive(b, "RETR \xff\xff\xfe\xff\xff\xff\r\n");
    EXPECT_EQ(b.NextLine(), "RETR \xff\xfe\xff\xff");
}

TEST(ReceiveBuffer, ConsumedBytesAreWiped) {
    CReceiveBuffer b;
    Receive(b, "PASS hunter2\r\nNOOP\r\n");
    std::string line;
    ASSERT_TRUE(b.NextLine(line));
    EXPECT_EQ(line, "PASS hunter2");
    // Only "NOOP\r\n" and its terminator remain; nothing of the password is
    // left anywhere in the buffer's storage.
    const std::string_view storage(b.data(), b.capacity());
    EXPECT_EQ(storage.find("hunter2"), std::string_view::npos);
    EXPECT_EQ(storage.find("PASS"), std::string_view::npos);
    EXPECT_EQ(std::string(b.data(), b.fill()), "NOOP\r\n");
    for (size_t i = b.fill(); i < b.capacity(); ++i) ASSERT_EQ(storage[i], '\0') << i;

    SecureWipe(line);
    EXPECT_TRUE(line.empty());
    const std::string_view spare(line.data(), line.capacity());
    EXPECT_EQ(spare.find_first_not_of('\0'), std::string_view::npos);
}

TEST(ReceiveBuffer, ClearEmptiesAndWipes) {
    CReceiveBuffer b;
    Receive(b, "secret without end");
    b.Clear();
    EXPECT_EQ(b.fill(), 0u);
    const std::string_view storage(b.data(), b.capacity());
    EXPECT_EQ(storage.find_first_not_of('\0'), std::string_view::npos);
}

TEST(ReceiveBuffer, CommitNeverPassesTheOfferedSpace) {
    CReceiveBuffer b;
    b.PrepareRead();
    b.Commit(100000);
    EXPECT_EQ(b.fill(), 511u);
    EXPECT_EQ(b.data()[511], '\0');
}

}  // namespace
}  // namespace orvyn
