// Test scaffolding for listings: a temporary folder tree with files of
// chosen sizes and times, and a small client view of it (client paths are
// paths below the tree's top, "/" being the top itself) for the resolver and
// client-path callbacks a session would supply.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace orvyn::test {

// Seconds since the epoch of a UTC calendar time (the tests run in UTC).
std::time_t Utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

class TempTree {
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& top() const { return top_; }
    std::string At(const std::string& rel) const;

    std::string Dir(const std::string& rel, std::time_t mtime = 0) const;
    // A file of size bytes; mtime 0 leaves the time of creation.
    std::string File(const std::string& rel, std::size_t size = 1, std::time_t mtime = 0) const;
    std::string Link(const std::string& rel, const std::string& target) const;
    void SetTimes(const std::string& rel, std::time_t mtime, std::time_t atime = 0) const;

    // The session's view: client path -> disk path, with the current folder
    // at the top. Paths leaving the tree do not resolve. Places of virtual
    // directories lead to their targets.
    std::optional<std::string> Resolve(const std::string& clientPath) const;
    // Disk path -> client path; nothing outside the tree.
    std::optional<std::string> ClientPath(const std::string& diskPath) const;

    // A virtual directory shown at place (client path) standing for target (client path).
    void AddVirtual(const std::string& placeRel, const std::string& targetRel);
    struct Virtual {
        std::string place;
        std::string target;
    };
    const std::vector<Virtual>& virtuals() const { return virtuals_; }

private:
    std::string top_;
    std::vector<Virtual> virtuals_;
};

// Splits text at CR LF; every line must end in CR LF (a stray one fails the test).
std::vector<std::string> Lines(const std::string& text);

}  // namespace orvyn::test
