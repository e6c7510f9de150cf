// The command line of the orvyn program.
//
// The arguments are first joined into one command line (an argument holding
// blanks or tabs is put in double quotes, so a path given as one argument
// stays one path). The service wrapper looks at the first token for the
// install and remove switches; when it does not take the line, the line is
// split into tokens at blanks and tabs and each token is read as a switch:
//
//   s, -s, /s      run as an application
//   i PATH         profile file; i "PATH WITH BLANKS" is read up to the next "
//   h              clears the start-up flag
//   anything else  ignored
//
// Switch letters compare without regard to case.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvyn {

enum class ServiceAction {
    None,
    Install,  // -install (first 8 characters), -installq
    Remove,   // -remove (first 7 characters), -removeq
};

struct StandardArgs {
    ServiceAction action = ServiceAction::None;
    bool quiet = false;  // -installq / -removeq: no message on success
};

struct CommandLine {
    StandardArgs service;
    bool runAsApplication = false;
    bool profileSwitch = false;   // an i token was seen
    std::string profilePath;      // the path after it; empty when none followed
    bool clearStartupFlag = false;
};

// Joins argv[1..] into one command line.
std::string JoinArguments(const std::vector<std::string>& args);

// The wrapper's part: the install and remove switches of the first token.
StandardArgs ParseStandardArgs(std::string_view commandLine);

// Everything else (the wrapper's switches are read too, into .service).
CommandLine ParseCommandLine(std::string_view commandLine);

}  // namespace orvyn
