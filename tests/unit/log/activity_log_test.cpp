// The activity log writing real files from settings in a temporary store.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "platform/accounts/Impersonation.h"
#include "service/base/log/ActivityLog.h"
#include "service/base/settings/ServerRegistry.h"
#include "tests/unit/settings/TempStore.h"

namespace orvyn {
namespace {

using test::ReadAll;
using test::TempStore;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        out.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "file does not end with CR LF";
    return out;
}

bool IsClock(const std::string& s, size_t p) {
    auto digit = [&](size_t i) { return i < s.size() && s[i] >= '0' && s[i] <= '9'; };
    return digit(p) && digit(p + 1) && p + 2 < s.size() && s[p + 2] == ':' && digit(p + 3) && digit(p + 4) &&
           p + 5 < s.size() && s[p + 5] == ':' && digit(p + 6) && digit(p + 7) && p + 8 < s.size() &&
           s[p + 8] == ' ';
}

// One line taken apart: "\"name\" [c conn] date HH:MM:SS message".
struct Parsed {
    bool ok = false;
    std::string instance, conn, date, clock, message;
    char category = 0;
};

Parsed Parse(const std::string& line) {
    Parsed r;
    if (line.empty() || line[0] != '"') return r;
    const size_t close = line.find("\" [", 1);
    if (close == std::string::npos || close + 5 > line.size() || line[close + 4] != ' ') return r;
    r.instance = line.substr(1, close - 1);
    r.category = line[close + 3];
    const size_t bracket = line.find("] ", close + 5);
    if (bracket == std::string::npos) return r;
    r.conn = line.substr(close + 5, bracket - close - 5);
    if (r.conn.empty() || r.conn.find_first_not_of("-0123456789") != std::string::npos) return r;
    const size_t dateStart = bracket + 2;
    for (size_t p = dateStart + 2; p < line.size(); ++p) {
        if (line[p - 1] == ' ' && IsClock(line, p)) {
            r.date = line.substr(dateStart, p - 1 - dateStart);
            r.clock = line.substr(p, 8);
            r.message = line.substr(p + 9);
            r.ok = !r.date.empty() && r.date.size() <= CActivityLog::kMaxDate;
            return r;
        }
    }
    return r;
}

// The message part of a line.
std::string Message(const std::string& line) {
    const Parsed p = Parse(line);
    return p.ok ? p.message : "<unparsed: " + line.substr(0, 100) + ">";
}

// The category of a line; '#' when the line cannot be taken apart.
char Category(const std::string& line) {
    const Parsed p = Parse(line);
    return p.ok ? p.category : '#';
}

class ActivityLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings.setLog(&log);
        ASSERT_TRUE(settings.WriteString("Logging", "LogFile", path.c_str()));
    }
    void Switch(const char* name, long value) { ASSERT_TRUE(settings.WriteInt("Logging", name, value)); }
    std::vector<std::string> Written() { return Lines(ReadAll(path)); }
    std::string Categories() {
        std::string cats;
        for (const auto& l : Written()) cats += Category(l);
        return cats;
    }

    TempStore tmp;
    std::string path = tmp.file("activity.log");
    CServerRegistry settings{tmp.store(), "Demo", nullptr};
    CActivityLog log{settings};
};

// A thread that acts for a user (its file-system identity switched to an
// account that may not enter the private temporary folder) still logs.
TEST_F(ActivityLogTest, ThreadActingForAUserStillWritesAsTheService) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch the file-system identity";
    Switch("Warnings", 1);
    std::thread worker([&] {
        accounts::Token user;
        user.uid = 65534;
        user.gid = 65534;
        user.groups = {65534};
        accounts::ImpersonationScope asUser(&user);
        log.Log(7, '!', "written while acting for a user");
        EXPECT_EQ(syscall(SYS_setfsuid, -1), 65534) << "the user identity must be back after the line";
    });
    worker.join();
    auto lines = Written();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("written while acting for a user"), std::string::npos);
}

