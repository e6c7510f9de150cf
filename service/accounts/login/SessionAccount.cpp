#include "service/accounts/login/SessionAccount.h"

#include "service/accounts/paths/FileProbe.h"
#include "service/accounts/paths/PathResolver.h"

namespace orvyn {

void CSessionAccount::Reset() {
    token_.reset();
    anonymous_ = false;
    anonymousEmail_.clear();
    administrator_ = false;
    restricted_ = false;
    docutech_ = false;
    suffix_ = NameSuffix{};
    home_.clear();
    current_.clear();
    root_.clear();
    rights_ = std::make_unique<PathRights>();
    maps_.Clear();
}

void CSessionAccount::setAnonymousEmail(std::string email) {
    if (email.size() > kMaxAnonymousEmail) email.resize(kMaxAnonymousEmail);
    anonymousEmail_ = std::move(email);
}

std::string CSessionAccount::FtpCurrentDirectory() const {
    std::string path = current_;
    DiskToFtpPath(path, root_, maps_);
    return path;
}

bool CSessionAccount::CheckDirectories(ILogSink* log, int conn) {
    bool found = false;
    {
        UserIdentity user(*rights_);
        if (!user.ok()) return false;
        found = !current_.empty() && IsDirectory(current_);
        if (!found) {
            current_ = home_;
            found = !current_.empty() && IsDirectory(current_);
        }
    }
    // Checked (and its failure logged) as the service again.
    return found && RestrictionCheck(current_, root_, maps_, log, conn);
}

}  // namespace orvyn
