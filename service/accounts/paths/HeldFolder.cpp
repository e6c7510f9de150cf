#include "service/accounts/paths/HeldFolder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "service/accounts/paths/DiskPath.h"
#include "service/accounts/paths/PathResolver.h"

namespace orvyn {

HeldFolder::HeldFolder(std::string_view diskPath, std::string_view root, const VirtualDirs& maps) {
    const std::string path = WithoutTrailingSlash(diskPath);
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 >= path.size()) {
        error_ = EINVAL;
        return;
    }
    name_ = path.substr(slash + 1);
    const std::string folder = ParentOf(path);
    fd_ = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    inside_ = OpenedBelowRoot(fd_, folder, root, maps);
}

HeldFolder::~HeldFolder() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace orvyn
