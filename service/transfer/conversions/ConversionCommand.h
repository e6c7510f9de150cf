// The command line of a conversion, made into an argument vector without any
// shell: the command text is split into words the way a shell splits them
// ('...' and "..." quoting, backslash escapes), and the one "%s" in it
// becomes the local file's path as literal text inside its word -- never
// split, never interpreted -- so no file name can run a command. A word that
// holds the path and other text (a shell's script, say) is refused unless
// the name is made only of characters no shell reads as code. "%%" is a
// percent sign. A command with more than one "%s", with any other "%"
// directive, with an unterminated quote or without a program is refused.
//
// Directives are recognised inside quotes as well; outside quotes a
// backslash before '%' makes it a plain percent sign.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/transfer/conversions/Conversion.h"

namespace orvyn {

struct ConversionCommand {
    std::vector<std::string> argv;  // argv[0] is the program, looked up in PATH
    std::string text;               // the command with its directives filled in, for the log
};

// Splits command, filling "%s" with localPath. nullopt when refused.
std::optional<std::vector<std::string>> SplitCommandLine(std::string_view command, std::string_view localPath);

// The conversion's command for a local path; nullopt when refused (the
// conversion is then not used).
std::optional<ConversionCommand> BuildCommand(const CConversion& c, const std::string& localPath);

}  // namespace orvyn
