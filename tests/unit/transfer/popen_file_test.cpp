// CPopenFile and CChildReaper: commands run without a shell, output read
// through a non-blocking pipe, children ended and collected on close.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/eventloop/EventLoop.h"
#include "service/transfer/conversions/ChildReaper.h"
#include "service/transfer/conversions/Conversion.h"
#include "service/transfer/conversions/ConversionCommand.h"
#include "service/transfer/conversions/PopenFile.h"
#include "service/transfer/files/FileException.h"
#include "transfer_support.h"

namespace orvyn {
namespace {

using test::TempFolder;
using namespace std::chrono_literals;

// Reads everything the child writes, waiting on the pipe like the event
// loop does. Gives up after `limit` without output.
std::string ReadAll(CPopenFile& f, std::chrono::milliseconds limit = 10s) {
    std::string out;
    char buf[8192];
    while (!f.Ended()) {
        const size_t n = f.Read(buf, sizeof buf);
        if (n > 0) {
            out.append(buf, n);
            continue;
        }
        if (f.Ended()) break;
        pollfd p{f.fd(), POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) {
            ADD_FAILURE() << "no output within the limit";
            break;
        }
    }
    return out;
}

// Children of this process that are zombies.
std::vector<pid_t> ZombieChildren() {
    std::vector<pid_t> zombies;
    DIR* d = opendir("/proc");
    if (d == nullptr) return zombies;
    while (dirent* e = readdir(d)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
        if (pid <= 0) continue;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        const size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == getpid() && state == 'Z') zombies.push_back(pid);
    }
    closedir(d);
    return zombies;
}

// Polls the reaper until nothing is pending or the limit passes.
bool ReapWithin(CChildReaper& reaper, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (reaper.Poll() != 0) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool GroupGoneWithin(pid_t group, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (kill(-group, 0) == 0 || errno != ESRCH) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool Collected(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

TEST(PopenFile, ReadsTheCommandsOutputToTheEnd) {
    TempFolder dir;
    CChildReaper reaper;
    CPopenFile f(&reaper);
    ASSERT_TRUE(f.Open({"printf", "%s-%s", "one", "two"}, dir.path()));
    EXPECT_TRUE(f.IsOpen());
    EXPECT_GE(f.fd(), 0);
    EXPECT_NE(fcntl(f.fd(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(ReadAll(f), "one-two");
    EXPECT_TRUE(f.Ended());
    char c;
    EXPECT_EQ(f.Read(&c, 1), 0u);
    const pid_t pid = f.pid();
    f.Close();
    EXPECT_FALSE(f.IsOpen());
    EXPECT_TRUE(ReapWithin(reaper, 10s));
    EXPECT_TRUE(Collected(pid));
    EXPECT_TRUE(ZombieChildren().empty());
}

TEST(PopenFile, LargeOutputThroughTheNonBlockingPipe) {
    CPopenFile f;
    ASSERT_TRUE(f.Open({"head", "-c", "3000000", "/dev/zero"}, ""));
    const std::string out = ReadAll(f);
    EXPECT_EQ(out.size(), 3000000u);
    EXPECT_EQ(out.find_first_not_of('\0'), std::string::npos);
}

TEST(PopenFile, FileNamesWithShellMetacharactersAreJustNames) {
    TempFolder dir;
    const std::vector<std::string> names = {"a; touch pwned", "$(touch pwned2)", "`touch pwned3`",
                                            "x' && touch pwned4 '", "y\" | touch pwned5 \"", "-n"};
    CConversion conv;
    conv.command = "cat %s";
    for (const std::string& name : names) {
        const std::string path = dir.Write(name, "content of " + name);
        const auto cmd = BuildCommand(conv, path);
        ASSERT_TRUE(cmd.has_value());
        CPopenFile f;
        ASSERT_TRUE(f.Open(cmd->argv, dir.path())) << name;
        EXPECT_EQ(ReadAll(f), "content of " + name);
    }
    for (const char* made : {"pwned", "pwned2", "pwned3", "pwned4", "pwned5"}) {
        EXPECT_FALSE(dir.Exists(made)) << made;
    }
}

TEST(PopenFile, RunsInTheWorkingDirectoryWithStdinFromDevNull) {
    TempFolder dir;
    {
        CPopenFile f;
        ASSERT_TRUE(f.Open({"pwd", "-P"}, dir.path()));
        char real[4096];
        ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
        EXPECT_EQ(ReadAll(f), std::string(real) + "\n");
    }
    {
        // cat without arguments reads standard input: /dev/null ends at once.
        CPopenFile f;
        ASSERT_TRUE(f.Open({"cat"}, dir.path()));
        EXPECT_EQ(ReadAll(f), "");
        EXPECT_TRUE(f.Ended());
    }
}

TEST(PopenFile, StartFailures) {
    TempFolder dir;
    CPopenFile f;
    EXPECT_FALSE(f.Open({"orvyn-no-such-program-xyz"}, dir.path()));
    EXPECT_EQ(f.error(), ENOENT);
    EXPECT_FALSE(f.IsOpen());
    EXPECT_FALSE(f.Open({"cat"}, dir.At("missing-folder")));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_FALSE(f.Open({}, dir.path()));
    EXPECT_TRUE(ZombieChildren().empty());
    // Reading or writing a closed one is an invalid-file error.
    char c;
    EXPECT_THROW(f.Read(&c, 1), CFileException);
    EXPECT_THROW(f.Write("x", 1), CFileException);
}

TEST(PopenFile, ChildGetsNoOtherDescriptors) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    // Deliberately inheritable, at numbers ls will not use for itself.
    const int leak[2] = {dup2(pipeFds[0], 200), dup2(pipeFds[1], 201)};
    close(pipeFds[0]);
    close(pipeFds[1]);
    ASSERT_EQ(leak[0], 200);
    ASSERT_EQ(leak[1], 201);
    CPopenFile f;
    ASSERT_TRUE(f.Open({"ls", "/proc/self/fd"}, ""));
    std::istringstream out(ReadAll(f));
    std::set<int> fds;
    for (std::string line; std::getline(out, line);) fds.insert(std::stoi(line));
    close(leak[0]);
    close(leak[1]);
    // 0, 1, 2 and the folder ls itself opened.
    EXPECT_EQ(fds.count(leak[0]), 0u);
    EXPECT_EQ(fds.count(leak[1]), 0u);
    EXPECT_LE(fds.size(), 4u);
}

TEST(PopenFile, SilentChildDoesNotBlockAndLeavesNoZombie) {
    CChildReaper reaper(10s);  // SIGTERM must do it; SIGKILL would come far later
    CPopenFile f(&reaper);
    ASSERT_TRUE(f.Open({"sleep", "100"}, ""));
    const pid_t pid = f.pid();
    char buf[16];
    EXPECT_EQ(f.Read(buf, sizeof buf), 0u);  // returns at once
    EXPECT_FALSE(f.Ended());
    EXPECT_TRUE(f.IsRunning());
    f.Close();
    EXPECT_FALSE(f.IsOpen());
    EXPECT_TRUE(ReapWithin(reaper, 8s));
    EXPECT_TRUE(Collected(pid));
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_TRUE(ZombieChildren().empty());
}

TEST(PopenFile, TermIgnoringChildIsKilledAfterTheGrace) {
    CChildReaper reaper(200ms);
    CPopenFile f(&reaper);
    ASSERT_TRUE(f.Open({"sh", "-c", "trap '' TERM; sleep 100 & sleep 100; wait"}, ""));
    const pid_t pid = f.pid();
    std::this_thread::sleep_for(100ms);  // let the shell set its trap
    f.Close();
    EXPECT_EQ(reaper.Pending(), 1u);
    EXPECT_TRUE(ReapWithin(reaper, 8s));
    EXPECT_TRUE(Collected(pid));
    // The whole group went, the shell's own children too (once init has
    // collected the orphans).
    EXPECT_TRUE(GroupGoneWithin(pid, 5s));
    EXPECT_TRUE(ZombieChildren().empty());
}

TEST(PopenFile, BlockedSignalsOfTheServiceDoNotReachTheChild) {
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &old), 0);
    CChildReaper reaper(10s);
    CPopenFile f(&reaper);
    const bool opened = f.Open({"sleep", "100"}, "");
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ASSERT_TRUE(opened);
    const pid_t pid = f.pid();
    f.Close();
    // SIGTERM ends it long before the 10 s grace would bring SIGKILL.
    EXPECT_TRUE(ReapWithin(reaper, 5s));
    EXPECT_TRUE(Collected(pid));
}

TEST(PopenFile, WithoutAReaperCloseKillsAndCollects) {
    pid_t pid;
    {
        CPopenFile f;
        ASSERT_TRUE(f.Open({"sleep", "100"}, ""));
        pid = f.pid();
    }  // destroyed: closed
    EXPECT_TRUE(Collected(pid));
    EXPECT_TRUE(ZombieChildren().empty());
}

TEST(PopenFile, IsRunningFollowsTheChild) {
    CChildReaper reaper;
    CPopenFile f(&reaper);
    ASSERT_TRUE(f.Open({"true"}, ""));
    EXPECT_EQ(ReadAll(f), "");
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (f.IsRunning() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(f.IsRunning());
    const pid_t pid = f.pid();
    // Exited but not collected until Close, which collects it at once.
    EXPECT_FALSE(Collected(pid));
    f.Close();
    EXPECT_EQ(reaper.Pending(), 0u);
    EXPECT_TRUE(Collected(pid));
}

TEST(ChildReaper, PollsFromTheEventLoop) {
    eventloop::EventLoop loop;
    CChildReaper reaper(5s);
    reaper.AttachTo(&loop, 10);
    CPopenFile f(&reaper);
    ASSERT_TRUE(f.Open({"sleep", "100"}, ""));
    const pid_t pid = f.pid();
    f.Close();
    ASSERT_EQ(reaper.Pending(), 1u);
    const auto start = std::chrono::steady_clock::now();
    const int watch = loop.AddTimer(10, [&] {
        if (reaper.Pending() == 0 || std::chrono::steady_clock::now() - start > 8s) loop.Quit(0);
    });
    loop.Run();
    loop.RemoveTimer(watch);
    EXPECT_EQ(reaper.Pending(), 0u);
    EXPECT_TRUE(Collected(pid));
}

TEST(ChildReaper, DestructorKillsWhatIsLeft) {
    pid_t pid;
    {
        CChildReaper reaper(60s);
        CPopenFile f(&reaper);
        ASSERT_TRUE(f.Open({"sh", "-c", "trap '' TERM; sleep 100"}, ""));
        pid = f.pid();
        std::this_thread::sleep_for(100ms);
        f.Close();
        EXPECT_EQ(reaper.Pending(), 1u);
    }
    EXPECT_TRUE(Collected(pid));
    EXPECT_TRUE(ZombieChildren().empty());
}

}  // namespace
}  // namespace orvyn
