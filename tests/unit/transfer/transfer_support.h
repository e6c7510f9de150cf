// Test scaffolding for the transfer units: a temporary folder with helpers
// to make files in it and read them back.
#pragma once

#include <string>

namespace orvyn::test {

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Absolute path without a trailing "/".
    const std::string& path() const { return path_; }
    // path() + "/" + rel
    std::string At(const std::string& rel) const;
    // Creates a file holding content; returns its path.
    std::string Write(const std::string& rel, const std::string& content) const;
    // The content of a file ("" when it cannot be read).
    std::string Read(const std::string& rel) const;
    bool Exists(const std::string& rel) const;
    // Names in the folder (not recursive), sorted.
    std::string Listing() const;

private:
    std::string path_;
};

}  // namespace orvyn::test