TEST_F(ActivityLogTest, NoLogFileWritesNothing) {
    for (const char* sw : {"Enable", "Warnings", "Winsock", "Anonymous", "Commands", "Gets", "Logins", "Puts"})
        Switch(sw, 1);
    ASSERT_TRUE(settings.WriteString("Logging", "LogFile", ""));
    for (char c : std::string("!?ACGLP*$>"))
        log.Log(1, c, "line %c", c);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(ActivityLogTest, LogFileAsExpandStringIsIgnored) {
    Switch("Enable", 1);
    const auto data = reg::StringData(path);
    ASSERT_TRUE(tmp.store()
                    .SetValue(settings.KeyPath("Logging"), "LogFile", reg::REG_EXPAND_SZ, data.data(), data.size())
                    .ok());
    log.Log(-1, '!', "Fatal");
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(ActivityLogTest, WithoutEnableOnlyWarningsAndEnumerationErrors) {
    Switch("Logins", 1);
    Switch("Commands", 1);
    log.Log(3, 'L', "Host 10.0.0.1 refused");
    log.Log(-1, '!', "Fatal start error");
    log.Log(-1, '*', "Error 5 in RegEnumKeyEx");
    log.Log(3, 'C', "Command received");
    log.Log(-1, '$', "table");
    log.Log(-1, '>', "catalogue");
    EXPECT_EQ(Categories(), "!*");

    Switch("Warnings", 0);
    log.Log(-1, '!', "Not written");
    log.Log(-1, '*', "Written");
    EXPECT_EQ(Categories(), "!**");
}

TEST_F(ActivityLogTest, EachSwitchGovernsItsOwnCategory) {
    const std::map<char, const char*> switches = {{'!', "Warnings"}, {'?', "Winsock"}, {'A', "Anonymous"},
                                                  {'C', "Commands"}, {'G', "Gets"},    {'L', "Logins"},
                                                  {'P', "Puts"}};
    Switch("Enable", 1);
    for (const auto& [cat, name] : switches) {
        std::filesystem::remove(path);
        for (const auto& [other, otherName] : switches) Switch(otherName, other == cat ? 1 : 0);
        for (const auto& [other, unused] : switches) log.Log(1, other, "x");
        EXPECT_EQ(Categories(), std::string(1, cat)) << name;
    }
}

TEST_F(ActivityLogTest, DefaultsOfTheSwitches) {
    // Only Enable set: Warnings defaults on, every other switch off.
    Switch("Enable", 1);
    for (char c : std::string("!?ACGLP"))
        log.Log(1, c, "x");
    EXPECT_EQ(Categories(), "!");
}

TEST_F(ActivityLogTest, EnableOpensTheUnswitchedCategories) {
    Switch("Enable", 1);
    Switch("Commands", 1);
    log.Log(4, 'C', "Command \"%.100s\" received", "NOOP");
    log.Log(-1, '$', "table");
    log.Log(-1, '>', "catalogue");
    log.Log(-1, '*', "enumeration");
    log.Log(-1, 'Z', "unknown category");
    EXPECT_EQ(Categories(), "C$>*Z");
    EXPECT_EQ(Message(Written()[0]), "Command \"NOOP\" received");

    Switch("Enable", 0);
    log.Log(-1, 'Z', "unknown category");
    log.Log(-1, '$', "table");
    EXPECT_EQ(Categories(), "C$>*Z");
}

TEST_F(ActivityLogTest, ExactLineBytes) {
    const time_t before = time(nullptr);
    log.Log(-1, '!', "Listening socket closed - no more connections allowed.");
    log.Log(1234, '!', "%s %d", "value", -7);
    const time_t after = time(nullptr);

    const auto lines = Written();  // also checks every line ends with CR LF
    ASSERT_EQ(lines.size(), 2u);
    const Parsed first = Parse(lines[0]), second = Parse(lines[1]);
    ASSERT_TRUE(first.ok) << lines[0];
    ASSERT_TRUE(second.ok) << lines[1];
    EXPECT_EQ(lines[0], "\"Demo\" [! -1] " + first.date + " " + first.clock +
                            " Listening socket closed - no more connections allowed.");
    EXPECT_EQ(lines[1], "\"Demo\" [! 1234] " + second.date + " " + second.clock + " value -7");

    // The clock part is local 24-hour time taken while logging.
    struct tm lo {}, hi {};
    localtime_r(&before, &lo);
    localtime_r(&after, &hi);
    const auto secs = [](const Parsed& p) {
        return std::stoi(p.clock.substr(0, 2)) * 3600 + std::stoi(p.clock.substr(3, 2)) * 60 +
               std::stoi(p.clock.substr(6, 2));
    };
    const int from = lo.tm_hour * 3600 + lo.tm_min * 60 + lo.tm_sec;
    const int to = hi.tm_hour * 3600 + hi.tm_min * 60 + hi.tm_sec;
    if (from <= to) {  // not across midnight
        EXPECT_GE(secs(first), from);
        EXPECT_LE(secs(second), to);
    }
}

TEST(ActivityLogFormat, LineLayout) {
    struct tm when {};
    when.tm_year = 124;
    when.tm_mon = 0;
    when.tm_mday = 2;
    when.tm_hour = 9;
    when.tm_min = 5;
    when.tm_sec = 7;
    const std::string line = CActivityLog::FormatLine("Main Server", 'G', 17, when, "RETR a\nb");
    const std::string head = "\"Main Server\" [G 17] ";
    const std::string tail = " 09:05:07 RETR a\r\nb\r\n";
    ASSERT_GT(line.size(), head.size() + tail.size()) << line;
    EXPECT_EQ(line.substr(0, head.size()), head);
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    const std::string date = line.substr(head.size(), line.size() - head.size() - tail.size());
    EXPECT_LE(date.size(), CActivityLog::kMaxDate);
    EXPECT_NE(date.find("02"), std::string::npos) << "day missing from date " << date;

    const std::string noMessage = CActivityLog::FormatLine("X", '*', -1, when, nullptr);
    EXPECT_EQ(noMessage.substr(noMessage.size() - 12), " 09:05:07 \r\n");

    // What a client sent cannot start a line of its own or reach the
    // reader's terminal; tabs and the message's own line ends stay.
    const std::string sent = CActivityLog::FormatLine("X", 'C', 1, when, "pass=x\r\"X\" [L 1]\x1b[2J\x7f\tend\r\n");
    EXPECT_EQ(sent.substr(sent.find("pass=")), "pass=x?\"X\" [L 1]?[2J?\tend\r\r\n\r\n");

    // A cut message ends on a whole character.
    const std::string name = std::string(CActivityLog::kMaxWritten - 1, 'a') + "\xc3\xa9tait";
    const std::string cut = CActivityLog::FormatLine("X", 'C', 1, when, name.c_str());
    EXPECT_EQ(cut.substr(cut.size() - 5), "aaa\r\n");
}

// The date is the short date of the locale the process runs under; checked
// in a child started with a known locale.
TEST(ActivityLogFormat, DateFollowsTheProcessLocale) {
    struct tm when {};
    when.tm_year = 124;
    when.tm_mon = 0;
    when.tm_mday = 2;
    if (getenv("ORVYN_TEST_DATE_CHILD")) {
        const std::string line = CActivityLog::FormatLine("D", 'L', 1, when, "m");
        EXPECT_EQ(line, "\"D\" [L 1] 01/02/24 00:00:00 m\r\n");
        return;
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("ORVYN_TEST_DATE_CHILD", "1", 1);
        setenv("LC_ALL", "POSIX", 1);
        execl("/proc/self/exe", "child", "--gtest_filter=ActivityLogFormat.DateFollowsTheProcessLocale",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ActivityLogTest, LongMessageIsCutTo768Characters) {
    std::string msg;
    for (int i = 0; msg.size() < 1000; ++i) msg += static_cast<char>('a' + i % 26);
    log.Log(-1, '!', "%s", msg.c_str());
    const auto lines = Written();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Message(lines[0]), msg.substr(0, 768));
}

TEST_F(ActivityLogTest, TooLongFormatWarnsFirstThenWritesTheCutMessage) {
    Switch("Enable", 1);
    Switch("Commands", 1);
    const std::string arg(2000, 'y');
    log.Log(9, 'C', "Name %s end", arg.c_str());
    auto lines = Written();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Category(lines[0]), '!');
    EXPECT_EQ(Message(lines[0]), "Format string \"Name %s end\" too long!");
    EXPECT_EQ(Category(lines[1]), 'C');
    EXPECT_EQ(Message(lines[1]), ("Name " + arg).substr(0, 768));

    // A format text that is itself too long: the warning is cut as well and
    // does not warn about itself.
    std::filesystem::remove(path);
    const std::string fmt = std::string(1500, 'f') + "%d";
    log.Log(9, 'C', fmt.c_str(), 1);
    lines = Written();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Category(lines[0]), '!');
    EXPECT_EQ(Message(lines[0]), ("Format string \"" + fmt).substr(0, 768));
    EXPECT_EQ(Category(lines[1]), 'C');
    EXPECT_EQ(Message(lines[1]), fmt.substr(0, 768));

    // The guard is released: the next overflow warns again.
    std::filesystem::remove(path);
    log.Log(9, 'C', "%s", arg.c_str());
    EXPECT_EQ(Categories(), "!C");
}

TEST_F(ActivityLogTest, FormatWarningObeysTheWarningsSwitch) {
    Switch("Enable", 1);
    Switch("Commands", 1);
    Switch("Warnings", 0);
    log.Log(9, 'C', "%s", std::string(1100, 'z').c_str());
    EXPECT_EQ(Categories(), "C");
}

TEST_F(ActivityLogTest, MessageOfExactly1023CharactersDoesNotWarn) {
    Switch("Enable", 1);
    Switch("Commands", 1);
    log.Log(1, 'C', "%s", std::string(1023, 'k').c_str());
    EXPECT_EQ(Categories(), "C");
    log.Log(1, 'C', "%s", std::string(1024, 'k').c_str());
    EXPECT_EQ(Categories(), "C!C");
}

TEST_F(ActivityLogTest, SettingsAreReadForEveryLine) {
    log.Log(1, '!', "one");
    const std::string other = tmp.file("other.log");
    ASSERT_TRUE(settings.WriteString("Logging", "LogFile", other.c_str()));
    log.Log(1, '!', "two");
    Switch("Warnings", 0);
    log.Log(1, '!', "three");
    ASSERT_EQ(Written().size(), 1u);
    const auto moved = Lines(ReadAll(other));
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(Message(moved[0]), "two");
}

TEST_F(ActivityLogTest, TwoInstancesShareOneFile) {
    CServerRegistry betaSettings(tmp.store(), "Beta", nullptr);
    CActivityLog beta(betaSettings);
    ASSERT_TRUE(betaSettings.WriteString("Logging", "LogFile", path.c_str()));
    log.Log(1, '!', "from demo");
    beta.Log(2, '!', "from beta");
    log.Log(3, '!', "demo again");
    const auto lines = Written();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("\"Demo\" [! 1] ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("\"Beta\" [! 2] ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("\"Demo\" [! 3] ", 0), 0u) << lines[2];
    EXPECT_EQ(Message(lines[1]), "from beta");
}

