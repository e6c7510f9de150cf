#include "platform/service/ServicePaths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace orvyn::service {

std::string RunDir() {
    const char* dir = std::getenv("ORVYN_RUNDIR");
    if (dir == nullptr || *dir == '\0') return "/run/orvyn";
    std::string d = dir;
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    return d;
}

std::string ControlSocketPath(const std::string& serviceName) {
    return RunDir() + "/" + serviceName + ".ctl";
}

std::string RefreshPidFilePath() { return RunDir() + "/ORVYN Service Control.pid"; }

ManagerKind DetectManager(bool takeEnvironment, std::string* notifySocket) {
    ManagerKind kind = ManagerKind::None;
    const char* marker = std::getenv(kManagerEnv);
    const char* notify = std::getenv("NOTIFY_SOCKET");
    if (marker != nullptr && std::strcmp(marker, kManagerBuiltin) == 0) {
        kind = ManagerKind::Builtin;
    } else if (notify != nullptr && *notify != '\0') {
        kind = ManagerKind::Systemd;
        if (notifySocket != nullptr) *notifySocket = notify;
    }
    if (takeEnvironment) {
        unsetenv(kManagerEnv);
        unsetenv("NOTIFY_SOCKET");
    }
    return kind;
}

bool SystemdIsRunning() {
    if (const char* off = std::getenv("ORVYN_SYSTEMD"); off != nullptr && std::strcmp(off, "0") == 0) return false;
    struct stat st{};
    return ::lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

std::string AbsolutePath(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    std::vector<char> buf(4096);
    while (::getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE || buf.size() > (1u << 20)) return path;
        buf.resize(buf.size() * 2);
    }
    std::string cwd = buf.data();
    std::string rel = path;
    while (rel.size() >= 2 && rel[0] == '.' && rel[1] == '/') rel.erase(0, 2);
    if (rel == ".") return cwd;
    return cwd == "/" ? "/" + rel : cwd + "/" + rel;
}

}  // namespace orvyn::service
