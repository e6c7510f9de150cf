#include "service/accounts/login/PamService.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace orvyn {
namespace {

constexpr const char* kSystemPamDir = "/etc/pam.d";
constexpr const char* kSystemStore = "/var/lib/orvyn/registry.db";
constexpr const char* kServiceFile = "orvyn";
// The shipped file is a few lines; anything bigger is not it.
constexpr std::streamsize kMaxServiceFile = 64 * 1024;

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
}

bool ReadSmallFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream out;
    out << in.rdbuf();
    text = out.str();
    return !in.bad() && !text.empty() && text.size() <= static_cast<size_t>(kMaxServiceFile);
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

std::string PamServiceDir() {
    const std::string dir = Env("ORVYN_PAM_DIR");
    if (!dir.empty()) return dir;
    const std::string store = Env("ORVYN_REGISTRY");
    if (!store.empty() && store != kSystemStore) return std::string();
    return kSystemPamDir;
}

PamServiceInstall InstallPamService(const std::string& programPath) {
    PamServiceInstall result;
    const std::string dir = PamServiceDir();
    if (dir.empty()) return result;
    result.path = dir + "/" + kServiceFile;

    struct stat st{};
    if (::lstat(result.path.c_str(), &st) == 0) {
        result.outcome = PamServiceInstall::Outcome::AlreadyPresent;
        return result;
    }

    const std::string here = FolderOf(programPath);
    std::string text;
    if (!ReadSmallFile(here + "/pam.d/" + kServiceFile, text) &&
        !ReadSmallFile(here + "/../share/orvyn/pam.d/" + kServiceFile, text)) {
        result.outcome = PamServiceInstall::Outcome::NoSource;
        return result;
    }

    // O_EXCL: a file that appeared meanwhile is not replaced either, and a
    // symbolic link planted at the name is not followed.
    const int fd = ::open(result.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == EEXIST) {
            result.outcome = PamServiceInstall::Outcome::AlreadyPresent;
        } else {
            result.outcome = PamServiceInstall::Outcome::Failed;
            result.error = std::strerror(errno);
        }
        return result;
    }
    size_t done = 0;
    int writeErr = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            writeErr = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 && writeErr == 0) writeErr = errno;
    if (writeErr != 0) {
        result.outcome = PamServiceInstall::Outcome::Failed;
        result.error = std::strerror(writeErr);
        ::unlink(result.path.c_str());  // half a PAM file is worse than none
        return result;
    }
    result.outcome = PamServiceInstall::Outcome::Installed;
    return result;
}

}  // namespace orvyn