TEST_F(ActivityLogTest, AppendsToExistingContent) {
    {
        std::ofstream out(path, std::ios::binary);
        out << "previous\r\n";
    }
    log.Log(1, '!', "next");
    const auto lines = Written();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "previous");
    EXPECT_EQ(Message(lines[1]), "next");
}

// A line the disk takes only part of (full, or a size limit) is lost
// whole: the next line starts a line of its own.
TEST_F(ActivityLogTest, LineCutShortIsTakenBack) {
    log.Log(1, '!', "first");
    const off_t size = static_cast<off_t>(std::filesystem::file_size(path));
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const rlimit tight{static_cast<rlim_t>(size + 10), old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    log.Log(2, '!', "cut short");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    signal(SIGXFSZ, oldHandler);
    log.Log(3, '!', "after");
    const auto lines = Written();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Message(lines[0]), "first");
    EXPECT_EQ(Message(lines[1]), "after");
}

TEST_F(ActivityLogTest, UnopenableFileLosesTheLineSilently) {
    const std::string dir = tmp.file("adir");
    std::filesystem::create_directory(dir);
    ASSERT_TRUE(settings.WriteString("Logging", "LogFile", dir.c_str()));
    log.Log(1, '!', "lost");
    EXPECT_TRUE(std::filesystem::is_empty(dir));

    const std::string missing = tmp.file("missing/sub/activity.log");
    ASSERT_TRUE(settings.WriteString("Logging", "LogFile", missing.c_str()));
    log.Log(1, '!', "lost");
    EXPECT_FALSE(std::filesystem::exists(tmp.file("missing")));
}

