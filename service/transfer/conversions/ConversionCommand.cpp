#include "service/transfer/conversions/ConversionCommand.h"

namespace orvyn {

namespace {

// Characters that no shell reads as anything but themselves.
bool ShellInert(std::string_view path) {
    for (const char c : path) {
        const auto u = static_cast<unsigned char>(c);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || u >= 0x80;
        if (!plain && std::string_view("/._-+,@%=:").find(c) == std::string_view::npos) return false;
    }
    return true;
}

}  // namespace

std::optional<std::vector<std::string>> SplitCommandLine(std::string_view command, std::string_view localPath) {
    enum class Quote { None, Single, Double };
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;  // a word has begun (possibly an empty quoted one)
    Quote quote = Quote::None;
    int paths = 0;
    // The path joined with other text into one word may be a script for a
    // shell (sh -c "gzip -c %s", sh -c 'cat '%s, sh -c :%s), which would
    // read the name as shell code: only a name no shell can take for
    // anything else may stand there.
    bool pathInWord = false;
    auto endWord = [&]() {
        if (pathInWord && word != localPath && !ShellInert(localPath)) return false;
        pathInWord = false;
        words.push_back(std::move(word));
        word.clear();
        inWord = false;
        return true;
    };

    for (size_t i = 0; i < command.size(); ++i) {
        const char c = command[i];
        if (c == '%') {
            const char next = i + 1 < command.size() ? command[i + 1] : '\0';
            if (next == '%') {
                word += '%';
            } else if (next == 's') {
                if (++paths > 1) return std::nullopt;
                word.append(localPath);
                pathInWord = true;
            } else {
                return std::nullopt;  // any other directive, or a lone '%' at the end
            }
            ++i;
            inWord = true;
            continue;
        }
        switch (quote) {
        case Quote::Single:
            if (c == '\'') {
                quote = Quote::None;
            } else {
                word += c;
            }
            continue;
        case Quote::Double:
            if (c == '"') {
                quote = Quote::None;
            } else if (c == '\\' && i + 1 < command.size() && (command[i + 1] == '"' || command[i + 1] == '\\')) {
                word += command[++i];
            } else {
                word += c;
            }
            continue;
        case Quote::None:
            break;
        }
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (inWord && !endWord()) return std::nullopt;
        } else if (c == '\'') {
            quote = Quote::Single;
            inWord = true;
        } else if (c == '"') {
            quote = Quote::Double;
            inWord = true;
        } else if (c == '\\') {
            if (i + 1 < command.size()) word += command[++i];
            inWord = true;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quote != Quote::None) return std::nullopt;
    if (inWord && !endWord()) return std::nullopt;
    if (words.empty() || words.front().empty()) return std::nullopt;
    return words;
}

std::optional<ConversionCommand> BuildCommand(const CConversion& c, const std::string& localPath) {
    auto argv = SplitCommandLine(c.command, localPath);
    if (!argv) return std::nullopt;
    ConversionCommand cmd;
    cmd.argv = std::move(*argv);
    // The text shown in the log: the command as written, directives filled in.
    for (size_t i = 0; i < c.command.size(); ++i) {
        if (c.command[i] == '%' && i + 1 < c.command.size()) {
            cmd.text += c.command[i + 1] == 's' ? localPath : std::string(1, '%');
            ++i;
        } else {
            cmd.text += c.command[i];
        }
    }
    return cmd;
}

}  // namespace orvyn
