// A temporary folder for one test, removed with everything in it when the
// object goes. Created under $TMPDIR (or /tmp) with mode 0755, so that fake
// accounts a test acts for can walk into it; removal first gives folders a
// test locked down their permissions back.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace orvyn::test {

class TempDir {
public:
    // prefix: the start of the folder's name, telling which tests left it
    // behind should a test crash.
    explicit TempDir(std::string_view prefix = "orvyn-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    // Creates (or replaces) a file with the given content and mode.
    std::string write(const std::string& name, const std::string& content, mode_t mode = 0644) const;
    // Creates a folder with the given mode.
    std::string mkdir(const std::string& name, mode_t mode = 0755) const;

private:
    std::string path_;
};

}  // namespace orvyn::test
