#include "tools/orvyn-reg/Arguments.h"

#include <array>
#include <cstddef>

#include "service/base/text/NoCase.h"

namespace orvyn::regtool {
namespace {

constexpr std::string_view kRootDisplay = "HKEY_LOCAL_MACHINE";

enum Option { kValue, kValueEmpty, kValueAll, kSubkeys, kType, kData, kForce, kYes, kOptionCount };

struct OptionInfo {
    std::string_view name;
    Option id;
    bool takesArgument;
};

constexpr std::array<OptionInfo, kOptionCount> kOptions = {{
    {"v", kValue, true},
    {"ve", kValueEmpty, false},
    {"va", kValueAll, false},
    {"s", kSubkeys, false},
    {"t", kType, true},
    {"d", kData, true},
    {"f", kForce, false},
    {"y", kYes, false},
}};

constexpr unsigned Bit(Option o) { return 1u << o; }

// What stands after the command word besides options.
enum class Operands { Key, KeyAndFile, ServerAndUser, Certificate, None };

struct CommandInfo {
    std::string_view name;
    Command command;
    Operands operands;
    unsigned allowed;  // bit set of Option
};

constexpr std::array<CommandInfo, 8> kCommands = {{
    {"query", Command::Query, Operands::Key, Bit(kValue) | Bit(kValueEmpty) | Bit(kSubkeys)},
    {"add", Command::Add, Operands::Key,
     Bit(kValue) | Bit(kValueEmpty) | Bit(kType) | Bit(kData) | Bit(kForce)},
    {"delete", Command::Delete, Operands::Key,
     Bit(kValue) | Bit(kValueEmpty) | Bit(kValueAll) | Bit(kForce)},
    {"save", Command::Save, Operands::KeyAndFile, Bit(kYes)},
    {"restore", Command::Restore, Operands::KeyAndFile, 0},
    {"passwd", Command::Passwd, Operands::ServerAndUser, 0},
    {"cert", Command::CertList, Operands::Certificate, 0},
    {"serve", Command::Serve, Operands::None, 0},
}};

bool LooksLikeOption(std::string_view token) {
    return token.size() >= 2 && (token[0] == '/' || token[0] == '-');
}

const OptionInfo* FindOption(std::string_view token) {
    if (!LooksLikeOption(token)) return nullptr;
    std::string_view name = token.substr(1);
    for (const OptionInfo& entry : kOptions) {
        if (EqualsNoCase(name, entry.name)) return &entry;
    }
    return nullptr;
}

const CommandInfo* FindCommand(std::string_view word) {
    for (const CommandInfo& entry : kCommands) {
        if (EqualsNoCase(word, entry.name)) return &entry;
    }
    return nullptr;
}

bool IsHelp(std::string_view token) {
    return EqualsNoCase(token, "--help") || EqualsNoCase(token, "-h") || token == "/?" ||
           token == "-?";
}

ParseResult Error(std::string text) { return {ParseResult::kError, std::move(text)}; }

}  // namespace

std::optional<KeyName> ParseKeyName(std::string_view text) {
    size_t sep = text.find('\\');
    std::string_view root = text.substr(0, sep);
    if (!EqualsNoCase(root, "HKLM") && !EqualsNoCase(root, kRootDisplay)) return std::nullopt;

    KeyName key;
    key.display = kRootDisplay;
    if (sep == std::string_view::npos) return key;
    std::string_view rest = text.substr(sep + 1);
    while (!rest.empty()) {
        size_t next = rest.find('\\');
        std::string_view part = rest.substr(0, next);
        if (!part.empty()) {
            if (!key.path.empty()) key.path += '\\';
            key.path += part;
        }
        if (next == std::string_view::npos) break;
        rest.remove_prefix(next + 1);
    }
    if (!key.path.empty()) {
        key.display += '\\';
        key.display += key.path;
    }
    return key;
}

KeyName ChildKey(const KeyName& parent, std::string_view name) {
    KeyName child;
    child.path = parent.path.empty() ? std::string(name) : parent.path + "\\" + std::string(name);
    child.display = parent.display + "\\" + std::string(name);
    return child;
}

ParseResult ParseArguments(const std::vector<std::string>& args, Request& out) {
    out = Request{};
    if (args.empty()) return Error("No command given.");

    const CommandInfo* command = nullptr;
    std::vector<std::string> positionals;
    std::array<bool, kOptionCount> seen{};
    bool haveStore = false;

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& token = args[i];

        // --store may stand anywhere, before or after the command.
        if (EqualsNoCase(token, "--store") || StartsWithNoCase(token, "--store=")) {
            if (haveStore) return Error("--store given more than once.");
            if (token.size() > 7) {
                out.store = token.substr(8);
            } else {
                if (i + 1 == args.size()) return Error("--store needs a file name.");
                out.store = args[++i];
            }
            if (out.store.empty()) return Error("--store needs a file name.");
            haveStore = true;
            continue;
        }
        if (IsHelp(token)) return {ParseResult::kHelp, {}};

        if (command == nullptr) {
            command = FindCommand(token);
            if (command == nullptr) return Error("Unknown command \"" + token + "\".");
            continue;
        }

        const OptionInfo* option = FindOption(token);
        if (option == nullptr) {
            // A key never starts with "/" or "-"; a file name of save/restore
            // may be an absolute path.
            if (LooksLikeOption(token) &&
                !(command->operands == Operands::KeyAndFile && token[0] == '/')) {
                return Error("Invalid option " + token + ".");
            }
            positionals.push_back(token);
            continue;
        }
        if ((command->allowed & Bit(option->id)) == 0) {
            return Error("Option " + token + " is not valid with " + std::string(command->name) +
                         ".");
        }
        if (seen[option->id]) return Error("Option " + token + " given more than once.");
        seen[option->id] = true;

        std::string argument;
        if (option->takesArgument) {
            // The next word is taken as it stands, even when it starts with
            // "/" or "-" (a path, a negative number).
            if (i + 1 == args.size()) return Error("Option " + token + " needs a value.");
            argument = args[++i];
        }
        switch (option->id) {
            case kValue:
                out.target = ValueTarget::Named;
                out.valueName = argument;
                break;
            case kValueEmpty: out.target = ValueTarget::Unnamed; break;
            case kValueAll: out.target = ValueTarget::All; break;
            case kSubkeys: out.recursive = true; break;
            case kType: out.type = argument; break;
            case kData: out.data = argument; break;
            case kForce: out.force = true; break;
            case kYes: out.overwrite = true; break;
            case kOptionCount: break;
        }
    }

