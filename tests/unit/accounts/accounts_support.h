// Helpers shared by the account tests: a temporary folder that removes itself,
// and running a program with its own environment while capturing its output.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace orvyn::accounts::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    // Creates (or replaces) a file with the given content and mode.
    std::string write(const std::string& name, const std::string& content, mode_t mode = 0644) const;
    // Creates a directory with the given mode.
    std::string mkdir(const std::string& name, mode_t mode = 0755) const;

private:
    std::string path_;
};

struct ChildOutput {
    int status = -1;  // as waitpid reports it
    std::string out;  // standard output and standard error together
};

// Runs `argv` with exactly the environment `env` ("NAME=value" entries) and
// waits for it.
ChildOutput RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& env);

}  // namespace orvyn::accounts::test
