#include "platform/sound/Sound.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

extern char** environ;

namespace orvyn::sound {

namespace {

struct PlayerKind {
    const char* program;
    const char* quietFlag;  // null when the player needs none
};

constexpr PlayerKind kPlayers[] = {
    {"aplay", "-q"},
    {"paplay", nullptr},
    {"pw-play", nullptr},
};

bool IsExecutableFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Built-in sound names are plain words; anything else could point elsewhere.
bool ValidBuiltinName(const char* name) {
    if (name == nullptr || *name == '\0' || strlen(name) > 32) {
        return false;
    }
    for (const char* p = name; *p; ++p) {
        char c = *p;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-')) {
            return false;
        }
    }
    return true;
}

std::string ProgramDir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        return {};
    }
    std::string exe(buf, static_cast<size_t>(n));
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

}  // namespace

bool IsWaveFile(const std::string& path) {
    if (path.empty() || path.size() >= PATH_MAX || path.find('\0') != std::string::npos) {
        return false;
    }
    // O_NONBLOCK: a FIFO named here must not hold up the caller.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 44;
    if (ok) {
        char head[12];
        ok = pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) && memcmp(head, "RIFF", 4) == 0 &&
             memcmp(head + 8, "WAVE", 4) == 0;
    }
    close(fd);
    return ok;
}

std::string BuiltinSoundDir() {
    std::string dir = ProgramDir();
    if (dir.empty()) {
        return {};
    }
    struct stat st;
    std::string beside = dir + "/sounds";
    if (stat(beside.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return beside;
    }
    return dir + "/../share/orvyn/sounds";
}

SoundPlayer::SoundPlayer(std::string builtinDir, std::string searchPath)
    : builtinDir_(std::move(builtinDir)), searchPath_(std::move(searchPath)) {}

SoundPlayer::~SoundPlayer() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopLocked();
    // A player that was sent SIGTERM ends at once; wait for each so none is
    // left behind as a zombie.
    for (pid_t pid : children_) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    children_.clear();
}

std::string SoundPlayer::findPlayer() const {
    for (const PlayerKind& kind : kPlayers) {
        size_t start = 0;
        while (start <= searchPath_.size()) {
            size_t end = searchPath_.find(':', start);
            if (end == std::string::npos) {
                end = searchPath_.size();
            }
            std::string dir = searchPath_.substr(start, end - start);
            // Only absolute folders: a relative PATH entry would depend on the
            // service's current directory.
            if (!dir.empty() && dir[0] == '/') {
                std::string candidate = dir + "/" + kind.program;
                if (IsExecutableFile(candidate)) {
                    return candidate;
                }
            }
            start = end + 1;
        }
    }
    return {};
}

std::string SoundPlayer::builtinFile(const char* builtinName) const {
    if (!ValidBuiltinName(builtinName) || builtinDir_.empty()) {
        return {};
    }
    return builtinDir_ + "/" + builtinName + ".wav";
}

std::string SoundPlayer::play(const std::string& file, const char* builtinName) {
    std::lock_guard<std::mutex> lock(mutex_);
    reapLocked();
    std::string player = findPlayer();
    if (player.empty()) {
        return {};
    }
    std::string chosen;
    if (!file.empty() && IsWaveFile(file)) {
        chosen = file;
    } else {
        std::string builtin = builtinFile(builtinName);
        if (!builtin.empty() && IsWaveFile(builtin)) {
            chosen = builtin;
        }
    }
    if (chosen.empty()) {
        return {};
    }
    stopLocked();

    std::string base = player.substr(player.rfind('/') + 1);
    const char* quiet = nullptr;
    for (const PlayerKind& kind : kPlayers) {
        if (base == kind.program) {
            quiet = kind.quietFlag;
        }
    }
    std::vector<char*> argv;
    argv.push_back(base.data());
    std::string quietArg = quiet != nullptr ? quiet : "";
    if (quiet != nullptr) {
        argv.push_back(quietArg.data());
    }
    argv.push_back(chosen.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // The player inherits nothing of the service but its standard streams.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, player.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return {};
    }
    children_.push_back(pid);
    return chosen;
}

void SoundPlayer::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopLocked();
    reapLocked();
}

void SoundPlayer::reap() {
    std::lock_guard<std::mutex> lock(mutex_);
    reapLocked();
}

size_t SoundPlayer::pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return children_.size();
}

void SoundPlayer::reapLocked() {
    children_.erase(std::remove_if(children_.begin(), children_.end(),
                                   [](pid_t pid) {
                                       pid_t r;
                                       do {
                                           r = waitpid(pid, nullptr, WNOHANG);
                                       } while (r < 0 && errno == EINTR);
                                       // Collected now, or no longer ours to collect.
                                       return r == pid || (r < 0 && errno == ECHILD);
                                   }),
                    children_.end());
}

void SoundPlayer::stopLocked() {
    // Every pid in the list is a child not yet collected, so it cannot have
    // been reused by another process: signalling it is safe.
    for (pid_t pid : children_) {
        kill(pid, SIGTERM);
    }
}

namespace {
SoundPlayer& ServicePlayer() {
    static SoundPlayer player(BuiltinSoundDir(), [] {
        const char* path = getenv("PATH");
        return std::string(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
    }());
    return player;
}
}  // namespace

void PlaySoundAsync(const std::string& file, const char* builtinName) { ServicePlayer().play(file, builtinName); }

void StopSounds() { ServicePlayer().stop(); }

void ReapSounds() { ServicePlayer().reap(); }

}  // namespace orvyn::sound