    if (command == nullptr) return Error("No command given.");
    out.command = command->command;

    if (int(seen[kValue]) + int(seen[kValueEmpty]) + int(seen[kValueAll]) > 1) {
        return Error("Only one of /v, /ve and /va may be given.");
    }
    if (seen[kValue] && out.valueName.empty()) {
        return Error("Empty value name; use /ve for the unnamed value.");
    }

    if (command->operands == Operands::None) {
        if (!positionals.empty()) return Error("Too many arguments: \"" + positionals[0] + "\".");
        return {ParseResult::kRun, {}};
    }

    if (command->operands == Operands::Certificate) {
        if (positionals.empty()) return Error("cert needs list or use.");
        if (EqualsNoCase(positionals[0], "list")) {
            if (positionals.size() > 1) return Error("Too many arguments: \"" + positionals[1] + "\".");
            out.command = Command::CertList;
            return {ParseResult::kRun, {}};
        }
        if (!EqualsNoCase(positionals[0], "use")) return Error("Unknown cert command \"" + positionals[0] + "\".");
        if (positionals.size() < 2) return Error("No server given.");
        if (positionals.size() < 3) return Error("No certificate hash given.");
        if (positionals.size() > 3) return Error("Too many arguments: \"" + positionals[3] + "\".");
        out.command = Command::CertUse;
        out.server = positionals[1];
        out.hash = positionals[2];
        return {ParseResult::kRun, {}};
    }

    if (command->operands == Operands::ServerAndUser) {
        if (positionals.empty()) return Error("No server given.");
        if (positionals.size() < 2) return Error("No user given.");
        if (positionals.size() > 2) return Error("Too many arguments: \"" + positionals[2] + "\".");
        out.server = positionals[0];
        out.user = positionals[1];
        return {ParseResult::kRun, {}};
    }

    const bool takesFile = command->operands == Operands::KeyAndFile;
    const size_t wanted = takesFile ? 2 : 1;
    if (positionals.empty()) return Error("No key given.");
    if (positionals.size() < wanted) return Error("No file given.");
    if (positionals.size() > wanted) return Error("Too many arguments: \"" + positionals[wanted] + "\".");

    std::optional<KeyName> key = ParseKeyName(positionals[0]);
    if (!key) {
        return Error("Invalid key name \"" + positionals[0] +
                     "\"; a key starts with HKLM\\ or HKEY_LOCAL_MACHINE\\.");
    }
    out.key = std::move(*key);
    if (takesFile) {
        out.file = positionals[1];
        if (out.file.empty()) return Error("Empty file name.");
    }
    return {ParseResult::kRun, {}};
}

}  // namespace orvyn::regtool
