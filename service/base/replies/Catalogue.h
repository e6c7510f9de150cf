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
    MSG_MLST_OPTS = 20050,
    MSG_PBSZ_OK = 20060,               // %d
    MSG_PROT_OK = 20061,               // %s
    MSG_STAT_LISTING_HEAD = 21301,
    MSG_STAT_ILLEGAL_PATH = 21302,
    MSG_STAT_LISTING_END = 21303,
    MSG_STAT_LISTING_FAILED = 21304,
    MSG_HELP_TEXT = 21400,             // 214 %s
    MSG_HELP_GRID_HEAD = 21401,
    MSG_SYST = 21501,                  // 215 %s %s (...)
    MSG_GREET = 22001,                 // 220 ... %s ... ready
    MSG_GREET_LINE = 22002,            // 220-%s
    MSG_GOODBYE = 22101,
    MSG_GOODBYE_LINE = 22102,          // 221-%s
    MSG_LOGGED_IN = 23001,
    MSG_AUTH_OK = 23401,
    MSG_ACCT = 23002,
    MSG_RENAMED = 25001,
    MSG_DELETED = 25002,
    MSG_CWD_DONE = 25003,
    MSG_RMD_DONE = 25004,
    MSG_PWD = 25701,
    MSG_MKD_DONE = 25702,
    MSG_TIME_WARNING = 30001,
    MSG_ANON_ALLOWED = 33101,          // 331- continuation lines of an anonymous USER
    MSG_ANON_EMAIL = 33102,
    MSG_GIVE_PASSWORD = 33103,
    MSG_RNFR_READY = 35001,
    MSG_TOO_MANY_USERS = 42101,
    MSG_SERVICE_NOT_AVAILABLE = 42102,
    MSG_TIMEOUT = 42103,               // %d seconds
    MSG_DISCONNECTED = 42104,
    MSG_TOO_MANY_ATTEMPTS = 42105,
    MSG_ADDRESS_BANNED = 42106,
    MSG_TRANSFER_TIMEOUT = 42502,
    MSG_DATA_CLOSED = 42504,
    MSG_UNIDENTIFIED = 50001,          // %s
    MSG_CWD_REFUSED = 50102,
    MSG_NEEDS_PARAMETER = 50105,       // %s
    MSG_NO_PARAMETERS = 50106,         // %s
    MSG_RNTO_WITHOUT_RNFR = 50112,
    MSG_MLST_BAD_PATH = 50120,
    MSG_PBSZ_BAD = 50130,              // %.100s
    MSG_MLSD_NOT_DIRECTORY = 50121,
    MSG_LIST_PARENT_STEP = 50122,
    MSG_OPTS_UNKNOWN = 50123,
    MSG_NOT_IMPLEMENTED = 50201,       // %s
    MSG_TYPE_UNSUPPORTED = 50401,
    MSG_MODE_UNSUPPORTED = 50402,
    MSG_STRU_UNSUPPORTED = 50403,
    MSG_AUTH_UNKNOWN = 50404,          // %.50s
    MSG_PROT_BAD = 50405,              // %.100s
    MSG_LISTINGS_BUSY = 45001,
    MSG_LISTINGS_BUSY_ADDRESS = 45002,
    MSG_PASSWORD_INCORRECT = 53001,
    MSG_NOT_LOGGED_IN = 53002,
    MSG_ANON_NOT_ALLOWED = 53003,
    MSG_HOME_INACCESSIBLE = 53004,
    MSG_SERVER_DOWN = 53006,
    MSG_DIRECTORIES_DELETED = 53007,
    MSG_MUST_ENCRYPT = 53008,
    MSG_NO_CREDENTIALS = 53501,
    MSG_DELE_ERROR = 55004,
    MSG_CWD_UNKNOWN = 55006,
    MSG_RENAME_NO_RIGHTS = 55010,
    MSG_RNFR_MISSING = 55011,
    MSG_DELE_NO_RIGHTS = 55012,
    MSG_MKD_NO_RIGHTS = 55013,
    MSG_MKD_FAILED = 55014,
    MSG_RMD_NO_RIGHTS = 55015,
    MSG_RMD_FAILED = 55016,
    MSG_RNTO_ERROR = 55301,
    MSG_RNTO_TO_SHORTCUT = 55303,
};

// The text of a message, or nullptr for a number the catalogue does not hold.
const char* MessageText(int number);

}  // namespace orvyn
