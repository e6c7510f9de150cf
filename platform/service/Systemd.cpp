#include "platform/service/Systemd.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/service/ServiceStatus.h"

extern char** environ;

namespace orvyn::service {

namespace {

// Quotes a word for the unit file: double quotes with \" and \\ escaped, and
// "%" doubled so that no specifier is expanded.
std::string QuoteWord(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '%') out += '%';
        if (c == '\n' || c == '\r') continue;
        out += c;
    }
    return out + "\"";
}

long ErrorFromErrno(int err) {
    switch (err) {
        case EACCES:
        case EPERM:
        case EROFS: return ERROR_ACCESS_DENIED;
        case ENOENT:
        case ENOTDIR: return ERROR_FILE_NOT_FOUND;
        default: return ERROR_INVALID_PARAMETER;
    }
}

}  // namespace

std::string UnitName(const std::string& serviceName) {
    std::string out;
    bool dash = false;
    for (unsigned char c : serviceName) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            if (dash && !out.empty()) out += '-';
            dash = false;
            out += static_cast<char>(c);
        } else if (c >= 'A' && c <= 'Z') {
            if (dash && !out.empty()) out += '-';
            dash = false;
            out += static_cast<char>(c - 'A' + 'a');
        } else {
            dash = true;
        }
    }
    if (out.empty()) out = "service";
    return out + ".service";
}

std::string UnitFileText(const std::string& serviceName, const std::string& imagePath,
                         const std::map<std::string, std::string>& env) {
    std::string text;
    text += "[Unit]\n";
    text += "Description=" + serviceName + "\n";
    text += "After=network.target\n\n";
    text += "[Service]\n";
    text += "Type=notify\n";
    text += "NotifyAccess=main\n";
    text += "ExecStart=" + QuoteWord(imagePath) + "\n";
    text += "ExecReload=/bin/kill -HUP $MAINPID\n";
    for (const auto& [name, value] : env) {
        text += "Environment=" + QuoteWord(name + "=" + value) + "\n";
    }
    text += "\n[Install]\n";
    text += "WantedBy=multi-user.target\n";
    return text;
}

int RunSystemctl(std::initializer_list<std::string> args) {
    std::vector<std::string> words{"systemctl"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long InstallUnit(const std::string& serviceName, const std::string& unitText, const std::string& unitDir) {
    const std::string path = unitDir + "/" + UnitName(serviceName);
    const std::string temp = path + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return ErrorFromErrno(errno);
    size_t done = 0;
    while (done < unitText.size()) {
        ssize_t n = ::write(fd, unitText.data() + done, unitText.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            return ErrorFromErrno(err);
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        return ErrorFromErrno(err);
    }
    if (RunSystemctl({"daemon-reload"}) != 0 || RunSystemctl({"enable", UnitName(serviceName)}) != 0) {
        ::unlink(path.c_str());
        RunSystemctl({"daemon-reload"});
        return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    return ERROR_SUCCESS;
}

long RemoveUnit(const std::string& serviceName, const std::string& unitDir) {
    const std::string path = unitDir + "/" + UnitName(serviceName);
    if (!UnitInstalled(serviceName, unitDir)) return ERROR_SUCCESS;
    RunSystemctl({"disable", UnitName(serviceName)});
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return ErrorFromErrno(errno);
    RunSystemctl({"daemon-reload"});
    return ERROR_SUCCESS;
}

bool UnitInstalled(const std::string& serviceName, const std::string& unitDir) {
    struct stat st{};
    return ::stat((unitDir + "/" + UnitName(serviceName)).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

SdNotifier::SdNotifier(std::string socketAddress) : address_(std::move(socketAddress)) {}

bool SdNotifier::Notify(std::string_view state) const {
    if (address_.empty()) return true;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // An address starting with "@" lives in the abstract namespace: the
    // name starts with a NUL byte there.
    if (address_.size() >= sizeof(addr.sun_path) || (address_[0] != '/' && address_[0] != '@')) return false;
    std::memcpy(addr.sun_path, address_.data(), address_.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
    if (address_[0] == '@') {
        addr.sun_path[0] = '\0';
    } else {
        len += 1;  // the path's terminating NUL
    }
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ssize_t n = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), len);
    ::close(fd);
    return n == static_cast<ssize_t>(state.size());
}

}  // namespace orvyn::service
