#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "service/core/session/ReplyWriter.h"

namespace orvyn {
namespace {

using namespace std::string_literals;

// Feeds text as a reply and returns the bytes the writer produced.
std::string Reply(CReplyWriter& w, std::string_view text, bool* complete = nullptr) {
    std::string out;
    const bool done = w.Feed(text, false, out);
    if (complete) *complete = done;
    return out;
}

TEST(ReplyWriter, SingleLineReplyCompletesAtLineEnd) {
    CReplyWriter w;
    EXPECT_EQ(w.state(), 2);
    std::string out;
    EXPECT_FALSE(w.Feed("2", false, out));
    EXPECT_EQ(w.state(), 3);
    EXPECT_FALSE(w.Feed("0", false, out));
    EXPECT_EQ(w.state(), 4);
    EXPECT_FALSE(w.Feed("0", false, out));
    EXPECT_EQ(w.state(), 5);
    EXPECT_FALSE(w.Feed(" ", false, out));
    EXPECT_EQ(w.state(), 6);
    EXPECT_FALSE(w.Feed("OK", false, out));
    EXPECT_EQ(w.state(), 6);
    EXPECT_FALSE(w.Feed("\r", false, out));
    EXPECT_EQ(w.state(), 7);
    EXPECT_TRUE(w.Feed("\n", false, out));
    EXPECT_EQ(w.state(), 2);
    EXPECT_EQ(out, "200 OK\r\n");
}

TEST(ReplyWriter, MultiLineReplyCompletesOnlyAtTheFinalLine) {
    CReplyWriter w;
    std::string out;
    EXPECT_FALSE(w.Feed("214-The following commands are recognized.\r\n", false, out));
    EXPECT_EQ(w.state(), 2);
    EXPECT_FALSE(w.Feed("   USER    PORT \r\n", true, out));
    EXPECT_FALSE(w.Feed("214-more\r\n", false, out));
    // A line with three digits and a blank in the middle is not final.
    EXPECT_FALSE(w.Feed("x200 no\r\n", false, out));
    EXPECT_TRUE(w.Feed("214 Direct comments.\r\n", false, out));
    EXPECT_EQ(out, "214-The following commands are recognized.\r\n   USER    PORT \r\n214-more\r\nx200 no\r\n"
                   "214 Direct comments.\r\n");
}

TEST(ReplyWriter, DigitsThenCarriageReturnEndAReply) {
    CReplyWriter w;
    bool done = false;
    EXPECT_EQ(Reply(w, "200\r\n", &done), "200\r\n");
    EXPECT_TRUE(done);
    // Fewer than three digits, or a fourth one, is an ordinary line.
    EXPECT_EQ(Reply(w, "20\r\n", &done), "20\r\n");
    EXPECT_FALSE(done);
    EXPECT_EQ(Reply(w, "2000 x\r\n", &done), "2000 x\r\n");
    EXPECT_FALSE(done);
    EXPECT_EQ(w.state(), 2);
}

TEST(ReplyWriter, LoneCarriageReturnGetsNul) {
    CReplyWriter w;
    bool done = false;
    // Inside an ordinary line (state 1 -> 0).
    EXPECT_EQ(Reply(w, "150-a\rb\r\n", &done), "150-a\r\0b\r\n"s);
    EXPECT_FALSE(done);
    // Inside the last line (state 7 -> 6); the reply still completes.
    EXPECT_EQ(Reply(w, "200 a\rb\r\n", &done), "200 a\r\0b\r\n"s);
    EXPECT_TRUE(done);
    // A lone CR at the very end waits in state 7 for the next byte.
    EXPECT_EQ(Reply(w, "200 end\r", &done), "200 end\r");
    EXPECT_FALSE(done);
    EXPECT_EQ(w.state(), 7);
    EXPECT_EQ(Reply(w, "x\r\n", &done), "\0x\r\n"s);
    EXPECT_TRUE(done);
}

TEST(ReplyWriter, CarriageReturnAfterLoneCarriageReturnStillEndsTheLine) {
    CReplyWriter w;
    bool done = false;
    EXPECT_EQ(Reply(w, "200 a\r\r\n", &done), "200 a\r\0\r\n"s);
    EXPECT_TRUE(done);
    EXPECT_EQ(Reply(w, "150-a\r\r\n200 b\r\n", &done), "150-a\r\0\r\n200 b\r\n"s);
    EXPECT_TRUE(done);
    // An empty line inside a reply ends at its CR LF, so the next line is
    // recognised as the final one.
    EXPECT_EQ(Reply(w, "214-x\r\n\r\n214 y\r\n", &done), "214-x\r\n\r\n214 y\r\n");
    EXPECT_TRUE(done);
}

TEST(ReplyWriter, ContinuationLinesStartingWithDigitAreIndented) {
    CReplyWriter w;
    std::string out;
    EXPECT_FALSE(w.Feed("211-Status\r\n", false, out));
    EXPECT_FALSE(w.Feed("200 looks final but is free text\r\n", true, out));
    EXPECT_EQ(w.state(), 2);
    EXPECT_FALSE(w.Feed("no digit\r\n9 digit\r\n", true, out));
    EXPECT_TRUE(w.Feed("211 End\r\n", false, out));
    EXPECT_EQ(out, "211-Status\r\n 200 looks final but is free text\r\nno digit\r\n 9 digit\r\n211 End\r\n");
}

TEST(ReplyWriter, ContinuationTextMidLineIsNotIndented) {
    CReplyWriter w;
    std::string out;
    EXPECT_FALSE(w.Feed("213-", false, out));
    EXPECT_EQ(w.state(), 0);
    EXPECT_FALSE(w.Feed("123 abc\r\n", true, out));
    EXPECT_EQ(out, "213-123 abc\r\n");
}

TEST(ReplyWriter, SeveralRepliesInOneFeed) {
    CReplyWriter w;
    bool done = false;
    EXPECT_EQ(Reply(w, "200 a\r\n200 b\r\n", &done), "200 a\r\n200 b\r\n");
    EXPECT_TRUE(done);
    EXPECT_EQ(w.state(), 2);
}

TEST(ReplyWriter, ResetReturnsToLineStart) {
    CReplyWriter w;
    std::string out;
    w.Feed("200 half", false, out);
    EXPECT_EQ(w.state(), 6);
    w.Reset();
    EXPECT_EQ(w.state(), 2);
}

TEST(FormatCapped, Boundaries) {
    std::string out;
    const std::string s1022(1022, 'a'), s1023(1023, 'b'), s1024(1024, 'c');
    EXPECT_TRUE(FormatCappedF(out, "%s", s1022.c_str()));
    EXPECT_EQ(out, s1022);
    EXPECT_TRUE(FormatCappedF(out, "%s", s1023.c_str()));
    EXPECT_EQ(out, s1023);
    EXPECT_FALSE(FormatCappedF(out, "%s", s1024.c_str()));
    EXPECT_EQ(out, s1024.substr(0, 1023));
    EXPECT_FALSE(FormatCappedF(out, "500 Unidentified command %s\r\n", s1024.c_str()));
    EXPECT_EQ(out.size(), 1023u);
    EXPECT_EQ(out.substr(0, 25), "500 Unidentified command ");
    EXPECT_TRUE(FormatCappedF(out, "421 Timeout (%d seconds): closing control connection.\r\n", 300));
    EXPECT_EQ(out, "421 Timeout (300 seconds): closing control connection.\r\n");
    EXPECT_TRUE(FormatCappedF(out, "300 TIME - 75%% of timeout reached\r\n"));
    EXPECT_EQ(out, "300 TIME - 75% of timeout reached\r\n");
}

class FakeMacros : public IMacroSource {
public:
    bool loggedIn = false;
    bool loginRequired = true;
    bool lookupPending = true;
    std::string remoteName = "client.example";
    std::string user = "alice";
    std::string detail;
    std::string email = "admin@example";
    long maxUsers = 0;
    long users = 3;

