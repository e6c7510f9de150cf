// The new password of passwd, read from standard input: asked twice without
// echo when standard input is a terminal, taken from the first line
// otherwise (for scripts: echo secret | orvyn-reg passwd SERVER USER).
#pragma once

#include <istream>
#include <ostream>
#include <string>

#include "tools/orvyn-reg/Commands.h"

namespace orvyn::regtool {

class StdinPasswordSource : public PasswordSource {
public:
    // fd is the descriptor behind in; prompts go to prompts.
    StdinPasswordSource(std::istream& in, int fd, std::ostream& prompts);

    bool Read(std::string& password, std::string& error) override;

private:
    bool ReadFromTerminal(std::string& password, std::string& error);
    bool ReadFromPipe(std::string& password, std::string& error);

    std::istream& in_;
    int fd_;
    std::ostream& prompts_;
};

// Reads one line from in into line, without its end ("\n" or "\r\n"). At
// most max + 2 characters are kept; a longer line is left partly unread and
// the caller sees from the length that it is too long. Returns false when
// the input ends before any character or line end.
bool ReadPasswordLine(std::istream& in, size_t max, std::string& line);

}  // namespace orvyn::regtool
