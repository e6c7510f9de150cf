#include "applet/computer/Wire.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace orvyn::applet::wire {

namespace {
bool Plain(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == ':' || c == '/' || c == ',' || c == '+' || c == '=' || c == '@';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
}  // namespace

std::string Encode(std::string_view word) {
    if (word.empty())
        return "-";
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(word.size());
    for (unsigned char c : word) {
        if (Plain(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

bool Decode(std::string_view word, std::string& out) {
    out.clear();
    if (word == "-")
        return true;
    if (word.empty())
        return false;
    out.reserve(word.size());
    for (size_t i = 0; i < word.size(); ++i) {
        const char c = word[i];
        if (c != '%') {
            if (!Plain(static_cast<unsigned char>(c)))
                return false;
            out += c;
            continue;
        }
        const int high = i + 1 < word.size() ? HexDigit(word[i + 1]) : -1;
        const int low = i + 2 < word.size() ? HexDigit(word[i + 2]) : -1;
        if (high < 0 || low < 0)
            return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

std::string Join(const Line& words) {
    std::string line;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i)
            line += ' ';
        line += Encode(words[i]);
    }
    line += '\n';
    return line;
}

bool Split(std::string_view line, Line& words) {
    words.clear();
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    if (line.empty())
        return true;
    size_t start = 0;
    while (true) {
        const size_t end = line.find(' ', start);
        std::string word;
        if (!Decode(line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start), word))
            return false;
        words.push_back(std::move(word));
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}

bool ParseUnsigned(std::string_view word, unsigned long long& out) {
    // Digits only: no sign, blank or base prefix; too large is refused.
    if (word.empty() || word.size() > 20)
        return false;
    unsigned long long value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size())
        return false;
    out = value;
    return true;
}

bool SingleWords(const std::vector<Line>& lines, std::vector<std::string>& out) {
    out.clear();
    for (const Line& line : lines) {
        if (line.size() != 1)
            return false;
        out.push_back(line[0]);
    }
    return true;
}

bool WriteAll(int fd, std::string_view data) {
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

int ReadWholeFile(const std::string& path, std::string& out, size_t limit) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    char buffer[65536];
    int error = 0;
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = errno;
        if (n <= 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
        if (out.size() > limit) {
            error = EFBIG;
            break;
        }
    }
    ::close(fd);
    return error;
}

}  // namespace orvyn::applet::wire
