#include "service/accounts/files/LoginMessage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace orvyn {
namespace {

bool IsContinuationByte(unsigned char c) { return (c & 0xC0) == 0x80; }

// Appends one line of the file, split into pieces of at most the line width.
void AddLine(std::string_view line, std::vector<std::string>& out) {
    if (line.size() <= kMessageLineWidth) {
        out.emplace_back(line);
        return;
    }
    while (!line.empty()) {
        std::size_t cut = line.size() <= kMessageLineWidth ? line.size() : kMessageLineWidth;
        if (cut < line.size()) {
            std::size_t back = cut;
            while (back > 0 && IsContinuationByte(static_cast<unsigned char>(line[back]))) --back;
            // A "character" longer than the whole width is cut where it is.
            if (back > 0) cut = back;
        }
        out.emplace_back(line.substr(0, cut));
        line.remove_prefix(cut);
    }
}

}  // namespace

std::vector<std::string> SplitMessageLines(std::string_view text) {
    std::vector<std::string> out;
    std::string line;
    auto flush = [&] {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        for (char& c : line) {
            const auto u = static_cast<unsigned char>(c);
            if ((u < 0x20 && c != '\t') || u == 0x7f) c = ' ';
        }
        AddLine(line, out);
        line.clear();
    };
    for (char c : text) {
        if (c == '\n') {
            flush();
        } else {
            line.push_back(c);
        }
    }
    if (!line.empty()) flush();
    return out;
}

std::vector<std::string> ReadMessageLines(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return {};
    struct stat st {};
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buf[8192];
        while (text.size() < kMaxMessageBytes) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            text.append(buf, static_cast<std::size_t>(n));
        }
        if (text.size() > kMaxMessageBytes) text.resize(kMaxMessageBytes);
    }
    ::close(fd);
    return SplitMessageLines(text);
}

}  // namespace orvyn