TEST_F(ActivityLogTest, FifoWithoutReaderDoesNotBlock) {
    const std::string fifo = tmp.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(settings.WriteString("Logging", "LogFile", fifo.c_str()));
    // Would hang here if the open waited for a reader.
    log.Log(1, '!', "nobody listens");
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

TEST_F(ActivityLogTest, NewFileIsNotWritableByOthers) {
    log.Log(1, '!', "mode");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0022, 0u);
    EXPECT_EQ(st.st_mode & 0600, 0600u);
}

TEST_F(ActivityLogTest, TooLongInstanceNameDoesNotRecurse) {
    // The settings warn through the log, which reads its own switches through
    // the same settings.
    CServerRegistry longSettings(tmp.store(), std::string(1100, 'n'), nullptr);
    CActivityLog longLog(longSettings);
    longSettings.setLog(&longLog);
    EXPECT_EQ(longSettings.ReadInt("Security", "TimeOut", 300), 300);
    longLog.Log(1, '!', "still fine");
    EXPECT_FALSE(std::filesystem::exists(path));
}

// Every line of text is whole: its own header and exactly its own message.
void ExpectWholeLines(const std::string& text, const std::set<std::string>& expected) {
    const auto lines = Lines(text);
    std::set<std::string> seen;
    for (const auto& l : lines) {
        const std::string msg = Message(l);
        EXPECT_TRUE(expected.count(msg)) << "torn or unknown line: " << l.substr(0, 120);
        EXPECT_TRUE(seen.insert(msg).second) << "duplicate line";
    }
    EXPECT_EQ(seen.size(), expected.size());
}

