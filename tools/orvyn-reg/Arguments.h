// Command-line syntax of orvyn-reg: the command word, the key, the file of
// save/restore, the server and user of passwd, and the options. Parsing only checks the syntax; the type and
// data of an add are checked by the add command itself, still before anything
// is written.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvyn::regtool {

enum class Command { Query, Add, Delete, Save, Restore, Passwd, CertList, CertUse, Serve };

// A key as named on the command line.
struct KeyName {
    std::string path;     // relative to the machine root, "\" between names; "" is the root
    std::string display;  // "HKEY_LOCAL_MACHINE" or "HKEY_LOCAL_MACHINE\..." as printed
};

// Accepts "HKLM" or "HKEY_LOCAL_MACHINE" (any letter case), alone or followed
// by "\" and a path. Empty components ("a\\\\b", a trailing "\") are dropped.
std::optional<KeyName> ParseKeyName(std::string_view text);

// The display form of a subkey of a key.
KeyName ChildKey(const KeyName& parent, std::string_view name);

// What part of a key a command addresses.
enum class ValueTarget {
    None,     // the key itself
    Named,    // /v NAME
    Unnamed,  // /ve
    All,      // /va
};

struct Request {
    Command command = Command::Query;
    KeyName key;
    ValueTarget target = ValueTarget::None;
    std::string valueName;            // with ValueTarget::Named
    bool recursive = false;           // /s
    std::optional<std::string> type;  // /t, as written
    std::optional<std::string> data;  // /d, as written
    bool force = false;               // /f
    bool overwrite = false;           // /y
    std::string file;                 // save and restore
    std::string server;               // passwd: the server instance
    std::string user;                 // passwd: the user
    std::string hash;                 // cert use: the certificate's SHA-1 hash as written
    std::string store;                // --store; empty means the default store
};

struct ParseResult {
    enum Kind { kRun, kHelp, kError };
    Kind kind = kError;
    std::string error;  // with kError: the reason, without the "ERROR: " prefix
};

// args are the program's arguments without the program name. An empty list
// is an error (the caller prints the usage).
ParseResult ParseArguments(const std::vector<std::string>& args, Request& out);

}  // namespace orvyn::regtool
