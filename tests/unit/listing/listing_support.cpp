#include "listing_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include <gtest/gtest.h>

namespace orvyn::test {
namespace {

// Dates in the listings are local time: the tests pin the zone to UTC.
const bool kUtc = [] {
    setenv("TZ", "UTC0", 1);
    tzset();
    return true;
}();

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

std::string Normalise(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i <= path.size()) {
        std::size_t j = path.find_first_of("/\\", i);
        if (j == std::string::npos) j = path.size();
        const std::string part = path.substr(i, j - i);
        if (part == "..") {
            if (parts.empty()) return "";  // above the top
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

}  // namespace

std::time_t Utc(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

TempTree::TempTree() {
    (void)kUtc;
    char pattern[] = "/tmp/orvyn-listing-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    top_ = pattern;
}

TempTree::~TempTree() { nftw(top_.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS); }

std::string TempTree::At(const std::string& rel) const { return rel.empty() ? top_ : top_ + "/" + rel; }

std::string TempTree::Dir(const std::string& rel, std::time_t mtime) const {
    const std::string path = At(rel);
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
    }
    if (mtime != 0) SetTimes(rel, mtime);
    return path;
}

std::string TempTree::File(const std::string& rel, std::size_t size, std::time_t mtime) const {
    const std::string path = At(rel);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0) << path;
    if (fd >= 0) {
        if (size > 0) {
            EXPECT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
        }
        close(fd);
    }
    if (mtime != 0) SetTimes(rel, mtime);
    return path;
}

std::string TempTree::Link(const std::string& rel, const std::string& target) const {
    const std::string path = At(rel);
    EXPECT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
    return path;
}

void TempTree::SetTimes(const std::string& rel, std::time_t mtime, std::time_t atime) const {
    struct timespec times[2];
    times[0].tv_sec = atime != 0 ? atime : mtime;
    times[0].tv_nsec = 0;
    times[1].tv_sec = mtime;
    times[1].tv_nsec = 0;
    EXPECT_EQ(utimensat(AT_FDCWD, At(rel).c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << rel;
}

std::optional<std::string> TempTree::Resolve(const std::string& clientPath) const {
    std::string client = Normalise(clientPath);
    if (client.empty()) return std::nullopt;
    for (const Virtual& v : virtuals_) {
        if (client == v.place || client.rfind(v.place + "/", 0) == 0) {
            client = v.target + client.substr(v.place.size());
            break;
        }
    }
    return client == "/" ? top_ : top_ + client;
}

std::optional<std::string> TempTree::ClientPath(const std::string& diskPath) const {
    if (diskPath == top_) return std::string("/");
    if (diskPath.rfind(top_ + "/", 0) != 0) return std::nullopt;
    return diskPath.substr(top_.size());
}

void TempTree::AddVirtual(const std::string& placeRel, const std::string& targetRel) {
    virtuals_.push_back(Virtual{"/" + placeRel, "/" + targetRel});
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t end = text.find("\r\n", i);
        if (end == std::string::npos) {
            ADD_FAILURE() << "text does not end in CR LF: " << text.substr(i);
            break;
        }
        const std::string line = text.substr(i, end - i);
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "stray line break in " << line;
        lines.push_back(line);
        i = end + 2;
    }
    return lines;
}

}  // namespace orvyn::test