std::string Payload(int writer, int n) {
    std::ostringstream s;
    s << "writer " << writer << " line " << n << ' ' << std::string(600, static_cast<char>('a' + writer));
    return s.str();
}

TEST_F(ActivityLogTest, ConcurrentThreadsWriteWholeLines) {
    constexpr int kThreads = 4, kLines = 60;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this, t] {
            for (int n = 0; n < kLines; ++n) log.Log(t, '!', "%s", Payload(t, n).c_str());
        });
    for (auto& th : threads) th.join();
    std::set<std::string> expected;
    for (int t = 0; t < kThreads; ++t)
        for (int n = 0; n < kLines; ++n) expected.insert(Payload(t, n));
    ExpectWholeLines(ReadAll(path), expected);
}

TEST_F(ActivityLogTest, ConcurrentProcessesWriteWholeLines) {
    constexpr int kProcs = 4, kLines = 40;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcs; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Each process has its own store handle and log, as separate
            // service processes would.
            reg::Store store(tmp.store().path());
            CServerRegistry own(store, "Demo", nullptr);
            CActivityLog ownLog(own);
            for (int n = 0; n < kLines; ++n) ownLog.Log(p, '!', "%s", Payload(p, n).c_str());
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::set<std::string> expected;
    for (int p = 0; p < kProcs; ++p)
        for (int n = 0; n < kLines; ++n) expected.insert(Payload(p, n));
    ExpectWholeLines(ReadAll(path), expected);
}

}  // namespace
}  // namespace orvyn
