#include "platform/service/Launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace orvyn::service {

namespace {

// Records written to the report pipe: a tag byte and a 32-bit number, small
// enough that each write is atomic.
struct Record {
    char tag;  // 'P' pid of the started process, 'E' errno of a failure
    int32_t value;
} __attribute__((packed));

void WriteRecord(int fd, char tag, int32_t value) {
    Record r{tag, value};
    ssize_t n = ::write(fd, &r, sizeof(r));
    (void)n;
}

// Runs in the grandchild, between fork and exec: async-signal-safe calls only.
[[noreturn]] void ExecDetached(int report, const char* program, char* const argv[], char* const envp[]) {
    int null = ::open("/dev/null", O_RDWR);
    if (null < 0) {
        WriteRecord(report, 'E', errno);
        ::_exit(127);
    }
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (null > 2) ::close(null);
    if (report > 3) ::close_range(3, static_cast<unsigned>(report) - 1, 0);
    ::close_range(static_cast<unsigned>(report) + 1, UINT_MAX, 0);
    if (::chdir("/") != 0) {
        WriteRecord(report, 'E', errno);
        ::_exit(127);
    }
    ::umask(022);
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(program, argv, envp);
    WriteRecord(report, 'E', errno);
    ::_exit(127);
}

}  // namespace

int SpawnDetached(const std::string& program, const std::vector<std::string>& env, pid_t& pid) {
    // Everything the child needs is prepared before fork.
    std::string prog = program;
    char* argv[] = {prog.data(), nullptr};
    std::vector<std::string> envCopy = env;
    std::vector<char*> envp;
    for (auto& e : envCopy) envp.push_back(e.data());
    envp.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;

    pid_t first = ::fork();
    if (first < 0) {
        int err = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        return err;
    }
    if (first == 0) {
        ::close(fds[0]);
        ::setsid();
        pid_t second = ::fork();
        if (second < 0) {
            WriteRecord(fds[1], 'E', errno);
            ::_exit(1);
        }
        if (second == 0) ExecDetached(fds[1], prog.c_str(), argv, envp.data());
        WriteRecord(fds[1], 'P', second);
        ::_exit(0);
    }

    ::close(fds[1]);
    int status = 0;
    while (::waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    // The pipe reaches end of file once the intermediate process has gone and
    // the program was executed (close-on-exec) or failed.
    pid_t started = 0;
    int failure = 0;
    Record r{};
    for (;;) {
        ssize_t n = ::read(fds[0], &r, sizeof(r));
        if (n < 0 && errno == EINTR) continue;
        if (n != static_cast<ssize_t>(sizeof(r))) break;
        if (r.tag == 'P') started = r.value;
        if (r.tag == 'E' && failure == 0) failure = r.value != 0 ? r.value : EIO;
    }
    ::close(fds[0]);
    if (failure != 0) return failure;
    if (started <= 0) return ECHILD;
    pid = started;
    return 0;
}

namespace {

// The state letter and parent of a process, which follow its parenthesised
// command name in /proc/<pid>/stat; false when the file cannot be read
// (state and parent stay as they were when the fields are missing).
bool ReadProcStat(pid_t pid, char& state, pid_t& parent) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return true;
    std::istringstream rest(text.substr(close + 1));
    long ppid = 0;
    if (rest >> state >> ppid) parent = static_cast<pid_t>(ppid);
    return true;
}

}  // namespace

bool ProcessAlive(pid_t pid) {
    if (pid <= 0) return false;
    if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
    // A process that ended but was not yet reaped still answers kill: look
    // at its state letter.
    char state = 'R';
    pid_t parent = 0;
    if (!ReadProcStat(pid, state, parent)) return false;
    return state != 'Z' && state != 'X';
}

bool DescendsFrom(pid_t pid, pid_t ancestor) {
    for (int generation = 0; generation < 8 && pid > 1; ++generation) {
        if (pid == ancestor) return true;
        char state = 0;
        pid_t parent = 0;
        if (!ReadProcStat(pid, state, parent)) return false;
        pid = parent;
    }
    return false;
}

}  // namespace orvyn::service
