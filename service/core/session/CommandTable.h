// The FTP command table: every command the control connection understands,
// in lookup order, one row each: its name, argument rule, number, the number
// of characters compared, the gates the dispatcher applies before it runs,
// its handler and its HELP text. A command exists only as a row, and a row
// cannot be written without a handler (the table is checked when it is
// compiled: the row's constructor takes every field and refuses a null
// handler), so the dispatcher is the one place that applies gates.
//
// Entries that share a number are aliases (CWD and XCWD, ...) and run the same
// handler. The last entry, "____", is the not-found entry: lookups return it
// when no other entry matches. Commands added later go in front of it and take
// numbers after CMD_NOTFOUND's (46 and up), so the existing numbers never move.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace orvyn {

class CFtpSession;

// A command's handler: runs on the session with the argument text (the line
// past the name and its blanks). What it did shows in its replies and in
// the session's status text.
using CommandHandler = void (CFtpSession::*)(std::string_view arg);

// Gates, applied by the dispatcher in this order before the handler runs.
// Each refusal sends its own reply and the handler is not called.
enum CommandGate : unsigned {
    kGateNone = 0,
    // Refused (421) once the session no longer accepts commands.
    kGateClosing = 1u << 0,
    // Refused (530) while Secure is on and nobody is logged in, or when the
    // user's current and home directories have both gone.
    kGateLogin = 1u << 1,
    // Answered as not implemented while the instance's MLST setting is 0
    // (checked before the other gates).
    kGateMachineListing = 1u << 2,
};
inline constexpr unsigned kGatesFiles = kGateClosing | kGateLogin;

// Argument rules.
inline constexpr int kArgNone = 0;      // the command takes no argument
inline constexpr int kArgOptional = 1;  // an argument may follow
inline constexpr int kArgRequired = 2;  // an argument must follow

// A row names every field: there is no way to write one without a handler.
struct CommandEntry {
    constexpr CommandEntry(int rule, const char* n, int num, int len, unsigned g, CommandHandler h, const char* text)
        : argRule(rule), name(n), number(num), nameLen(len), gates(g), handler(h), help(text) {}
    CommandEntry(int, const char*, int, int, unsigned, std::nullptr_t, const char*) = delete;

    int argRule;             // kArgNone, kArgOptional or kArgRequired
    const char* name;        // command name as shown in replies
    int number;              // command number (CommandNumber); aliases share it
    int nameLen;             // characters of the line compared with the name
    unsigned gates;          // CommandGate bits
    CommandHandler handler;  // never null
    const char* help;        // text of "HELP <command>"
};

enum CommandNumber : int {
    CMD_TYPE = 0,
    CMD_MODE = 1,
    CMD_STRU = 2,
    CMD_USER = 3,
    CMD_QUIT = 4,
    CMD_PORT = 5,
    CMD_RETR = 6,
    CMD_STOR = 7,
    CMD_PASS = 8,
    CMD_STAT = 9,
    CMD_RNFR = 10,
    CMD_RNTO = 11,
    CMD_ABOR = 12,
    CMD_DELE = 13,
    CMD_CWD = 14,
    CMD_LIST = 15,
    CMD_NLST = 16,
    CMD_HELP = 17,
    CMD_PWD = 18,
    CMD_CDUP = 19,
    CMD_SMNT = 20,
    CMD_MKD = 21,
    CMD_RMD = 22,
    CMD_REIN = 23,
    CMD_STOU = 24,
    CMD_SYST = 25,
    CMD_PASV = 26,
    CMD_ACCT = 27,
    CMD_EPRT = 28,
    CMD_APPE = 29,
    CMD_MDTM = 30,
    CMD_SIZE = 31,
    CMD_ALLO = 32,
    CMD_REST = 33,
    CMD_MACB = 34,
    CMD_SITE = 35,
    CMD_FEAT = 36,
    CMD_OPTS = 37,
    CMD_MLST = 38,
    CMD_MLSD = 39,
    CMD_HOST = 40,
    CMD_AUTH = 41,
    CMD_PBSZ = 42,
    CMD_PROT = 43,
    CMD_NOOP = 44,
    CMD_NOTFOUND = 45,
    CMD_EPSV = 46,
    CMD_MFMT = 47,
    CMD_CLNT = 48,
    CMD_OPTS_UTF8 = 49,
    CMD_HASH = 50,
};

// The whole table in lookup order; the not-found entry is always last.
std::span<const CommandEntry> CommandTable();

// The not-found entry ("____", CMD_NOTFOUND, "No such command").
const CommandEntry& NotFoundEntry();

// Finds the entry for a command line (or for the argument of HELP): the
// first entry whose first name-length characters equal the line's first
// characters, compared without regard to case. Only the start of the line is
// compared, so "RETRIEVE x" finds RETR and "NOOPING" finds NOOP. A line
// shorter than an entry's name length never matches that entry; an empty or
// unknown line gives the not-found entry.
//
// The not-found entry is the only result whose name length may exceed the
// line's length; the dispatcher reports that case with its "$" line by
// comparing line.size() with the entry's nameLen.
const CommandEntry& LookupCommand(std::string_view line);

inline bool IsNotFound(const CommandEntry& e) { return e.number == CMD_NOTFOUND; }

// The argument of a line: what follows the entry's name-length characters,
// past any blanks. Empty when there is none (also for a line shorter than the
// name length). The result views into line.
std::string_view CommandArgument(const CommandEntry& e, std::string_view line);

enum class ArgCheck {
    Ok,
    Missing,     // required argument absent: reply 50105
    Unexpected,  // argument given to a command that takes none: reply 50106
};
ArgCheck CheckArgument(const CommandEntry& e, std::string_view arg);

// The seven lines of the HELP command grid, each without its CR LF.
const std::array<const char*, 7>& HelpGrid();

}  // namespace orvyn
