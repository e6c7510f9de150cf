#include "service/core/host/ProfileFile.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/service/ServicePaths.h"

namespace orvyn {

std::optional<std::string> OpenProfileFile(const std::string& path) {
    if (path.empty() || path.size() >= PATH_MAX) return std::nullopt;
    // O_NONBLOCK keeps a FIFO from stalling the start; it is refused below.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) return std::nullopt;
    struct stat st{};
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular) return std::nullopt;
    return service::AbsolutePath(path);
}

}  // namespace orvyn
