// Test scaffolding for path resolution and rights: a temporary folder tree
// that anyone may traverse (so fake accounts are judged by the modes the test
// sets, not by the private mode of a fresh temporary folder), with helpers to
// make folders, files and symbolic links in it.
#pragma once

#include <string>

namespace orvyn::test {

class TempTree {
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    // Absolute path of the tree's top folder, without a trailing "/".
    const std::string& top() const { return top_; }
    // top() + "/" + rel
    std::string At(const std::string& rel) const;

    // Creates a folder (and its parents) with the given mode.
    std::string Dir(const std::string& rel, unsigned mode = 0755) const;
    // Creates a file (and its folder) holding text.
    std::string File(const std::string& rel, const std::string& text = "x", unsigned mode = 0644) const;
    // Creates a symbolic link at rel pointing to target (taken as written).
    std::string Link(const std::string& rel, const std::string& target) const;

private:
    std::string top_;
};

}  // namespace orvyn::test
