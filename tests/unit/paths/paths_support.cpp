#include "paths_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace orvyn::test {

namespace fs = std::filesystem;

TempTree::TempTree() {
    std::string base = "/tmp/orvyn-paths-XXXXXX";
    if (!mkdtemp(base.data())) throw std::runtime_error("mkdtemp failed");
    // Compare against the real location, so tests do not depend on whether
    // the temporary folder is reached through a link.
    top_ = fs::canonical(base).string();
    chmod(top_.c_str(), 0755);
}

TempTree::~TempTree() {
    std::error_code ec;
    // Folders a test made read-only must be writable again to be emptied.
    for (auto it = fs::recursive_directory_iterator(top_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0755);
    }
    fs::remove_all(top_, ec);
}

std::string TempTree::At(const std::string& rel) const { return top_ + "/" + rel; }

std::string TempTree::Dir(const std::string& rel, unsigned mode) const {
    const std::string path = At(rel);
    fs::create_directories(path);
    chmod(path.c_str(), mode);
    return path;
}

std::string TempTree::File(const std::string& rel, const std::string& text, unsigned mode) const {
    const std::string path = At(rel);
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
}

std::string TempTree::Link(const std::string& rel, const std::string& target) const {
    const std::string path = At(rel);
    fs::create_directories(fs::path(path).parent_path());
    if (symlink(target.c_str(), path.c_str()) != 0) throw std::runtime_error("symlink failed: " + path);
    return path;
}

}  // namespace orvyn::test
