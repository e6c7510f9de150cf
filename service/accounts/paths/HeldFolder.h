// The folder of a disk path, held open while something is made or removed
// in it by name.
//
// The folder is judged as it is open (OpenedBelowRoot), and the work is
// then done relative to that descriptor (mkdirat, unlinkat, openat): a
// folder on the way swapped for a link between the rights check of the path
// and the work cannot move the work out of the restriction root. One object
// owns the descriptor and closes it.
#pragma once

#include <string>
#include <string_view>

namespace orvyn {

class VirtualDirs;

class HeldFolder {
public:
    // Opens the folder of diskPath (a clean absolute path) and judges it
    // against the restriction root (always inside when root is empty).
    HeldFolder(std::string_view diskPath, std::string_view root, const VirtualDirs& maps);
    ~HeldFolder();
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;

    // Open, and inside the root: fd() and name() may be used.
    bool ok() const { return fd_ >= 0 && inside_; }
    // Open, but reached outside the root.
    bool outside() const { return fd_ >= 0 && !inside_; }
    // Why the folder could not be opened (errno), when it could not.
    int error() const { return error_; }
    int fd() const { return fd_; }
    // The last component of the path: what is made or removed in the folder.
    const std::string& name() const { return name_; }

private:
    int fd_ = -1;
    int error_ = 0;
    bool inside_ = false;
    std::string name_;
};

}  // namespace orvyn
