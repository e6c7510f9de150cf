#include "service/core/host/CommandLine.h"

#include "service/base/text/NoCase.h"

namespace orvyn {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Walks a command line token by token.
class TokenScanner {
public:
    explicit TokenScanner(std::string_view line) : line_(line) {}

    bool AtEnd() {
        SkipBlanks();
        return pos_ >= line_.size();
    }

    std::string_view Next() {
        SkipBlanks();
        size_t start = pos_;
        while (pos_ < line_.size() && !IsBlank(line_[pos_])) ++pos_;
        return line_.substr(start, pos_ - start);
    }

    // The argument of a switch: the next token, or, when it starts with a
    // double quote, everything up to the next double quote (or the end).
    std::string_view NextArgument() {
        SkipBlanks();
        if (pos_ < line_.size() && line_[pos_] == '"') {
            size_t start = ++pos_;
            size_t close = line_.find('"', start);
            if (close == std::string_view::npos) close = line_.size();
            pos_ = close < line_.size() ? close + 1 : close;
            return line_.substr(start, close - start);
        }
        return Next();
    }

private:
    void SkipBlanks() {
        while (pos_ < line_.size() && IsBlank(line_[pos_])) ++pos_;
    }

    std::string_view line_;
    size_t pos_ = 0;
};

}  // namespace

std::string JoinArguments(const std::vector<std::string>& args) {
    std::string line;
    for (const auto& arg : args) {
        if (!line.empty()) line += ' ';
        bool hasBlank = arg.find_first_of(" \t") != std::string::npos;
        bool hasQuote = arg.find('"') != std::string::npos;
        if (hasBlank && !hasQuote) {
            line += '"' + arg + '"';
        } else {
            line += arg;
        }
    }
    return line;
}

StandardArgs ParseStandardArgs(std::string_view commandLine) {
    StandardArgs out;
    TokenScanner scanner(commandLine);
    std::string_view first = scanner.Next();
    if (EqualsNoCase(first, "-installq")) {
        out.action = ServiceAction::Install;
        out.quiet = true;
    } else if (StartsWithNoCase(first, "-install")) {
        out.action = ServiceAction::Install;
    } else if (EqualsNoCase(first, "-removeq")) {
        out.action = ServiceAction::Remove;
        out.quiet = true;
    } else if (StartsWithNoCase(first, "-remove")) {
        out.action = ServiceAction::Remove;
    }
    return out;
}

CommandLine ParseCommandLine(std::string_view commandLine) {
    CommandLine out;
    out.service = ParseStandardArgs(commandLine);
    TokenScanner scanner(commandLine);
    while (!scanner.AtEnd()) {
        std::string_view token = scanner.Next();
        if (EqualsNoCase(token, "s") || EqualsNoCase(token, "-s") || EqualsNoCase(token, "/s")) {
            out.runAsApplication = true;
        } else if (EqualsNoCase(token, "i")) {
            out.profileSwitch = true;
            out.profilePath = std::string(scanner.NextArgument());
        } else if (EqualsNoCase(token, "h")) {
            out.clearStartupFlag = true;
        }
    }
    return out;
}

}  // namespace orvyn
