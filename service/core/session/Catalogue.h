// The message catalogue: every reply the server sends has a number, the
// three-digit reply code times 100 plus a running number (50105 is a "501"
// reply). Replies are named by number everywhere; the texts live only here.
#pragma once

namespace orvyn {

enum MessageNumber : int {
    MSG_SERVER_STOPPED = 12000,        // 120 ... back up in %d minutes
    MSG_TYPE_ASCII = 20001,
    MSG_TYPE_IMAGE = 20002,
    MSG_MODE_STREAM = 20003,
    MSG_STRU_FILE = 20004,
    MSG_NOOP = 20006,
    MSG_TYPE_LOCAL8 = 20008,
    MSG_MODE_BLOCK = 20016,
    MSG_HELP_TEXT = 21400,             // 214 %s
    MSG_HELP_GRID_HEAD = 21401,
    MSG_SYST = 21501,                  // 215 %s %s (...)
    MSG_GREET = 22001,                 // 220 ... %s ... ready
    MSG_GREET_LINE = 22002,            // 220-%s
    MSG_GOODBYE = 22101,
    MSG_GOODBYE_LINE = 22102,          // 221-%s
    MSG_ACCT = 23002,
    MSG_TIME_WARNING = 30001,
    MSG_TOO_MANY_USERS = 42101,
    MSG_SERVICE_NOT_AVAILABLE = 42102,
    MSG_TIMEOUT = 42103,               // %d seconds
    MSG_DISCONNECTED = 42104,
    MSG_TRANSFER_TIMEOUT = 42502,
    MSG_DATA_CLOSED = 42504,
    MSG_UNIDENTIFIED = 50001,          // %s
    MSG_NEEDS_PARAMETER = 50105,       // %s
    MSG_NO_PARAMETERS = 50106,         // %s
    MSG_NOT_IMPLEMENTED = 50201,       // %s
    MSG_TYPE_UNSUPPORTED = 50401,
    MSG_MODE_UNSUPPORTED = 50402,
    MSG_STRU_UNSUPPORTED = 50403,
    MSG_NOT_LOGGED_IN = 53002,
    MSG_DIRECTORIES_DELETED = 53007,
};

// The text of a message, or nullptr for a number the catalogue does not hold.
const char* MessageText(int number);

}  // namespace orvyn
