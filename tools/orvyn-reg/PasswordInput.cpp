#include "tools/orvyn-reg/PasswordInput.h"

#include <string.h>
#include <termios.h>
#include <unistd.h>

namespace orvyn::regtool {
namespace {

// Turns the terminal's echo off for its lifetime and back on afterwards,
// whichever way the reading ends.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (::tcgetattr(fd_, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
        active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

    bool active() const { return active_; }

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

void Wipe(std::string& text) {
    explicit_bzero(text.data(), text.capacity());
    text.clear();
}

}  // namespace

bool ReadPasswordLine(std::istream& in, size_t max, std::string& line) {
    line.clear();
    line.reserve(max + 3);
    bool any = false;
    bool ended = false;
    char c;
    // Room for max characters, a carriage return and one more to tell an
    // overlong line from one that just fits.
    while (line.size() <= max + 1) {
        if (!in.get(c) || c == '\n') {
            ended = true;
            break;
        }
        any = true;
        line += c;
    }
    if (ended && !line.empty() && line.back() == '\r') line.pop_back();
    return any || (ended && in);
}

StdinPasswordSource::StdinPasswordSource(std::istream& in, int fd, std::ostream& prompts)
    : in_(in), fd_(fd), prompts_(prompts) {}

bool StdinPasswordSource::Read(std::string& password, std::string& error) {
    return ::isatty(fd_) == 1 ? ReadFromTerminal(password, error) : ReadFromPipe(password, error);
}

bool StdinPasswordSource::ReadFromPipe(std::string& password, std::string& error) {
    if (!ReadPasswordLine(in_, kMaxNewPassword, password)) {
        error = "No password on standard input.";
        return false;
    }
    return true;
}

bool StdinPasswordSource::ReadFromTerminal(std::string& password, std::string& error) {
    EchoOff echoOff(fd_);
    if (!echoOff.active()) {
        error = "Cannot turn off echo on the terminal.";
        return false;
    }
    prompts_ << "New password: " << std::flush;
    const bool gotFirst = ReadPasswordLine(in_, kMaxNewPassword, password);
    prompts_ << "\n" << std::flush;
    if (!gotFirst) {
        error = "No password entered.";
        return false;
    }
    // An empty or overlong first entry is refused by the caller; asking
    // again would only repeat it.
    if (password.empty() || password.size() > kMaxNewPassword) return true;

    std::string again;
    prompts_ << "Retype new password: " << std::flush;
    const bool gotSecond = ReadPasswordLine(in_, kMaxNewPassword, again);
    prompts_ << "\n" << std::flush;
    const bool same = gotSecond && again == password;
    Wipe(again);
    if (!same) {
        Wipe(password);
        error = "The passwords do not match.";
        return false;
    }
    return true;
}

}  // namespace orvyn::regtool