    bool LoggedIn() override { return loggedIn; }
    bool LoginRequired() override { return loginRequired; }
    std::string CurrentDirectory() override { return "/pub"; }
    std::string Email() override { return email; }
    std::string FreeSpaceKb() override { return "12345"; }
    std::string HostName() override { return "serverhost"; }
    long MaxUsers() override { return maxUsers; }
    long UserCount() override { return users; }
    bool HostLookupPending() override { return lookupPending; }
    std::string RemoteHostName() override { return remoteName; }
    std::string UserName() override { return user; }
    std::string UserDetail() override { return detail; }
    std::time_t Now() override { return 123456789; }
};

TEST(Macros, EveryLetterBeforeLogin) {
    FakeMacros m;
    EXPECT_EQ(ExpandMacros("%C|%F|%U", m), "{not-logged-in}|{not-logged-in}|{not-logged-in}");
    EXPECT_EQ(ExpandMacros("%E %L %N %M", m), "admin@example serverhost 3 {infinite}");
    EXPECT_EQ(ExpandMacros("%R", m), "{unnamed-host}");
    EXPECT_EQ(ExpandMacros("%u", m), "[IDENT not implemented]");
    m.maxUsers = 25;
    EXPECT_EQ(ExpandMacros("%M", m), "25");
    m.lookupPending = false;
    EXPECT_EQ(ExpandMacros("<%R>", m), "<client.example>");
    m.remoteName.clear();  // lookup failed
    EXPECT_EQ(ExpandMacros("<%R>", m), "<>");
}

TEST(Macros, LoginStateChangesDirectoryAndUser) {
    FakeMacros m;
    m.loginRequired = false;  // no login needed: directory and space show
    EXPECT_EQ(ExpandMacros("%C %F %U", m), "/pub 12345 {not-logged-in}");
    m.loginRequired = true;
    m.loggedIn = true;
    EXPECT_EQ(ExpandMacros("%C %F %U", m), "/pub 12345 alice");
    m.detail = "alice@home";
    EXPECT_EQ(ExpandMacros("230 %U", m), "230 alice (alice@home)");
}

// A stored value holding a line end cannot end a reply line early or
// start a line a client would take for a reply.
TEST(Macros, ValuesCannotBreakTheLine) {
    FakeMacros m;
    m.email = "ops@example\r\n220 fake ready\r";
    EXPECT_EQ(ExpandMacros("220-Contact: %E\r\n", m), "220-Contact: ops@example  220 fake ready \r\n");
}

TEST(Macros, InAFormatTheArgumentsStayAsTheyAre) {
    FakeMacros m;
    m.loggedIn = true;
    m.user = "50%d";  // a value with a percent sign must not become a conversion
    std::string out;
    ASSERT_TRUE(FormatCappedF(out, ExpandMacrosInFormat("%U %s 75%%U", m).c_str(), "%L%s"));
    EXPECT_EQ(out, "50%d %L%s 75%U");
}

TEST(Macros, TimeIsAscTimeWithoutLineEnd) {
    FakeMacros m;
    const std::string t = ExpandMacros("%T", m);
    ASSERT_EQ(t.size(), 24u);
    char expected[32];
    std::tm tm{};
    const std::time_t now = m.Now();
    localtime_r(&now, &tm);
    std::strftime(expected, sizeof expected, "%a %b %e %H:%M:%S %Y", &tm);
    EXPECT_EQ(t, expected);
}

TEST(Macros, AscTimeFixedZone) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(AscTimeText(123456789), "Thu Nov 29 21:33:09 1973");
    EXPECT_EQ(AscTimeText(0), "Thu Jan  1 00:00:00 1970");
    if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
}

TEST(Macros, UnknownLettersAndPercentSigns) {
    FakeMacros m;
    m.loggedIn = true;
    EXPECT_EQ(ExpandMacros("100%", m), "100%");
    EXPECT_EQ(ExpandMacros("%", m), "%");
    EXPECT_EQ(ExpandMacros("%x%Z%1", m), "%x%Z%1");
    // A second percent sign starts a macro of its own.
    EXPECT_EQ(ExpandMacros("%%U", m), "%alice");
    EXPECT_EQ(ExpandMacros("%%%", m), "%%%");
    EXPECT_EQ(ExpandMacros("75%% of", m), "75%% of");
    EXPECT_EQ(ExpandMacros("a%Ub%Nc", m), "aaliceb3c");
    // Text without macros passes unchanged (embedded NUL included).
    EXPECT_EQ(ExpandMacros("plain\r\n\0x"s, m), "plain\r\n\0x"s);
}

TEST(Macros, ExpandedTextIsNotRescanned) {
    FakeMacros m;
    m.loggedIn = true;
    m.user = "%N";
    EXPECT_EQ(ExpandMacros("%U", m), "%N");
}

TEST(FreeSpace, ReadsARealFileSystemAndFailsSoft) {
    const std::string kb = FreeSpaceKbText("/");
    ASSERT_FALSE(kb.empty());
    EXPECT_EQ(kb.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(FreeSpaceKbText("/no/such/dir/here"), "0");
    EXPECT_EQ(FreeSpaceKbText(""), "0");
    EXPECT_FALSE(LocalHostName().empty());
}

}  // namespace
}  // namespace orvyn
